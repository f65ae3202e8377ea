// NetClient against real sockets. The whole test process lives in a network
// namespace of its own where 192.168.1.154 is on loopback, so nothing here
// can reach a real network.
#include "netclient.h"
#include "testsupport.h"

#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using win::posix::callCount;

namespace {

constexpr int Host = 154;
const char* const DeviceAddress = "192.168.1.154";
constexpr int DevicePort = 4500;

struct sockaddr_in deviceAddress()
{
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = ::htons(DevicePort);
    ::inet_pton(AF_INET, DeviceAddress, &a.sin_addr);
    return a;
}

using Listener = TestSupport::DeviceListener;
using TestSupport::Stream;

QByteArray failureText(int error)
{
    return QByteArray("client connect failed!??????: ") + std::strerror(error) + '\n';
}

} // namespace

class NetClientTest : public QObject
{
    Q_OBJECT

public:
    NetClientTest(bool entered, const QString& reason)
        : inPrivateNetwork(entered), why(reason)
    {
    }

private:
    const bool inPrivateNetwork;
    const QString why;

private slots:
    void initTestCase();
    void connectsToTheDeviceAddress();
    void receiveGivesMinusOneThenDataThenZero();
    void refusedConnectPrintsItsText();
    void secondAttemptAfterFailureConnects();
    void failedStartupGivesItsOwnReason();
    void notConnectedMakesNoSocketCall();
    void hostNumberOutsideTheSubnetIsRefused();
    void sendAfterPeerClosedKeepsTheProcess();
    void closeWithoutConnectLeavesDescriptorZero();
    void noDescriptorLeakOverManyConnects();
    void connectGivesUpAfterItsBound();
};

void NetClientTest::initTestCase()
{
    if (!inPrivateNetwork)
        QSKIP(qPrintable(why));
    // A send to a closed peer must not kill the process even when nothing
    // else has set SIGPIPE aside.
    std::signal(SIGPIPE, SIG_DFL);
    // Descriptor 0 must be in use, so that closing it by mistake shows.
    if (::fcntl(0, F_GETFD) < 0)
        QCOMPARE(::open("/dev/null", O_RDONLY), 0);
}

void NetClientTest::connectsToTheDeviceAddress()
{
    Listener device;
    QVERIFY(device.isListening());
    NetClient client;
    QVERIFY(client.connectTo(Host));
    Stream peer(device.accept(5000));
    QVERIFY(peer.isOpen());

    struct sockaddr_in local;
    socklen_t length = sizeof local;
    QCOMPARE(::getsockname(peer.fd(), reinterpret_cast<struct sockaddr*>(&local), &length), 0);
    char text[INET_ADDRSTRLEN];
    QCOMPARE(QByteArray(::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text)), QByteArray(DeviceAddress));
    QCOMPARE(ntohs(local.sin_port), DevicePort);

    QCOMPARE(client.send("\x2E\x01\x02\x0A\xFF\xF3", 6), 6);
    QCOMPARE(peer.read(6, 5000), QByteArray("\x2E\x01\x02\x0A\xFF\xF3", 6));
}

void NetClientTest::receiveGivesMinusOneThenDataThenZero()
{
    Listener device;
    QVERIFY(device.isListening());
    NetClient client;
    QVERIFY(client.connectTo(Host));
    const int peer = device.accept(5000);
    QVERIFY(peer >= 0);

    char buffer[100];
    QCOMPARE(client.recv(buffer, 100), -1); // nothing waiting, and no wait for it

    const QByteArray frame("\x2E\x01\x02\x0A\xFF\xF3", 6);
    QCOMPARE(::send(peer, frame.constData(), size_t(frame.size()), 0), ssize_t(frame.size()));
    int n = -1;
    QVERIFY(QTest::qWaitFor([&] { return (n = client.recv(buffer, 100)) != -1; }, 5000));
    QCOMPARE(QByteArray(buffer, n), frame);

    ::close(peer);
    QVERIFY(QTest::qWaitFor([&] { return (n = client.recv(buffer, 100)) != -1; }, 5000));
    QCOMPARE(n, 0);
    QCOMPARE(client.recv(buffer, 100), 0); // and again, until close
    QVERIFY(client.close());
    QCOMPARE(client.recv(buffer, 100), 0);
}

void NetClientTest::refusedConnectPrintsItsText()
{
    NetClient client;
    QByteArray text;
    bool connected = true;
    {
        TestSupport::OutputCapture capture(STDERR_FILENO);
        connected = client.connectTo(Host);
        text = capture.text();
    }
    QVERIFY(!connected);
    QCOMPARE(text, failureText(ECONNREFUSED));
    QCOMPARE(client.connectError(), win::WSAECONNREFUSED);
}

void NetClientTest::secondAttemptAfterFailureConnects()
{
    const int descriptors = TestSupport::openDescriptorCount();
    NetClient client;
    win::posix::resetCallCounts();
    {
        TestSupport::OutputCapture quiet(STDERR_FILENO);
        QVERIFY(!client.connectTo(Host));
    }
    QCOMPARE(callCount("socket"), 1L);
    QCOMPARE(callCount("closesocket"), 1L); // the failed attempt's socket goes at once
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);

    Listener device;
    QVERIFY(device.isListening());
    QVERIFY(client.connectTo(Host));
    QCOMPARE(callCount("socket"), 2L);
    Stream peer(device.accept(5000));
    QVERIFY(peer.isOpen());
    QCOMPARE(client.send("ok", 2), 2);
    QCOMPARE(peer.read(2, 5000), QByteArray("ok"));
}

void NetClientTest::failedStartupGivesItsOwnReason()
{
    NetClient client;
    {
        TestSupport::OutputCapture quiet(STDERR_FILENO);
        QVERIFY(!client.connectTo(Host)); // nothing listens
    }
    QCOMPARE(client.connectError(), win::WSAECONNREFUSED);
    client.close(); // gives its start-up back, so the next connect starts WinSock again

    constexpr int notReady = 10091; // WSASYSNOTREADY
    win::posix::failStartups(notReady);
    bool connected = true;
    QByteArray printed;
    {
        TestSupport::OutputCapture out(STDOUT_FILENO);
        connected = client.connectTo(Host);
        printed = out.text();
    }
    win::posix::failStartups(0);
    QVERIFY(!connected);
    QCOMPARE(printed, QByteArray("WSAStartup failed with error 10091\n"));
    QCOMPARE(client.connectError(), notReady);
}

void NetClientTest::notConnectedMakesNoSocketCall()
{
    char buffer[100];
    NetClient client;

    win::posix::resetCallCounts();
    QCOMPARE(client.send("x", 1), 0);
    QCOMPARE(client.recv(buffer, 100), 0);
    QCOMPARE(win::posix::totalCallCount(), 0L);

    {
        TestSupport::OutputCapture quiet(STDERR_FILENO);
        QVERIFY(!client.connectTo(Host));
    }
    win::posix::resetCallCounts();
    QCOMPARE(client.send("x", 1), 0);
    QCOMPARE(client.recv(buffer, 100), 0);
    QCOMPARE(win::posix::totalCallCount(), 0L);

    Listener device;
    QVERIFY(client.connectTo(Host));
    QVERIFY(client.close());
    win::posix::resetCallCounts();
    QCOMPARE(client.send("x", 1), 0);
    QCOMPARE(client.recv(buffer, 100), 0);
    QCOMPARE(win::posix::totalCallCount(), 0L);
}

void NetClientTest::hostNumberOutsideTheSubnetIsRefused()
{
    NetClient client;
    for (int host : {-1, 256, 100000}) {
        win::posix::resetCallCounts();
        QVERIFY(!client.connectTo(host));
        QCOMPARE(callCount("socket"), 0L);
        QCOMPARE(callCount("connect"), 0L);
    }
}

void NetClientTest::sendAfterPeerClosedKeepsTheProcess()
{
    Listener device;
    QVERIFY(device.isListening());
    NetClient client;
    QVERIFY(client.connectTo(Host));
    const int peer = device.accept(5000);
    QVERIFY(peer >= 0);
    ::close(peer);

    // The first send may still be taken; once the peer's reset is in, a
    // send fails, and the process lives on to see it.
    QVERIFY(QTest::qWaitFor([&] { return client.send("\x2E", 1) == -1; }, 5000));
    QCOMPARE(client.send("\x2E", 1), -1);
    char buffer[100];
    QVERIFY(client.recv(buffer, 100) <= 0);
}

void NetClientTest::closeWithoutConnectLeavesDescriptorZero()
{
    QVERIFY(::fcntl(0, F_GETFD) >= 0);
    {
        NetClient client;
        win::posix::resetCallCounts();
        QVERIFY(client.close());
        QCOMPARE(callCount("closesocket"), 0L);
        QCOMPARE(callCount("Sleep"), 1L);
        QCOMPARE(callCount("WSACleanup"), 1L);
        QVERIFY(client.close());
    } // and once more on destruction
    QVERIFY(::fcntl(0, F_GETFD) >= 0);
}

void NetClientTest::noDescriptorLeakOverManyConnects()
{
    Listener device(Host, DevicePort, 128);
    QVERIFY(device.isListening());
    const int descriptors = TestSupport::openDescriptorCount();
    QVERIFY(descriptors > 0);
    {
        NetClient client;
        for (int i = 0; i < 100; ++i) {
            QVERIFY(client.connectTo(Host));
            const int peer = device.accept(5000);
            QVERIFY(peer >= 0);
            ::close(peer);
            QVERIFY(client.close());
        }
        QCOMPARE(TestSupport::openDescriptorCount(), descriptors);

        // Attempts without a close in between do not pile up sockets either.
        for (int i = 0; i < 10; ++i) {
            QVERIFY(client.connectTo(Host));
            const int peer = device.accept(5000);
            QVERIFY(peer >= 0);
            ::close(peer);
        }
        QCOMPARE(TestSupport::openDescriptorCount(), descriptors + 1);
    }
    QCOMPARE(TestSupport::openDescriptorCount(), descriptors);
}

void NetClientTest::connectGivesUpAfterItsBound()
{
    // A device whose accept queue is full: the kernel drops further SYNs,
    // so a connect hears nothing back, as from a host that is not there.
    Listener device(Host, DevicePort, 0);
    QVERIFY(device.isListening());
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = deviceAddress();
    QCOMPARE(::connect(filler, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);

    const int previous = win::posix::setConnectTimeoutMs(300);
    NetClient client;
    QByteArray text;
    bool connected = true;
    {
        TestSupport::OutputCapture capture(STDERR_FILENO);
        connected = client.connectTo(Host);
        text = capture.text();
    }
    win::posix::setConnectTimeoutMs(previous);
    ::close(filler);
    QVERIFY(!connected);
    QCOMPARE(text, failureText(ETIMEDOUT));
    QCOMPARE(client.connectError(), win::WSAETIMEDOUT);
}

int main(int argc, char** argv)
{
    return TestSupport::execIsolated<QCoreApplication, NetClientTest>(argc, argv, [](QString* why) {
        return TestSupport::enterPrivateNetwork(why, Host);
    });
}
#include "tst_netclient.moc"
