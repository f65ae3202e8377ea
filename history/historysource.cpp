#include "historysource.h"

#include <QFile>

HistorySource::HistorySource(QObject* parent) : QObject(parent)
{
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, &HistorySource::indexSlice);
    m_follow.setInterval(FollowMs);
    connect(&m_follow, &QTimer::timeout, this, &HistorySource::look);
}

bool HistorySource::open(const QString& path)
{
    m_path = path;
    std::string why;
    // The index widens a UTF-8 name on Windows; elsewhere it takes the file
    // system's bytes.
#ifdef Q_OS_WIN
    const std::string name = path.toStdString();
#else
    const std::string name = QFile::encodeName(path).toStdString();
#endif
    if (!m_index.open(name, why)) {
        m_error = QString::fromStdString(why);
        return false;
    }
    m_error.clear();
    m_progress = {};
    m_slice.start();
    return true;
}

QString HistorySource::message() const
{
    return m_error.isEmpty() ? QString::fromStdString(m_index.message()) : m_error;
}

bool HistorySource::failed() const
{
    return !m_error.isEmpty() || m_index.failed();
}

void HistorySource::setFollowing(bool on)
{
    if (on && m_error.isEmpty())
        m_follow.start();
    else
        m_follow.stop();
}

void HistorySource::indexSlice()
{
    const std::size_t before = m_index.size();
    m_progress = m_index.indexMore(std::int64_t(SliceMs) * 1000 * 1000);
    if (m_progress.done || m_index.failed())
        m_slice.stop();
    if (m_index.size() != before)
        emit grew();
    emit progressed();
}

void HistorySource::look()
{
    switch (m_index.refresh()) {
    case History::HistoryIndex::Change::None:
        return;
    case History::HistoryIndex::Change::Truncated:
        emit truncated();
        break;
    case History::HistoryIndex::Change::Grew:
        break;
    }
    if (!m_slice.isActive())
        m_slice.start();
}
