// The window's receive side: the poll that reads the open link, and the
// frame decoder that turns its bytes into frames and replies.
#include "korvane.h"

#include "linkframe.h"

#include <QTimer>

#include <cstdio>

namespace {

enum RxState : qint8 { WaitStart = 0, WaitType = 1, WaitLen = 2, WaitData = 3, WaitSum = 4 };

} // namespace

void Korvane::clearReceiveState()
{
    for (TYPE_Data& record : rxRing)
        record = TYPE_Data{};
    rxState = WaitStart;
    rxCount = 0;
    rxSlot = 0;
}

void Korvane::TimerRead_IRQ()
{
    char buf[PollBytes];
    int n;
    if (remote.isOpen()) {
        n = remote.read(buf, PollBytes);
        sayRemoteWarnings();
        if (n <= 0) {
            pollPacer.drained();
            if (n < 0)
                loseLink(LinkFailure::remoteLost(linkNumber, QString::fromStdString(remote.address()), remote.lostCode(),
                                                 remote.failure()));
            return;
        }
    } else if (serialMode) {
        if (serial.available() <= 0) {
            pollPacer.drained();
            if (serial.lineError() != 0)
                loseLink(LinkFailure::serialLost(linkNumber, serial.lineError()));
            return;
        }
        n = serial.read(buf, PollBytes);
        if (n <= 0 && serial.lineError() != 0) {
            loseLink(LinkFailure::serialLost(linkNumber, serial.lineError()));
            return;
        }
    } else {
        n = net.recv(buf, PollBytes);
        if (n == 0) {
            pollPacer.drained();
            // Said once: the link is closed right after it.
            std::printf("Korvane::TimerRead_IRQ no data\n");
            std::fflush(stdout); // seen at once when the output goes to a pipe or file
            loseLink(LinkFailure::connectionLost(linkNumber, net.brokenError()));
            return;
        }
        if (n < 0 && net.brokenError() != 0) {
            loseLink(LinkFailure::connectionLost(linkNumber, net.brokenError()));
            return;
        }
    }

    DecodePoll(buf, n);
    if (pollPacer.owed(n == PollBytes) && !extraTickQueued) {
        extraTickQueued = true;
        QTimer::singleShot(0, this, [this] {
            extraTickQueued = false;
            // Not when the link was closed in the meantime.
            if (readTimer->isActive())
                TimerRead_IRQ();
        });
    }
    // The timer runs on through the tick, so the next tick falls 10 ms after
    // this one was due, not 10 ms after its work ended: a precise repeating
    // timer keeps its own timetable and only starts it afresh when a whole
    // interval was missed. Restarting it here would add this tick's work
    // and its wake-up delay to every interval, and at 100 bytes a tick the
    // poll would then fall behind a line that carries 10,000 bytes a second.
    // Only the first tick with data moves it from the opening 5 ms to 10 ms.
    if (readTimer->interval() != PollMs)
        readTimer->start(PollMs);
}

void Korvane::DecodePoll(const char* bytes, int n)
{
    rxPollTimeValid = false;
    session.beginPoll();
    if (n > 0)
        counters.bytesIn += static_cast<quint64>(n);
    for (int i = 0; i < n; ++i)
        DecodeByte(static_cast<unsigned char>(bytes[i]));
    // Rows written during this tick reach the operating system before the
    // next tick, so a killed tool keeps every frame it has shown.
    display.FlushLog();
    session.flush();
}

void Korvane::DecodeByte(int byte)
{
    // Kept small so that it inlines into the poll's loop: the common steps
    // are a few stores and an add; the start of a frame, its end and the
    // reply label go through calls of their own.
    TYPE_Data& rec = rxRing[rxSlot];
    const auto b = static_cast<std::uint8_t>(byte);

    switch (rxState) {
    case WaitData:
        rec.data[rxCount] = b;
        rec.sum = static_cast<std::uint8_t>(rec.sum + b);
        ++rxCount;
        if (rxCount >= rec.len)
            rxState = WaitSum;
        break;
    case WaitStart:
        if (b == LinkFrame::StartByte)
            startFrame(rec);
        else if (b == LinkFrame::Ack || b == LinkFrame::Nak)
            showReply(b);
        break;
    case WaitType:
        rec.type = b;
        rec.sum = b;
        rxState = WaitLen;
        break;
    case WaitLen:
        rec.len = b > LinkFrame::MaxRecordData ? LinkFrame::MaxRecordData : b;
        rxCount = 0;
        rec.sum = static_cast<std::uint8_t>(rec.sum + b);
        rxState = rec.len > 0 ? WaitData : WaitSum;
        break;
    case WaitSum:
        finishFrame(rec, b);
        break;
    default:
        rxState = WaitStart;
        break;
    }
}

void Korvane::startFrame(TYPE_Data& rec)
{
    if (!rxPollTimeValid) {
        rxPollTime = rxClock.now();
        rxPollTimeValid = true;
    }
    rec.time = rxPollTime;
    rxState = WaitType;
}

void Korvane::showReply(std::uint8_t reply)
{
    ++(reply == LinkFrame::Ack ? counters.acks : counters.naks);
    session.replyReceived(reply);
    ui.ack_label->setText(QStringLiteral("ack:") + QString::number(reply, 16));
}

void Korvane::finishFrame(TYPE_Data& rec, std::uint8_t checksum)
{
    rec.sum = static_cast<std::uint8_t>(~rec.sum);
    unsigned char reply;
    if (rec.sum == checksum) {
        display.ShowFrame(&rec);
        session.received(rec, checksum, display.loggedIndex());
        if (++rxSlot >= RingSize)
            rxSlot = 0;
        reply = LinkFrame::Ack;
        ++counters.goodFrames;
    } else {
        session.received(rec, checksum, 0);
        reply = LinkFrame::Nak;
        ++counters.badFrames;
    }
    // The device gets its answer on the link the frame came in on.
    if (writeToLink(&reply, 1) > 0)
        session.replySent(reply);
    rxState = WaitStart;
}

