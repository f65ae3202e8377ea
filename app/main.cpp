#include "korvane.h"
#include "stopsignals.h"

#include <QApplication>
#include <QFont>

int main(int argc, char* argv[])
{
    auto* app = new QApplication(argc, argv);
#ifndef Q_OS_WIN
    // The form's fixed label sizes were drawn for a Chinese desktop's system
    // font; the installed CJK font keeps "V2.01.00  yyyy-MM-dd" and the column
    // headings inside them where the wider Latin default would clip them.
    QFont base = QApplication::font();
    base.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), base.family()});
    QApplication::setFont(base);
#endif
    auto* window = new Korvane();
    int exitCode;
    {
        StopSignals stop(window);
        window->show();
        exitCode = app->exec();
    }
    delete window;
    delete app;
    return exitCode;
}
