#include "programoptions.h"

namespace {

// The options QApplication and its platform plugins read from argv (Qt 6),
// without their leading dash; Qt takes them with one dash or two.
const char* const QtValueOptions[] = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                      "geometry", "qwindowtitle", "title", "qwindowicon", "icon", "session", "style",
                                      "stylesheet", "display", "name", "visual", "ncols", "cmap", "fontengine"};
const char* const QtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability", "qdevel"};
// Written with their value after "=": -style=fusion, -qmljsdebugger=port:1234.
const char* const QtJoinedOptions[] = {"style=", "stylesheet=", "qmljsdebugger=", "platform="};

const QString HistoryOption = QStringLiteral("--history");

} // namespace

bool ProgramOptions::isQtOption(const QString& arg, bool* valueFollows)
{
    *valueFollows = false;
    if (!arg.startsWith(QLatin1Char('-')))
        return false;
    const QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
    for (const char* option : QtValueOptions) {
        if (name == QLatin1String(option)) {
            *valueFollows = true;
            return true;
        }
    }
    for (const char* option : QtFlagOptions) {
        if (name == QLatin1String(option))
            return true;
    }
    for (const char* option : QtJoinedOptions) {
        if (name.startsWith(QLatin1String(option)))
            return true;
    }
    return false;
}

QStringList ProgramOptions::fromArgv(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

ProgramOptions ProgramOptions::parse(const QStringList& args)
{
    ProgramOptions options;
    const auto refuse = [&options](const QString& why) {
        options.action = Action::Refuse;
        options.refused = why;
        options.historyFile.clear();
        return options;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.action = Action::Help;
            return options;
        }
        if (arg == QLatin1String("--version") || arg == QLatin1String("-v")) {
            options.action = Action::Version;
            return options;
        }
        QString file;
        if (arg == HistoryOption) {
            if (i + 1 >= args.size())
                return refuse(QStringLiteral("--history wants the file to open"));
            file = args[++i];
        } else if (arg.startsWith(HistoryOption + QLatin1Char('='))) {
            file = arg.mid(HistoryOption.size() + 1);
        } else {
            bool valueFollows = false;
            if (isQtOption(arg, &valueFollows)) {
                if (valueFollows && i + 1 >= args.size())
                    return refuse(QStringLiteral("the Qt option %1 wants a value").arg(arg));
                i += valueFollows ? 1 : 0;
                continue;
            }
            if (arg.startsWith(QLatin1Char('-')))
                return refuse(QStringLiteral("unknown option \"%1\"").arg(arg));
            return refuse(QStringLiteral("unexpected argument \"%1\" (a file to look at goes after --history)").arg(arg));
        }
        if (file.isEmpty())
            return refuse(QStringLiteral("--history wants the file to open"));
        if (options.action == Action::History)
            return refuse(QStringLiteral("--history takes one file"));
        options.action = Action::History;
        options.historyFile = file;
    }
    return options;
}
