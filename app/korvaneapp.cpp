#include "korvaneapp.h"

#include "korvane.h"
#include "portnumbering.h"
#include "stopsignals.h"

#include <QApplication>
#include <QFont>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

int runKorvane(int& argc, char** argv, const std::function<void(Korvane&)>& started)
{
#ifdef Q_OS_UNIX
    // A console line printed into a pipe whose reader has gone must fail
    // that write, not end the tool and take its open link and log with it.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    auto* app = new QApplication(argc, argv);
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
