#pragma once
// Access to the window's private state for the tests, the hosts and the
// fuzz target.

#include "korvane.h"

#include <QGroupBox>

class KorvaneProbe
{
public:
    explicit KorvaneProbe(Korvane& window) : w(window) {}

    bool linkOpen() const { return w.linkOpen; }
    bool serialMode() const { return w.serialMode; }
    QTimer* readTimer() const { return w.readTimer; }
    Analyz* panel(int i) const { return w.panels[i]; }
    int rxSlot() const { return w.rxSlot; }
    int rxState() const { return w.rxState; }
    int rxCount() const { return w.rxCount; }
    const TYPE_Data& record(int i) const { return w.rxRing[i]; }
    KorvaneClass& ui() const { return w.ui; }
    // The row of panel i, found where the window put it: inside the form's
    // group box at y = 30, 60, ... 180. Null if it is not there.
    QWidget* panelRow(int i) const
    {
        const auto rows = w.ui.groupBox_data->findChildren<QGroupBox*>(QString(), Qt::FindDirectChildrenOnly);
        for (QGroupBox* row : rows) {
            if (row->pos() == QPoint(0, 30 * i + 30))
                return row;
        }
        return nullptr;
    }
    Display& display() const { return w.display; }
    void send(const char* payload) const { w.send_slots(payload); }
    // One poll tick now, as the timer runs it.
    void tick() const { w.TimerRead_IRQ(); }
    // Opens or closes the link as `open` does, but leaves the poll timer
    // stopped: the caller runs the ticks itself.
    void toggleLinkUntimed() const
    {
        w.on_open_clicked();
        w.readTimer->stop();
    }
    // Forgets any half frame: the decoder waits for a start byte at ring slot 0.
    void resetDecoder() const
    {
        w.rxState = 0;
        w.rxCount = 0;
        w.rxSlot = 0;
    }
    bool extraTickQueued() const { return w.extraTickQueued; }
    int unread() const { return w.serial.available(); }
    const LinkCounters& counters() const { return w.counters; }
    // What the status bar says of the link.
    QString linkState() const { return w.statusStrip->linkText(); }

private:
    Korvane& w;
};
