#pragma once
// The running session's history: its full record beside the traffic log
// (Korvane_data.csv -> Korvane_data.pcapng: every frame sent and received,
// good and bad, and every reply, with their times), and the history window
// that reads it back. The traffic log keeps only good received frames; the
// record is what the history shows.
//
// The record is written from the window's thread into the pcapng writer's
// spool, handed to its thread once per poll tick: a few stores per frame
// while the history is closed. The history window exists only while it is
// open. A record that cannot be written is said once, as the log's failure
// is, and the window goes on.

#include "linkfailure.h"
#include "sessionrecord.h"
#include "typedata.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

class HistoryWindow;
class QWidget;
struct LogStatus;

class SessionHistory
{
public:
    using Say = std::function<void(const LinkFailure::Said&)>;

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
    // At the end of a poll tick and after a send.
    void flush();

    // Opens the history window on the record, or raises the one open.
    void show(QWidget* owner);
    // The open history window, or null.
    HistoryWindow* window() const;
    const SessionRecord& record() const { return m_record; }
    QString recordPath() const;

private:
    std::int64_t pollStamp();
    static std::int64_t wallNs();

    SessionRecord m_record;
    Say m_say;
    bool m_failureSaid = false;
    bool m_pollStampValid = false;
    std::int64_t m_pollStamp = 0;
    QString m_noRecord; // why there is no record, for a history asked for anyway
    QPointer<HistoryWindow> m_window;
};
