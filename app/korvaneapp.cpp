#include "korvaneapp.h"

#include "korvane.h"
#include "portnumbering.h"
#include "stopsignals.h"

#include <QApplication>
#include <QFont>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

const char HeadlessHint[] = "to run without a display, start it as: QT_QPA_PLATFORM=offscreen korvane";

void printUsage()
{
    std::printf("Usage: korvane [--help] [--version] [Qt options such as -platform offscreen]\n"
                "\n"
                "Korvane %s: the desktop test tool for devices that speak the framed byte\n"
                "protocol (start byte 2E, type, len, data, checksum; replies FF and F0) over a\n"
                "serial port, COM1 to COM9 at 38400 8N1, or TCP to 192.168.1.N port 4500.\n"
                "Received frames are answered, shown and logged to Korvane_data.csv in the\n"
                "working directory; the previous run's log is kept beside it as\n"
                "Korvane_data-<its start time>.csv.\n"
                "\n"
                "  -h, --help      print this text and exit\n"
                "  -v, --version   print the version the window shows and exit\n"
                "\n"
                "Without a display: QT_QPA_PLATFORM=offscreen korvane. More in man korvane.\n",
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

int runKorvane(int& argc, char** argv, const std::function<void(Korvane&)>& started)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
            std::printf("korvane %s\n", Korvane::versionText().toLocal8Bit().constData());
            return 0;
        }
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
    PortNumbering::assign(); // adapters plugged in now get their numbers before the user picks one
    auto* window = new Korvane();
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
