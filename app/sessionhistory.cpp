#include "sessionhistory.h"

#include "display.h"
#include "historywindow.h"

#include "monoclock.h"

#include <QDir>
#include <QFile>

SessionHistory::SessionHistory()
{
    m_lateFlush.setSingleShot(true);
    m_lateFlush.setInterval(FlushMs);
    QObject::connect(&m_lateFlush, &QTimer::timeout, [this] { flush(true); });
}

SessionHistory::~SessionHistory()
{
    delete m_window;
    // What the last tenth of a second gathered.
    if (m_noRecord.isEmpty() && m_record.flush())
        m_record.drain(SimClock::monotonicNs() + 1000 * 1000 * 1000);
}

void SessionHistory::start(const LogStatus& log, Say say)
{
    m_say = std::move(say);
    if (log.state != LogStarter::State::Open) {
        m_noRecord = QStringLiteral("本次会话无记录: 无日志");
        return;
    }
    const std::string path = SessionRecord::pathBeside(QFile::encodeName(log.path).toStdString());
    const QString record = QFile::decodeName(path.c_str());
    if (!log.kept.isEmpty() && QFile::exists(record)) {
        const QString kept = QFile::decodeName(SessionRecord::pathBeside(QFile::encodeName(log.kept).toStdString()).c_str());
        if (!QFile::exists(kept))
            QFile::rename(record, kept);
    }
    std::string error;
    if (!m_record.open(path, "Korvane window session", error)) {
        const QString why = QString::fromStdString(error);
        m_noRecord = QStringLiteral("会话记录无法写入: ") + why;
        m_say({m_noRecord, QStringLiteral("korvane: the session record %1 cannot be written: %2; the history shows no "
                                          "frames of this session")
                               .arg(QDir::toNativeSeparators(record), why)});
    }
}

HistoryWindow* SessionHistory::window() const
{
    return m_window;
}

QString SessionHistory::recordPath() const
{
    return QFile::decodeName(m_record.path().c_str());
}

std::int64_t SessionHistory::pollStamp()
{
    if (!m_pollStampValid) {
        m_pollStamp = SimClock::wallNs();
        m_pollStampValid = true;
    }
    return m_pollStamp;
}

void SessionHistory::received(const TYPE_Data& rec, std::uint8_t checksum, std::uint64_t logIndex)
{
    if (!m_record.active())
        return;
    std::uint8_t frame[LinkFrame::MaxRecordData + 4];
    frame[0] = LinkFrame::StartByte;
    frame[1] = rec.type;
    frame[2] = rec.len;
    for (int i = 0; i < rec.len; ++i)
        frame[3 + i] = rec.data[i];
    frame[3 + rec.len] = checksum;
    m_record.received(pollStamp(), frame, std::size_t(rec.len) + 4, logIndex);
}

void SessionHistory::replySent(std::uint8_t reply)
{
    if (m_record.active())
        m_record.replySent(pollStamp(), reply);
}

void SessionHistory::replyReceived(std::uint8_t reply)
{
    if (m_record.active())
        m_record.replyReceived(pollStamp(), reply);
}

void SessionHistory::sent(const unsigned char* frame, int size)
{
    if (m_record.active() && size > 0)
        m_record.sent(SimClock::wallNs(), frame, std::size_t(size));
}

void SessionHistory::flush(bool now)
{
    if (!m_noRecord.isEmpty())
        return;
    const std::int64_t at = SimClock::monotonicNs();
    if (!now && at - m_flushedNs < std::int64_t(FlushMs) * 1000 * 1000) {
        if (!m_lateFlush.isActive())
            m_lateFlush.start();
        return;
    }
    m_flushedNs = at;
    if (m_record.flush() || m_failureSaid)
        return;
    m_failureSaid = true;
    const QString why = QString::fromStdString(m_record.why());
    m_say({QStringLiteral("会话记录写入失败: ") + why,
           QStringLiteral("korvane: writing the session record %1 failed: %2; the history of this session ends here")
               .arg(QDir::toNativeSeparators(recordPath()), why)});
}

void SessionHistory::show(QWidget* owner)
{
    if (m_window == nullptr) {
        if (!m_noRecord.isEmpty()) {
            m_say({m_noRecord, QString()});
            return;
        }
        m_window = HistoryWindow::forSession(recordPath(), owner);
        m_window->setAttribute(Qt::WA_DeleteOnClose); // closed, it costs nothing
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}
