#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into an orderly close of a window, so a
// tool stopped from a terminal or by a logout still runs its destructors:
// the link is closed and every logged row reaches the file. A signal that
// was ignored when the tool started (`nohup korvane`) stays ignored, and at
// the end each signal gets back what it had before. Windows has no such
// signals: there a log-off or shutdown ends the session, which runKorvane()
// answers by closing the window in place.

#include <QObject>
#include <QPointer>

class QSocketNotifier;
class QWidget;

class StopSignals : public QObject
{
    Q_OBJECT

public:
    // Watches the signals for as long as this object lives; on the first one
    // it closes target from the event loop, if it is still there.
    explicit StopSignals(QWidget* target);
    ~StopSignals() override;

private:
    void onSignal();

    QPointer<QWidget> target; // gone once the application quits
    QSocketNotifier* notifier = nullptr;
};
