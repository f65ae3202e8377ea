#pragma once
// The traffic display: turns each good frame into a line with its arrival
// time, bytes and a running index, keeps the last seven lines in a text view
// that the window hosts, and writes each frame line as a row of the traffic
// log "Korvane_data.csv" in the working directory.
//
// The ring, the indices and the log rows are kept per line; the text view is
// rebuilt from the ring at most ten times a second (and on the next turn of
// the event loop when it has been quiet that long), so a busy link costs a
// redraw every 100 ms instead of one per frame or per poll tick.

// Xlib calls its connection type `Display`, and Qt's native X11 interface
// declares that typedef at global scope in every file that includes
// QGuiApplication or QApplication. Pull that header in here first with the
// typedef renamed, so that this class keeps its name. Files that need both
// must therefore include this header before <QApplication>.
#ifdef QGUIAPPLICATION_PLATFORM_H
#error "include display.h before <QGuiApplication> or <QApplication>"
#endif
#define Display KorvaneXlibDisplay
#include <QGuiApplication>
#undef Display

#include "logstarter.h"
#include "trafficformat.h"
#include "typedata.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QTextEdit>
#include <QTimer>

#include <functional>

class QFile;

// How the traffic log fares: how this run's log was started, and whether
// its writes currently fail.
struct LogStatus {
    LogStarter::State state = LogStarter::State::CannotOpen;
    QString path;   // the file written
    QString kept;   // where the previous run's log was kept, if anywhere
    QString detail; // the system's reason why there is no log
    bool writeFailing = false;
    int writeError = 0; // errno of the failed write where known, else 0
    QString writeReason;
};

class Display : public QMainWindow
{
    Q_OBJECT

public:
    Display();
    ~Display() override;

    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    // Styles the view (11 pt "simsun") and places it in parent at (x, y).
    void SetView(QWidget* parent, int x, int y);
    // Empties the view and restarts the line index; the log is left alone.
    void ClearView();
    // Shows a good frame and logs it. record is only read during the call.
    void ShowFrame(TYPE_Data* record);
    // Shows a status line: counted in the index, never logged.
    void ShowText(QString text);

    // Hands the rows written since the last call to the operating system.
    // The owner calls it once at the end of every poll tick, so a killed tool
    // still leaves every row its view had shown.
    void FlushLog();
    // Brings the view up to date now instead of on the next event-loop turn.
    void RefreshView();

    const LogStatus& logStatus() const { return log; }
    // The index "[n]" of the last frame's log row; 0 when it had none.
    TrafficFormat::LineIndex loggedIndex() const { return logOpen ? lineCount : 0; }
    // Called each time the log's writes start failing or work again.
    void setLogWriteWatcher(std::function<void()> watcher) { logWriteWatcher = std::move(watcher); }

    static QString HexByte(unsigned char b);

protected:
    Q_SIGNAL void PressType_Sig(TYPE_Data* Data);
    Q_SIGNAL void PressFile_Sig(const QString& str);

private slots:
    void PressType_Slots(TYPE_Data* Data);
    void PressFile_Slots(const QString& str);

private:
    static constexpr int ViewLines = 7;
    // Shortest time between two rebuilds of the view. Each rebuild lays out
    // and repaints the whole view, a few hundred microseconds; ten a second
    // still follows the traffic as fast as anyone reads it.
    static constexpr int RefreshMs = 100;

    QString PushLine(const QString& line);
    void OpenLog();
    void NoteWrite(bool ok);
    void ScheduleRefresh();

    QTextEdit textView;
    QString lines[ViewLines];
    int writeIdx;
    int firstIdx;
    TrafficFormat::LineIndex lineCount; // lines shown since the last clear
    QFile* logFile;
    bool logOpen;

    bool viewDirty;      // the ring holds lines the view does not show yet
    bool logDirty;       // rows written since the last flush
    QTimer refreshTimer; // single shot: the next rebuild
    QElapsedTimer sinceRefresh;

    LogStatus log;
    std::function<void()> logWriteWatcher;
};
