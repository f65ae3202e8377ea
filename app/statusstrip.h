#pragma once
// The window's bottom strip, below the traffic view: the link's state, what
// the link carried since it opened, and the traffic log's state; at its
// right end the item "历史" that opens the history window. It draws only
// what changed, and the counts are handed to it a few times a second, never
// per frame.

#include <QString>
#include <QtGlobal>

#include <functional>

class QLabel;
class QStatusBar;
class QToolButton;

// Traffic since the link opened. The decoder and the sender count; the
// strip only shows.
struct LinkCounters {
    quint64 goodFrames = 0;
    quint64 badFrames = 0; // answered with NAK
    quint64 acks = 0;      // FF from the device
    quint64 naks = 0;      // F0 from the device
    quint64 bytesIn = 0;
    quint64 bytesOut = 0;

    bool operator==(const LinkCounters& o) const
    {
        return goodFrames == o.goodFrames && badFrames == o.badFrames && acks == o.acks && naks == o.naks
            && bytesIn == o.bytesIn && bytesOut == o.bytesOut;
    }
    bool operator!=(const LinkCounters& o) const { return !(*this == o); }
};

class StatusStrip
{
public:
    // Fills bar, which keeps the height of the window's empty bottom strip.
    explicit StatusStrip(QStatusBar* bar);

    // trouble: drawn in red (a lost link, a log that is not written).
    void setLink(const QString& text, bool trouble = false);
    QString linkText() const;
    void setCounts(const LinkCounters& counters);
    void setLog(const QString& text, bool trouble = false);

    // Called on a click on "历史".
    void setHistoryOpener(std::function<void()> open);

    static QString countsText(const LinkCounters& c);

private:
    static void show(QLabel* label, const QString& text, bool trouble);

    QLabel* link;
    QLabel* counts;
    QLabel* log;
    QToolButton* history;
    LinkCounters shown;
};
