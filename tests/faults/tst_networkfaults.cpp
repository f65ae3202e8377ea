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
    void peerResetWhileFramesFlow();
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

void NetworkFaultsTest::peerResetWhileFramesFlow()
{
    Listener device;
    QVERIFY(device.isListening());
    TestSupport::OutputCapture out;
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

    // Five more frames in flight, then the device resets. (A frame cut in
    // half by the peer is peerClosesMidFrame's case.)
    QByteArray tail;
    for (int i = 0; i < 5; ++i)
        tail += TestSupport::numberedFrame(0x01, seq++);
    QVERIFY(peer.write(tail));
    resetConnection(peer);

    // The window sees the connection gone, says so on every tick and stays.
    QTRY_VERIFY(out.text().count("Korvane::TimerRead_IRQ no data\n") >= 3);
    QVERIFY(probe->linkOpen());
    QVERIFY(window->isVisible());

    // Every answered frame is in the log, whole and in order; the frames in
    // flight, one segment, came in whole or not at all.
    const TestSupport::LogContents log = TestSupport::readLog();
    QVERIFY(log.headerFirst);
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY2(log.rows.size() == 100 || log.rows.size() == 105, qPrintable(QString::number(log.rows.size())));
    QVERIFY(TestSupport::contiguous(log.rows, 0));
    QCOMPARE(probe->rxState(), 0);

    clickOpen();
    QVERIFY(!probe->linkOpen());
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);

    // The device comes back: a new connection carries frames again.
    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream again(device.accept(5000, true));
    QVERIFY(again.isOpen());
    QVERIFY(again.write(TestSupport::numberedFrame(0x02, 7)));
    QCOMPARE(receiveFromTool(again, 1, 5000), QByteArray("\xFF"));
    QTRY_VERIFY(TestSupport::readLog().rows.size() > log.rows.size());
    QCOMPARE(TestSupport::readLog().rows.last().type, 0x02);
}

void NetworkFaultsTest::peerClosesMidFrame()
{
    Listener device;
    QVERIFY(device.isListening());
    TestSupport::OutputCapture out;
    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream peer(device.accept(5000, true));
    QVERIFY(peer.isOpen());

    QVERIFY(peer.write(QByteArray::fromHex("2E01020A")));
    QTRY_COMPARE(probe->rxState(), 3);
    peer.close();
    QTRY_VERIFY(out.text().count("Korvane::TimerRead_IRQ no data\n") >= 3);
    QVERIFY(probe->linkOpen());
    QCOMPARE(probe->rxState(), 3);

    clickOpen();
    QVERIFY(!probe->linkOpen());
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
    TestSupport::OutputCapture out;
    const int descriptors = TestSupport::openDescriptorCount();
    clickOpen();
    QVERIFY(probe->linkOpen());
    Stream peer(device.accept(5000, true));
    QVERIFY(peer.isOpen());
    if (reset)
        resetConnection(peer);
    else
        peer.close();
    QTRY_VERIFY(out.text().contains("Korvane::TimerRead_IRQ no data\n"));

    // The first send may still be taken by the local stack; the ones after it
    // meet a connection that is gone.
    for (int i = 0; i < 5; ++i)
        typeAndSend(*probe, i % Korvane::PanelCount, QStringLiteral("01"), {QStringLiteral("0A"), QStringLiteral("FF")});
    const int printed = int(out.text().count("Korvane::TimerRead_IRQ no data\n"));
    QTRY_VERIFY(out.text().count("Korvane::TimerRead_IRQ no data\n") > printed); // still ticking
    QVERIFY(probe->linkOpen());

    clickOpen();
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
