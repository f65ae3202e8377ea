// The real window against the device simulator over TCP, inside a network
// namespace of this test's own with 192.168.1.154 on its loopback device.
// Nothing here can reach a real network: without the namespace it skips.

#include "windowsupport.h"

#include <QApplication>

#include <unistd.h>

using namespace TestSupport;

class NetworkLinkTest : public TestSupport::WindowTest
{
    Q_OBJECT

public:
    using TestSupport::WindowTest::WindowTest;

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void modeSwitchTexts();
    void connectExchangeAndClose();
    void deviceClosesTheConnection();
    void refusedConnectStaysClosed();

private:
    void switchToNetwork();

    Child* sim = nullptr;
};

void NetworkLinkTest::initTestCase()
{
    if (!isolated)
        QSKIP(qPrintable(QStringLiteral("no private network namespace, so no network test: ") + whyNot));
}

void NetworkLinkTest::init()
{
    makeWindow();
}

void NetworkLinkTest::cleanup()
{
    dropWindow();
    delete sim;
    sim = nullptr;
}

void NetworkLinkTest::switchToNetwork()
{
    QTest::mouseClick(probe->ui().mode, Qt::LeftButton);
}

void NetworkLinkTest::modeSwitchTexts()
{
    switchToNetwork();
    QCOMPARE(probe->ui().mode->text(), QStringLiteral("网络"));
    QCOMPARE(probe->ui().open->text(), QStringLiteral("连接"));
    QCOMPARE(probe->ui().portBox->minimum(), 1);
    QCOMPARE(probe->ui().portBox->maximum(), 255);
    QCOMPARE(probe->ui().portBox->value(), 154);
    QTest::mouseClick(probe->ui().mode, Qt::LeftButton);
    QCOMPARE(probe->ui().mode->text(), QStringLiteral("串口"));
    QCOMPARE(probe->ui().open->text(), QStringLiteral("打开"));
    QCOMPARE(probe->ui().portBox->maximum(), 9);
    QCOMPARE(probe->ui().portBox->value(), 1);
}

void NetworkLinkTest::connectExchangeAndClose()
{
    sim = new Child;
    QVERIFY2(sim->startReady({QStringLiteral("--tcp"), QStringLiteral("192.168.1.154:4500")}), qPrintable(sim->describe()));
    switchToNetwork();
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
    QCOMPARE(probe->ui().open->text(), QStringLiteral("断开"));
    QVERIFY(!probe->ui().mode->isEnabled());
    QTRY_COMPARE(viewText(*window).split(QLatin1Char('\n')).value(0),
                 QStringLiteral("连接ip地址:192.168.1.154  端口:4500"));
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^connected"))).hasMatch());

    // Device to tool: shown, logged, and answered over the connection.
    sim->command("send 01 0A FF");
    QTRY_VERIFY2(viewText(*window).contains(QStringLiteral("  2E 01 02 0A FF F3 [2]")), qPrintable(viewText(*window)));
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^reply FF$"))).hasMatch());
    sim->command("bad 01 0A FF");
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^reply F0$"))).hasMatch());
    QTRY_COMPARE(logRows().size(), 1);

    // Tool to device.
    typeAndSend(*probe, 0, QStringLiteral("10"), {QStringLiteral("2E"), QStringLiteral("F0")});
    const int sum = 0xFF & ~(0x10 + 2 + 0x2E + 0xF0);
    const QString frame = QStringLiteral("  2E 10 02 2E F0 %1 [").arg(sum, 2, 16, QLatin1Char('0')).toUpper();
    QVERIFY(sim->waitLine(QRegularExpression(QRegularExpression::escape(frame))).hasMatch());
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:ff"));

    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(!probe->linkOpen());
    QCOMPARE(probe->ui().open->text(), QStringLiteral("连接"));
    QVERIFY(probe->ui().mode->isEnabled());
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^disconnected"))).hasMatch());
}

void NetworkLinkTest::deviceClosesTheConnection()
{
    sim = new Child;
    QVERIFY2(sim->startReady({QStringLiteral("--tcp"), QStringLiteral("192.168.1.154:4500")}), qPrintable(sim->describe()));
    switchToNetwork();
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^connected"))).hasMatch());

    OutputCapture out;
    OutputCapture err(STDERR_FILENO);
    sim->command("send 01 0A FF");
    sim->command("close");
    // The frame sent before the close is shown and logged, the loss is said
    // once and the link closed as a click would close it.
    checkLinkLost(*probe, *window, QStringLiteral("连接已断开: 设备关闭了连接"), err,
                  "korvane: connection to 192.168.1.154:4500 lost: device closed the connection; the link is closed\n");
    QCOMPARE(out.text().count("Korvane::TimerRead_IRQ no data\n"), 1);
    QCOMPARE(logRows().size(), 1);
}

void NetworkLinkTest::refusedConnectStaysClosed()
{
    switchToNetwork(); // nothing listens on 192.168.1.154:4500 now
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(!probe->linkOpen());
    QCOMPARE(probe->ui().open->text(), QStringLiteral("连接"));
    QVERIFY(probe->ui().mode->isEnabled());
    QVERIFY(!probe->readTimer()->isActive());
    QTRY_COMPARE(viewText(*window).split(QLatin1Char('\n')).value(0),
                 QStringLiteral("连接ip地址:192.168.1.154  端口:4500"));
    QCOMPARE(viewText(*window).split(QLatin1Char('\n')).value(1), QStringLiteral("连接失败: 设备拒绝连接"));

    // No route to 192.168.1.155 in this namespace.
    QVERIFY(!openLink(*probe, true, 155));
    QTRY_COMPARE(viewText(*window).split(QLatin1Char('\n')).mid(2, 2),
                 QStringList({QStringLiteral("连接ip地址:192.168.1.155  端口:4500"), QStringLiteral("连接失败: 网络不可达")}));
}

int main(int argc, char** argv)
{
    // The simulator, started later, shares the namespace.
    return TestSupport::execIsolated<QApplication, NetworkLinkTest>(argc, argv, [](QString* why) {
        return TestSupport::enterPrivateNetwork(why);
    });
}
#include "tst_network_link.moc"
