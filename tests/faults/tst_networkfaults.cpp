// Faults on the network link, seen from the whole window. The whole test
// process lives in a network namespace of its own where 192.168.1.154 is on
// loopback and the test plays the device on plain sockets, so nothing here
// can reach a real network; without the namespace every case skips.
//
// A send to a peer that has gone would raise SIGPIPE and end this process,
// so every case also proves that the tool never dies of that signal.

#include "e2ehelpers.h"
#include "faultsupport.h"
#include "testsupport.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace E2e;

namespace {

using Listener = TestSupport::DeviceListener;

bool sendAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t r = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (r > 0)
            done += r;
        else if (!(r < 0 && errno == EINTR))
            return false;
    }
    return true;
}

QByteArray receiveAvailable(int fd)
{
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
        if (r > 0)
            out.append(buffer, r);
        else if (!(r < 0 && errno == EINTR))
            break;
    }
    return out;
}

// Replies from the window, collected while its event loop runs.
bool waitForReplies(int fd, QByteArray* replies, int count, int timeoutMs = 5000)
{
    return QTest::qWaitFor([&] {
        *replies += receiveAvailable(fd);
        return replies->size() >= count;
    }, timeoutMs);
}

// Closes the connection with an RST instead of a FIN.
void resetConnection(int fd)
{
    const struct linger abortive = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
}

} // namespace

class NetworkFaultsTest : public QObject
{
    Q_OBJECT

public:
    NetworkFaultsTest(bool inPrivateNetwork, const QString& why) : isolated(inPrivateNetwork), whyNot(why) {}

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

    bool isolated;
    QString whyNot;
    QTemporaryDir* work = nullptr;
    Korvane* window = nullptr;
    KorvaneProbe* probe = nullptr;
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
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
    QVERIFY(QDir::setCurrent(work->path()));
    window = new Korvane;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    probe = new KorvaneProbe(*window);
    QTest::mouseClick(probe->ui().mode, Qt::LeftButton);
    QCOMPARE(probe->ui().portBox->value(), 154);
}

void NetworkFaultsTest::cleanup()
{
    delete probe;
    delete window;
    QDir::setCurrent(QDir::tempPath());
    delete work;
    probe = nullptr;
    window = nullptr;
    work = nullptr;
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
    Faults::OutputCapture out;
    const int descriptors = TestSupport::openDescriptorCount();
    clickOpen();
    QVERIFY(probe->linkOpen());
    const int peer = device.accept(5000, true);
    QVERIFY(peer >= 0);

    // A hundred frames in batches of five, each batch answered before the next.
    QByteArray replies;
    quint32 seq = 0;
    for (int batch = 0; batch < 20; ++batch) {
        QByteArray bytes;
        for (int i = 0; i < 5; ++i)
            bytes += Faults::numberedFrame(0x01, seq++);
        QVERIFY(sendAll(peer, bytes));
        QVERIFY2(waitForReplies(peer, &replies, int(seq)), qPrintable(QString::number(replies.size())));
    }
    QCOMPARE(replies, QByteArray(100, '\xFF'));

    // Five more frames in flight, then the device resets. (A frame cut in
    // half by the peer is peerClosesMidFrame's case.)
    QByteArray tail;
    for (int i = 0; i < 5; ++i)
        tail += Faults::numberedFrame(0x01, seq++);
    QVERIFY(sendAll(peer, tail));
    resetConnection(peer);

    // The window sees the connection gone, says so on every tick and stays.
    QTRY_VERIFY(out.text().count("Korvane::TimerRead_IRQ no data\n") >= 3);
    QVERIFY(probe->linkOpen());
    QVERIFY(window->isVisible());

    // Every answered frame is in the log, whole and in order; the frames in
    // flight, one segment, came in whole or not at all.
    const Faults::LogContents log = Faults::readLog();
    QVERIFY(log.headerFirst);
    QVERIFY2(log.junk.isEmpty(), log.junk.value(0).constData());
    QVERIFY2(log.rows.size() == 100 || log.rows.size() == 105, qPrintable(QString::number(log.rows.size())));
    QVERIFY(Faults::contiguous(log.rows, 0));
    QCOMPARE(probe->rxState(), 0);

    clickOpen();
    QVERIFY(!probe->linkOpen());
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);

    // The device comes back: a new connection carries frames again.
    clickOpen();
    QVERIFY(probe->linkOpen());
    const int again = device.accept(5000, true);
    QVERIFY(again >= 0);
    replies.clear();
    QVERIFY(sendAll(again, Faults::numberedFrame(0x02, 7)));
    QVERIFY(waitForReplies(again, &replies, 1));
    QCOMPARE(replies, QByteArray("\xFF"));
    QTRY_VERIFY(Faults::readLog().rows.size() > log.rows.size());
    QCOMPARE(Faults::readLog().rows.last().type, 0x02);
    ::close(again);
}

void NetworkFaultsTest::peerClosesMidFrame()
{
    Listener device;
    QVERIFY(device.isListening());
    Faults::OutputCapture out;
    clickOpen();
    QVERIFY(probe->linkOpen());
    const int peer = device.accept(5000, true);
    QVERIFY(peer >= 0);

    QVERIFY(sendAll(peer, QByteArray::fromHex("2E01020A")));
    QTRY_COMPARE(probe->rxState(), 3);
    ::close(peer);
    QTRY_VERIFY(out.text().count("Korvane::TimerRead_IRQ no data\n") >= 3);
    QVERIFY(probe->linkOpen());
    QCOMPARE(probe->rxState(), 3);

    clickOpen();
    QVERIFY(!probe->linkOpen());
    clickOpen();
    QVERIFY(probe->linkOpen());
    const int again = device.accept(5000, true);
    QVERIFY(again >= 0);
    // The next connection's first bytes complete the frame.
    QVERIFY(sendAll(again, QByteArray::fromHex("FFF3")));
    QByteArray replies;
    QVERIFY(waitForReplies(again, &replies, 1));
    QCOMPARE(replies, QByteArray("\xFF"));
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY2(logRows().at(0).contains(QStringLiteral(",2E,01,02,0A,FF,F3,-,[")), qPrintable(logRows().at(0)));
    ::close(again);
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
    Faults::OutputCapture out;
    const int descriptors = TestSupport::openDescriptorCount();
    clickOpen();
    QVERIFY(probe->linkOpen());
    const int peer = device.accept(5000, true);
    QVERIFY(peer >= 0);
    if (reset)
        resetConnection(peer);
    else
        ::close(peer);
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

    const QString growth = Faults::growthOverCycles(cycles, 20, 1000, "connect/close");
    QVERIFY2(growth.isEmpty(), qPrintable(growth));
}

int main(int argc, char** argv)
{
    // Entered while the process has one thread, before Qt Test starts its
    // watchdog.
    // The tool runs with SIGPIPE at its default, which ends the process; a
    // disposition inherited from whoever started the test must not hide it.
    ::signal(SIGPIPE, SIG_DFL);
    QString why;
    const bool inPrivateNetwork = TestSupport::enterPrivateNetwork(&why, 154);
    QApplication app(argc, argv);
    NetworkFaultsTest test(inPrivateNetwork, why);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_networkfaults.moc"
