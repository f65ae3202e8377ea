#pragma once
// What korvane's command line asks for: the usage text, the version, the
// history of a file without a link, or the window. Qt's own options (such as
// -platform offscreen) are passed over and left to the application object,
// which takes them out of argv; anything else is refused, so that a typo
// does not start the tool as if nothing had been asked.

#include <QString>
#include <QStringList>

struct ProgramOptions {
    enum class Action { Window, Help, Version, History, Refuse };

    Action action = Action::Window;
    QString historyFile; // for History
    QString refused;     // for Refuse: what was wrong, for the line before the usage text

    // args without the program name. The first of --help and --version wins
    // over everything after it, as the usage text promises.
    static ProgramOptions parse(const QStringList& args);
    // The arguments of a C main(), in the local 8-bit encoding.
    static QStringList fromArgv(int argc, char** argv);
    // Whether arg is one of Qt's options; valueFollows when it takes the
    // next argument as its value.
    static bool isQtOption(const QString& arg, bool* valueFollows);
};
