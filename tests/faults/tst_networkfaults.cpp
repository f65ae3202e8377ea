// Faults on the network link, seen from the whole window. The whole test
// process lives in a network namespace of its own where 192.168.1.154 is on
// loopback and the test plays the device on plain sockets, so nothing here
// can reach a real network; without the namespace every case skips.
//
// A send to a peer that has gone would raise SIGPIPE and end this process,
// so every case also proves that the tool never dies of that signal.

#include "windowsupport.h"

#include <QApplication>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

using Listener = TestSupport::DeviceListener;
using TestSupport::Stream;

// Closes the connection with an RST instead of a FIN.
void resetConnection(Stream& peer)
{
    const struct linger abortive = {1, 0};
    ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    peer.close();
}

} // namespace

class NetworkFaultsTest : public TestSupport::WindowTest
{
    Q_OBJECT

public:
    using TestSupport::WindowTest::WindowTest;

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void connectionRefused();
    void peerGoesWhileFramesFlow_data();
    void peerGoesWhileFramesFlow();
    void peerClosesMidFrame();
    void sendAfterPeerHasGone_data();
    void sendAfterPeerHasGone();
    void thousandConnectCloseCycles();

private:
    void clickOpen() { QTest::mouseClick(probe->ui().open, Qt::LeftButton); }

};

void NetworkFaultsTest::initTestCase()
{
    if (!isolated)
        QSKIP(qPrintable(QStringLiteral("no private network namespace, so no network fault test: ") + whyNot));
    // If anything in the tool raised SIGPIPE, it would end this process (or
    // Qt Test's crash handler would fail the run): it must not be ignored.
    struct sigaction current = {};
    QCOMPARE(::sigaction(SIGPIPE, nullptr, &current), 0);
    QVERIFY(current.sa_handler != SIG_IGN);
}

void NetworkFaultsTest::init()
{
    makeWindow();
    QTest::mouseClick(probe->ui().mode, Qt::LeftButton);
    QCOMPARE(probe->ui().portBox->value(), 154);
}

void NetworkFaultsTest::cleanup()
{
    dropWindow();
}

void NetworkFaultsTest::connectionRefused()
{
    // Nothing listens on 192.168.1.154:4500.
    const int descriptors = TestSupport::openDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        clickOpen();
        QVERIFY(!probe->linkOpen());
        QCOMPARE(probe->ui().open->text(), QStringLiteral("连接"));
        QVERIFY(probe->ui().mode->isEnabled());
        QVERIFY(!probe->readTimer()->isActive());
    }
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);

    // A device that comes up later is reached at once.
    Listener device;
    QVERIFY(device.isListening());
    clickOpen();
    QVERIFY(probe->linkOpen());
    const int peer = device.accept(5000, true);
    QVERIFY(peer >= 0);
    ::close(peer);
}

void NetworkFaultsTest::peerGoesWhileFramesFlow_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QByteArray>("console");
    QTest::newRow("peer closes") << false << QStringLiteral("连接已断开: 设备关闭了连接")
                                 << QByteArray("lost: device closed the connection; the link is closed");
    QTest::newRow("peer resets") << true << QStringLiteral("连接已断开: 设备重置了连接")
                                 << QByteArray("lost: device reset the connection; the link is closed");
}

void NetworkFaultsTest::peerGoesWhileFramesFlow()
{
    QFETCH(bool, reset);
    QFETCH(QString, said);
    QFETCH(QByteArray, console);
    Listener device;
    QVERIFY(device.isListening());
    TestSupport::OutputCapture out;
    TestSupport::OutputCapture err(STDERR_FILENO);
    const int descriptors = TestSupport::openDescriptorCount();
    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream peer(device.accept(5000, true));
    QVERIFY(peer.isOpen());

    // A hundred frames in batches of five, each batch answered before the next.
    QByteArray replies;
    quint32 seq = 0;
    for (int batch = 0; batch < 20; ++batch) {
        QByteArray bytes;
        for (int i = 0; i < 5; ++i)
            bytes += TestSupport::numberedFrame(0x01, seq++);
        QVERIFY(peer.write(bytes));
        replies += receiveFromTool(peer, int(seq) - int(replies.size()), 5000);
        QVERIFY2(replies.size() == seq, qPrintable(QString::number(replies.size())));
    }
    QCOMPARE(replies, QByteArray(100, '\xFF'));

    // Five more frames in flight, then the device goes. (A frame cut in
    // half by the peer is peerClosesMidFrame's case.)
    QByteArray tail;
    for (int i = 0; i < 5; ++i)
        tail += TestSupport::numberedFrame(0x01, seq++);
    QVERIFY(peer.write(tail));
    if (reset)
        resetConnection(peer);
    else
        peer.close();

    // Said once, and closed as a click would close it.
    checkLinkLost(*probe, *window, said, err, console.constData());
    QVERIFY(out.text().count("Korvane::TimerRead_IRQ no data\n") <= 1);
    // What the close lets go of may be let go of a moment later on a busy
    // machine; a descriptor kept is still a failure.
    QTRY_COMPARE(TestSupport::openDescriptorCount(), descriptors);

    // Every answered frame is in the log, whole and in order. A close comes
    // after the data, so the frames in flight are there too; a reset may
    // throw away what was in flight, but never a part of a frame.
    const TestSupport::LogContents log = TestSupport::readLog();
    QVERIFY(log.headerFirst);
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY2(log.rows.size() == 105 || (reset && log.rows.size() == 100), qPrintable(QString::number(log.rows.size())));
    QVERIFY(TestSupport::contiguous(log.rows, 0));
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("[%1]").arg(log.rows.size() + 1)));
    QCOMPARE(probe->rxState(), 0);

    // The device comes back: a new connection carries frames again, and the
    // status bar shows it and counts afresh.
    clickOpen();
    QVERIFY(probe->linkOpen());
    QCOMPARE(statusText(*window, "linkStatus"), QStringLiteral("已连接 192.168.1.154:4500"));
    Stream again(device.accept(5000, true));
    QVERIFY(again.isOpen());
    QVERIFY(again.write(TestSupport::numberedFrame(0x02, 7)));
    QCOMPARE(receiveFromTool(again, 1, 5000), QByteArray("\xFF"));
    QTRY_VERIFY(TestSupport::readLog().rows.size() > log.rows.size());
    QCOMPARE(TestSupport::readLog().rows.last().type, 0x02);
    QTRY_VERIFY2(statusText(*window, "countStatus").startsWith(QStringLiteral("帧 1  坏 0  FF 0  F0 0  收 8 B  发 1 B")),
                 qPrintable(statusText(*window, "countStatus")));
}

void NetworkFaultsTest::peerClosesMidFrame()
{
    Listener device;
    QVERIFY(device.isListening());
    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream peer(device.accept(5000, true));
    QVERIFY(peer.isOpen());

    QVERIFY(peer.write(QByteArray::fromHex("2E01020A")));
    QTRY_COMPARE(probe->rxState(), 3);
    peer.close();
    QTRY_VERIFY(!probe->linkOpen());
    QCOMPARE(probe->rxState(), 3);

    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream again(device.accept(5000, true));
    QVERIFY(again.isOpen());
    // The next connection's first bytes complete the frame.
    QVERIFY(again.write(QByteArray::fromHex("FFF3")));
    QCOMPARE(receiveFromTool(again, 1, 5000), QByteArray("\xFF"));
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY2(logRows().at(0).contains(QStringLiteral(",2E,01,02,0A,FF,F3,-,[")), qPrintable(logRows().at(0)));
}

void NetworkFaultsTest::sendAfterPeerHasGone_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("peer closed") << false;
    QTest::newRow("peer reset") << true;
}

void NetworkFaultsTest::sendAfterPeerHasGone()
{
    QFETCH(bool, reset);
    Listener device;
    QVERIFY(device.isListening());
    const int descriptors = TestSupport::openDescriptorCount();
    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream peer(device.accept(5000, true));
    QVERIFY(peer.isOpen());
    // No poll in between: the sends below meet the gone peer before the
    // tool has noticed it.
    probe->readTimer()->stop();
    if (reset)
        resetConnection(peer);
    else
        peer.close();

    // The first send may still be taken by the local stack; the ones after it
    // meet a connection that is gone, and none of them may raise SIGPIPE.
    quint64 taken = 0;
    QVERIFY(QTest::qWaitFor([&] {
        typeAndSend(*probe, 0, QStringLiteral("01"), {QStringLiteral("0A"), QStringLiteral("FF")});
        const bool refused = probe->counters().bytesOut == taken;
        taken = probe->counters().bytesOut;
        return refused;
    }, 5000));
    probe->tick();
    QVERIFY(!probe->linkOpen());
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);
}

void NetworkFaultsTest::thousandConnectCloseCycles()
{
    Listener device;
    QVERIFY(device.isListening());
    auto cycles = [&](int count) {
        for (int i = 0; i < count; ++i) {
            clickOpen();
            if (!probe->linkOpen())
                return false;
            const int peer = device.accept(5000, true);
            if (peer < 0)
                return false;
            ::close(peer);
            clickOpen();
            if (probe->linkOpen())
                return false;
            if (i % 50 == 49)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        return true;
    };

    const QString growth = TestSupport::growthOverCycles(cycles, 20, 1000, "connect/close");
    QVERIFY2(growth.isEmpty(), qPrintable(growth));
}

int main(int argc, char** argv)
{
    // The tool runs with SIGPIPE at its default, which ends the process; a
    // disposition inherited from whoever started the test must not hide it.
    ::signal(SIGPIPE, SIG_DFL);
    return TestSupport::execIsolated<QApplication, NetworkFaultsTest>(argc, argv, [](QString* why) {
        return TestSupport::enterPrivateNetwork(why);
    });
}

#include "tst_networkfaults.moc"
