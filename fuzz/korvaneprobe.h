#pragma once
// The fuzz target's way into the window: it opens the link, runs the poll
// slot itself instead of waiting for the timer, and starts every input from
// a fresh decoder and an empty view.

#include "korvane.h"

#include <QLabel>

class KorvaneProbe
{
public:
    explicit KorvaneProbe(Korvane& window) : w(window) {}

    // Opens COM1 as the user would; the harness runs the ticks itself.
    void openLink()
    {
        w.on_open_clicked();
        w.readTimer->stop();
    }
    bool linkOpen() const { return w.linkOpen; }

    // One poll tick, then the timer is stopped again so that no tick of its
    // own comes between those the input asks for.
    void poll()
    {
        w.TimerRead_IRQ();
        w.readTimer->stop();
    }

    // Forget any half frame, so that every input starts from WaitStart at
    // ring slot 0.
    void resetDecoder()
    {
        w.rxState = 0;
        w.rxCount = 0;
        w.rxSlot = 0;
    }

    // Empty the view and restart its line index.
    void clearView() { w.display.ClearView(); }
    void clearReplyLabel() { w.ui.ack_label->clear(); }
    // Brings the view up to date now, whenever its own rebuild is due.
    void refreshView() { w.display.RefreshView(); }

    int rxState() const { return w.rxState; }
    int rxCount() const { return w.rxCount; }
    QString ackText() const { return w.ui.ack_label->text(); }

private:
    Korvane& w;
};
