#pragma once
// Read access to the window's private state for the tests.

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
    bool extraTickQueued() const { return w.extraTickQueued; }
    int unread() const { return w.serial.available(); }

private:
    Korvane& w;
};
