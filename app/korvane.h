#pragma once
// The tool's one window. It owns the form, the six send panels, the traffic
// display, both transports, the poll timer and the receive ring with the
// frame decoder's state, and it runs link control, the receive poll and
// transmit framing on the GUI thread.

#include "analyz.h"
#include "display.h"
#include "typedata.h"
#include "netclient.h"
#include "remoteport.h"
#include "serialport.h"
#include "korvaneclass.h"
#include "linkfailure.h"
#include "localclock.h"
#include "pollpacer.h"
#include "sessionhistory.h"
#include "statusstrip.h"

#include <QDateTime>
#include <QMainWindow>
#include <QTimer>

#include <memory>

class Korvane : public QMainWindow
{
    Q_OBJECT

public:
    explicit Korvane(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~Korvane() override;

    static constexpr int PanelCount = 6;
    static constexpr int RingSize = 80;
    static constexpr int PollBytes = 100;
    static constexpr int FirstPollMs = 5;
    static constexpr int PollMs = 10;
    // How often the status bar's counts are brought up to date.
    static constexpr int StatusMs = 250;

    void ShowVersion(const QString& version);
    // "V2.01.00  2026-12-09": what the version label shows.
    static QString versionText();

    // Opens the history of this session (Ctrl+H, the status bar's "历史"),
    // or raises it.
    void openHistory();

    // Runs one decoder step. Public so that tests and the benchmark drive the
    // very code a poll tick runs.
    void DecodeByte(int byte);
    // Decodes what one poll tick read (at most PollBytes): one arrival time
    // for the tick, every byte through DecodeByte, then the tick's log rows
    // handed to the operating system. The tick itself and the benchmark both
    // come through here.
    void DecodePoll(const char* bytes, int n);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private Q_SLOTS:
    void TimerRead_IRQ();
    void on_clearrx_clicked();
    void on_cleartx_clicked();
    void on_open_clicked();
    void on_mode_clicked();
    void send_slots(const char* buff);

private:
    void toggleSerialLink(int portNumber);
    // Opens the network address that COMn stands for in its place; false,
    // said, when it cannot be reached.
    bool openRemote(int portNumber);
    // What the RFC 2217 server set otherwise or refused, in the view and on
    // standard error, each once: at the open and as its late answers come.
    void sayRemoteWarnings();
    void toggleNetLink(int hostNumber);
    // The reason line after a failed serial open: in the view and on
    // standard error. portNumber 0: there was no port name to open.
    void reportSerialFailure(int portNumber);
    void clearReceiveState();
    // The open link stopped working: said in the view, on standard error
    // and in the status bar, and closed as a click on `open` closes it.
    Q_DECL_COLD_FUNCTION void loseLink(const LinkFailure::Said& said);
    void showLinkState();
    // The status line in the view and the console line on standard error,
    // each where it is not empty.
    void say(const LinkFailure::Said& said);
    void sayLogAtStart();
    void sayLogWriteChange();
    Q_DECL_COLD_FUNCTION Q_NEVER_INLINE void startFrame(TYPE_Data& rec);
    Q_DECL_COLD_FUNCTION Q_NEVER_INLINE void showReply(std::uint8_t reply);
    Q_DECL_COLD_FUNCTION Q_NEVER_INLINE void finishFrame(TYPE_Data& rec, std::uint8_t checksum);
    // Bytes written, or the transport's failure (0 or less).
    int writeToLink(const unsigned char* bytes, int length);

    KorvaneClass ui;
    Analyz** panels;
    bool linkOpen;
    bool serialMode;
    SerialPort serial;
    RemotePort remote; // open in place of serial for a COMn mapped to an address
    QTimer* readTimer;
    Display display;
    NetClient net;
    TYPE_Data rxRing[RingSize];
    qint8 rxState;
    qint8 rxCount;
    qint32 rxSlot;

    // The local time of the current poll, read once at its first start byte:
    // every frame that starts within one poll is stamped with it, which keeps
    // the clock and the time-zone conversion off the per-byte path.
    QDateTime rxPollTime;
    bool rxPollTimeValid = false;
    LocalClock rxClock;
    PollPacer pollPacer{PollMs};
    bool extraTickQueued = false;

    // The bottom strip and what it shows.
    std::unique_ptr<StatusStrip> statusStrip; // its labels belong to the status bar
    QTimer statusTimer;
    LinkCounters counters;
    int linkNumber = 0;  // the port or host number of the open link
    QString linkTrouble; // why the link was lost or failed to open; empty otherwise

    SessionHistory session; // the record of every frame and reply, and its history window

    friend class KorvaneProbe; // tests look at the private state
};
