#include "korvane.h"
#include "stopsignals.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    auto* app = new QApplication(argc, argv);
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
