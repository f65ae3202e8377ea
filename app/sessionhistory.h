#pragma once
// The running session's history: its full record beside the traffic log
// (Korvane_data.csv -> Korvane_data.pcapng: every frame sent and received,
// good and bad, and every reply, with their times), and the history window
// that reads it back. The traffic log keeps only good received frames; the
// record is what the history shows.
//
// The record is gathered on the window's thread and written ten times a
// second (a poll tick's write each would cost the window a fifth of its
// time at 960 frames a second), and whole at the end: a few stores per
// frame while the history is closed. The history window exists only while it is
// open. A record that cannot be written is said once, as the log's failure
// is, and the window goes on.

#include "linkfailure.h"
#include "sessionrecord.h"
#include "typedata.h"

#include <QPointer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>

class HistoryWindow;
class QWidget;
struct LogStatus;

class SessionHistory
{
public:
    using Say = std::function<void(const LinkFailure::Said&)>;

    SessionHistory();
    ~SessionHistory();

    // Starts the record beside this run's log; the previous run's record
    // goes with its kept log (Korvane_data-<time>.pcapng). Without a log
    // there is no record: the log's own notice says why.
    void start(const LogStatus& log, Say say);

    // A new poll tick: its frames share one time, read at the first of them.
    void beginPoll() { m_pollStampValid = false; }
    void received(const TYPE_Data& rec, std::uint8_t checksum, std::uint64_t logIndex);
    void replySent(std::uint8_t reply);
    void replyReceived(std::uint8_t reply);
    void sent(const unsigned char* frame, int size);
    // At the end of a poll tick: writes what was gathered when the last
    // write is FlushMs old. After a send, `now`: the link may stay quiet.
    void flush(bool now = false);
    static constexpr int FlushMs = 100;

    // Opens the history window on the record, or raises the one open.
    void show(QWidget* owner);
    // The open history window, or null.
    HistoryWindow* window() const;
    const SessionRecord& record() const { return m_record; }
    QString recordPath() const;

private:
    std::int64_t pollStamp();

    SessionRecord m_record;
    Say m_say;
    bool m_failureSaid = false;
    bool m_pollStampValid = false;
    std::int64_t m_pollStamp = 0;
    std::int64_t m_flushedNs = 0; // monotonic time of the last write
    QTimer m_lateFlush; // what a tick left gathered, written when the link goes quiet
    QString m_noRecord; // why there is no record, for a history asked for anyway
    QPointer<HistoryWindow> m_window;
};
