#pragma once
// The tool's one window. It owns the form, the six send panels, the traffic
// display, both transports, the poll timer and the receive ring with the
// frame decoder's state, and it runs link control, the receive poll and
// transmit framing on the GUI thread.

#include "analyz.h"
#include "display.h"
#include "linkframe.h"
#include "netclient.h"
#include "serialport.h"
#include "korvaneclass.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

// The local date and time now, as QDateTime::currentDateTime() gives it but
// without asking the C library's time-zone code on every call: that re-reads
// the zone file's status each time, a system call per poll on a busy link.
// The offset from UTC is looked up once per minute of UTC. Zones change their
// offset only on whole minutes, so within one minute the offset holds.
class LocalClock
{
public:
    QDateTime now();

private:
    qint64 offsetUntilMs = 0; // the offset below holds before this instant
    qint64 offsetFromMs = 0;  // ... and from this one on
    int offsetSeconds = 0;
};

// Keeps the receive poll at one tick per interval on average. The poll
// timer keeps a steady timetable but skips the ticks it missed when the
// process was held up (a busy machine), and at 100 bytes a tick every
// skipped tick leaves 100 bytes behind for good on a line that fills the
// poll. The pacer counts the intervals since the port was last found
// drained against the ticks since, and says when a full tick is owed one
// more: the poll then runs it at once, with the same 100-byte cap. At most a
// second's worth of ticks is owed; over time there is still one tick per
// interval.
class PollPacer
{
public:
    explicit PollPacer(int intervalMs) : interval(intervalMs) {}

    // Counts a tick and says whether an extra tick is owed now. A tick that
    // read less than a full poll left nothing behind.
    bool owed(bool full);
    // A tick found nothing waiting: the count starts from here.
    void drained()
    {
        clock.start();
        ticks = 1;
    }

private:
    static constexpr qint64 MaxOwed = 100;

    int interval;
    QElapsedTimer clock; // runs from the last tick that drained the port
    qint64 ticks = 0;    // ticks since then, that one included
};

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

    void ShowVersion(const QString& version);

    // Runs one decoder step. Public so that tests and the benchmark drive the
    // very code a poll tick runs.
    void DecodeByte(int byte);
    // Decodes what one poll tick read (at most PollBytes): one arrival time
    // for the tick, every byte through DecodeByte, then the tick's log rows
    // handed to the operating system. The tick itself and the benchmark both
    // come through here.
    void DecodePoll(const char* bytes, int n);

private Q_SLOTS:
    void TimerRead_IRQ();
    void on_clearrx_clicked();
    void on_cleartx_clicked();
    void on_open_clicked();
    void on_mode_clicked();
    void send_slots(const char* buff);

private:
    void toggleSerialLink(int portNumber);
    void toggleNetLink(int hostNumber);
    void clearReceiveState();
    Q_DECL_COLD_FUNCTION Q_NEVER_INLINE void startFrame(TYPE_Data& rec);
    Q_DECL_COLD_FUNCTION Q_NEVER_INLINE void showReply(std::uint8_t reply);
    Q_DECL_COLD_FUNCTION Q_NEVER_INLINE void finishFrame(TYPE_Data& rec, std::uint8_t checksum);
    void writeToLink(const unsigned char* bytes, int length);

    KorvaneClass ui;
    Analyz** panels;
    bool linkOpen;
    bool serialMode;
    SerialPort serial;
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

    friend class KorvaneProbe; // tests look at the private state
};
