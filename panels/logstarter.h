#pragma once
// Opens the traffic log for a new run without losing the last one: a
// previous non-empty log is first kept beside it under a name that carries
// its own start time (Korvane_data-2026-12-09_01-15-46.csv), never
// overwriting anything, and only then is a fresh file made under the log's
// name. Whatever stops that (a second instance writing the log here, a
// folder that cannot be written, a previous log that cannot be moved) leaves
// every existing file as it was, and the run goes on without a log.
//
// A log name that is a symbolic link is followed only when the user running
// the tool made the link: a link that someone else put into a shared folder
// must not make the tool move or write a file of the user's. The previous
// log is then kept beside the link's target, and the new one is made there,
// so the link goes on naming the current log.

#include <QString>

class QFile;

class LogStarter
{
public:
    enum class State {
        Open,            // file is open, locked and empty, ready for the header
        AnotherInstance, // another running tool holds the log in this folder
        CannotOpen,      // the log (or its folder) cannot be written
        CannotKeep,      // the previous log could not be moved aside: left as it is
        ForeignLink,     // the name is a link that another user made: left alone
    };

    struct Result {
        QFile* file = nullptr; // always set; open only in State::Open
        State state = State::CannotOpen;
        QString path;   // the file written (a followed link's target)
        QString kept;   // where the previous run's log went; empty when there was none
        QString detail; // the system's reason when state is not Open
    };

    // Never fails to return a file object; the caller owns it.
    static Result start(const QString& name);

    // "Korvane_data-2026-12-09_01-15-46.csv" for "Korvane_data.csv" whose
    // header says it was started at that time; the file's own modification
    // time where the header cannot be read.
    static QString keptName(const QString& path, const QByteArray& head);
};
