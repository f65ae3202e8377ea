#pragma once
// Drives a history index on the GUI thread: indexes the file in slices of
// about 20 ms from a zero-time timer, so the first rows show at once and
// the window answers meanwhile, and while following looks at the file's
// size a few times a second to index what another program (or this one's
// session record) appended, or to start again on a file cut short.

#include "historyindex.h"

#include <QObject>
#include <QString>
#include <QTimer>

class HistorySource : public QObject
{
    Q_OBJECT

public:
    static constexpr int SliceMs = 20;
    // New rows show twice a second: each look that finds some redraws the
    // table, which costs about what the window's own work on 150 frames does.
    static constexpr int FollowMs = 500;

    explicit HistorySource(QObject* parent = nullptr);

    // Opens the file and starts indexing it. False, with error() set, when
    // it cannot be mapped.
    bool open(const QString& path);
    // While on, growth and truncation of the file are picked up.
    void setFollowing(bool on);

    const History::HistoryIndex& index() const { return m_index; }
    QString path() const { return m_path; }
    QString error() const { return m_error; }
    // What the index has to say to the user: why the file cannot be shown, or
    // what it skipped. Empty when nothing.
    QString message() const;
    bool failed() const;
    const History::HistoryIndex::Progress& progress() const { return m_progress; }
    bool indexing() const { return m_slice.isActive(); }

Q_SIGNALS:
    // Rows were added at the end of the index.
    void grew();
    // The file was cut short: every row is gone and indexing starts again.
    void truncated();
    // After each slice; done when the whole file (so far) is indexed.
    void progressed();

private:
    void indexSlice();
    void look();

    History::HistoryIndex m_index;
    History::HistoryIndex::Progress m_progress;
    QString m_path;
    QString m_error;
    QTimer m_slice;  // zero-time: the next slice
    QTimer m_follow; // the next look at the file's size
};
