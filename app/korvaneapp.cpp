#include "korvaneapp.h"

#include "korvane.h"
#include "historywindow.h"
#include "programoptions.h"
#include "portnumbering.h"
#include "stopsignals.h"

#include <QApplication>
#include <QFont>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

const char HeadlessHint[] = "to run without a display, start it as: QT_QPA_PLATFORM=offscreen korvane";

void printUsage(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: korvane [--help] [--version] [--history FILE] [Qt options such as -platform offscreen]\n"
                 "\n"
                 "Korvane %s: the desktop test tool for devices that speak the framed byte\n"
                 "protocol (start byte 2E, type, len, data, checksum; replies FF and F0) over a\n"
                 "serial port, COM1 to COM9 at 38400 8N1, or TCP to 192.168.1.N port 4500.\n"
                 "Received frames are answered, shown and logged to Korvane_data.csv in the\n"
                 "working directory; the previous run's log is kept beside it as\n"
                 "Korvane_data-<its start time>.csv.\n"
                 "\n"
                 "  -h, --help        print this text and exit\n"
                 "  -v, --version     print the version the window shows and exit\n"
                 "  --history FILE    open only the history window on FILE, a traffic log\n"
                 "                    (Korvane_data*.csv) or a pcapng capture; no link, no log\n"
                 "\n"
                 "In the window, Ctrl+H or the status bar's \"历史\" opens the history of the\n"
                 "running session. Without a display: QT_QPA_PLATFORM=offscreen korvane.\n"
                 "More in man korvane.\n",
                 Korvane::versionText().toLocal8Bit().constData());
}

// The display the platform plugin is about to try, for the one line said
// when it cannot.
QByteArray displayTried(int argc, char** argv)
{
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            platform = argv[i + 1];
    }
    if (platform.startsWith("wayland"))
        return "\"" + qgetenv("WAYLAND_DISPLAY") + "\" (Wayland)";
    if (platform.isEmpty() || platform.startsWith("xcb"))
        return "\"" + qgetenv("DISPLAY") + "\" (X11)";
    return "of the platform \"" + platform + "\"";
}

QByteArray startupDisplay;
QtMessageHandler qtHandler = nullptr;
QString platformSaid; // what the platform plugin warned of while starting
struct Held {
    QtMsgType type;
    QString message;
};
QList<Held> heldMessages; // the plugin's messages, said only if it starts after all

// While the application object starts: a platform plugin that cannot open
// its display makes Qt end the process with an abort and a hint to
// reinstall. Say instead which display failed and how to run without one.
void startupMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtFatalMsg) {
        const QString why = platformSaid.isEmpty() ? message.section(QLatin1Char('\n'), 0, 0) : platformSaid;
        std::fprintf(stderr, "korvane: cannot open the display %s: %s; %s\n", startupDisplay.constData(),
                     why.toLocal8Bit().constData(), HeadlessHint);
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (context.category != nullptr && std::strncmp(context.category, "qt.qpa", 6) == 0) {
        if (platformSaid.isEmpty())
            platformSaid = message;
        heldMessages.append({type, message});
        return;
    }
    qtHandler(type, context, message);
}

} // namespace

int runKorvane(int& argc, char** argv, const std::function<void(QWidget&)>& started)
{
    // Decided before anything needs a display, so a typo is refused the
    // same way on a machine without one.
    const ProgramOptions options = ProgramOptions::parse(ProgramOptions::fromArgv(argc, argv));
    switch (options.action) {
    case ProgramOptions::Action::Help:
        printUsage(stdout);
        return 0;
    case ProgramOptions::Action::Version:
        std::printf("korvane %s\n", Korvane::versionText().toLocal8Bit().constData());
        return 0;
    case ProgramOptions::Action::Refuse:
        std::fprintf(stderr, "korvane: %s\n\n", options.refused.toLocal8Bit().constData());
        printUsage(stderr);
        return 2;
    case ProgramOptions::Action::Window:
    case ProgramOptions::Action::History:
        break;
    }
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    startupDisplay = displayTried(argc, argv);
    if (startupDisplay == "\"\" (X11)" && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "korvane: no display to open (DISPLAY is not set); %s\n", HeadlessHint);
        return 1;
    }
#else
    startupDisplay = displayTried(argc, argv);
#endif
#ifdef Q_OS_UNIX
    // A console line printed into a pipe whose reader has gone must fail
    // that write, not end the tool and take its open link and log with it.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    qtHandler = qInstallMessageHandler(startupMessages);
    auto* app = new QApplication(argc, argv);
    qInstallMessageHandler(qtHandler);
    for (const Held& held : heldMessages)
        qtHandler(held.type, QMessageLogContext(), held.message);
    heldMessages.clear();
#ifndef Q_OS_WIN
    // The form's fixed label sizes were drawn for a Chinese desktop's system
    // font; the installed CJK font keeps "V2.01.00  yyyy-MM-dd" and the column
    // headings inside them where the wider Latin default would clip them.
    QFont base = QApplication::font();
    base.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), base.family()});
    QApplication::setFont(base);
#endif
    QWidget* window = nullptr;
    if (options.action == ProgramOptions::Action::History) {
        // Read again from the application's own list: on Windows it comes
        // from the wide command line, so a file name outside the local code
        // page survives.
        const QString file = ProgramOptions::parse(QCoreApplication::arguments().mid(1)).historyFile;
        window = HistoryWindow::forFile(file.isEmpty() ? options.historyFile : file);
    } else {
        PortNumbering::assign(); // adapters plugged in now get their numbers before the user picks one
        window = new Korvane();
    }
    // The window goes, and with it the link and the log, in its destructor's
    // order, as soon as the application is about to quit: on a normal exit
    // that is the end of exec(). When Windows ends the session (log-off,
    // shutdown), it is the only moment there is: Qt announces the quit while
    // handling the session's end, and Windows ends the process as soon as
    // that handling returns, before exec() could.
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [&window] {
        delete window;
        window = nullptr;
    });
    int exitCode;
    {
        StopSignals stop(window);
        window->show();
        if (started)
            QTimer::singleShot(0, window, [window, started] { started(*window); });
        exitCode = app->exec();
    }
    delete window;
    delete app;
    return exitCode;
}
