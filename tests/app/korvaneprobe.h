#pragma once
// Read access to the window's private state for the tests.

#include "korvane.h"

class KorvaneProbe
{
public:
    explicit KorvaneProbe(Korvane& w) : w(w) {}

    bool linkOpen() const { return w.linkOpen; }
    bool serialMode() const { return w.serialMode; }
    QTimer* readTimer() const { return w.readTimer; }
    Analyz* panel(int i) const { return w.panels[i]; }
    int rxSlot() const { return w.rxSlot; }
    int rxState() const { return w.rxState; }
    int rxCount() const { return w.rxCount; }
    const TYPE_Data& record(int i) const { return w.rxRing[i]; }
    KorvaneClass& ui() const { return w.ui; }
    Display& display() const { return w.display; }
    void send(const char* payload) const { w.send_slots(payload); }

private:
    Korvane& w;
};
