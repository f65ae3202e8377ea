// The real window against the device simulator on a pseudo-terminal linked
// as COM3: opening, frames in both directions, replies, and closing.

#include "windowsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>

using namespace TestSupport;

class SerialLinkTest : public TestSupport::WindowTest
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void openShowsStatusAndEnablesPanels();
    void goodAndBadFramesFromTheDevice();
    void splitFramesAndBursts();
    void deviceRepliesShowInAckLabel();
    void panelSendReachesDevice();
    void closeDisablesPanels();
    void failedOpenStaysClosed();

private:
    bool openCom3();

    Child* sim = nullptr;
};

void SerialLinkTest::init()
{
    makeWindow();
    sim = new Child;
    QVERIFY2(sim->startReady({QStringLiteral("--serial"), QStringLiteral("COM3")}), qPrintable(sim->describe()));
}

void SerialLinkTest::cleanup()
{
    dropWindow();
    delete sim;
    sim = nullptr;
}

bool SerialLinkTest::openCom3()
{
    probe->ui().portBox->setValue(3);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    return probe->linkOpen();
}

void SerialLinkTest::openShowsStatusAndEnablesPanels()
{
    QVERIFY(openCom3());
    QCOMPARE(probe->ui().open->text(), QStringLiteral("关闭"));
    QVERIFY(!probe->ui().mode->isEnabled());
    QVERIFY(probe->readTimer()->isActive());
    QVERIFY(panelButton(*probe, 0)->isEnabled());
    QTRY_COMPARE(viewText(*window).split(QLatin1Char('\n')).value(0), QStringLiteral("打开COM3"));
}

void SerialLinkTest::goodAndBadFramesFromTheDevice()
{
    QVERIFY(openCom3());
    sim->command("send 01 0A FF");
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^reply FF$"))).hasMatch());
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("  2E 01 02 0A FF F3 [2]")));
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,\\d{3},2E,01,02,0A,FF,F3,-,\\[2\\]$"))
                 .match(logRows().at(0))
                 .hasMatch(),
             qPrintable(logRows().at(0)));
    QCOMPARE(probe->rxSlot(), 1);

    sim->command("bad 01 0A FF");
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral("^reply F0$"))).hasMatch());
    QCOMPARE(probe->rxSlot(), 1);
    QCOMPARE(logRows().size(), 1);
    QTRY_COMPARE(viewText(*window).count(QStringLiteral("2E 01 02")), 1);
}

void SerialLinkTest::splitFramesAndBursts()
{
    QVERIFY(openCom3());
    sim->command("raw 2E 01 02");
    QTRY_COMPARE(probe->rxState(), 3); // waiting for data: the first half was polled
    sim->command("raw 0A FF F3");
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY(logRows().at(0).endsWith(QStringLiteral(",2E,01,02,0A,FF,F3,-,[2]")));

    // Fifty frames of six bytes in one write: more than one poll's worth.
    QStringList burst;
    for (int i = 0; i < 50; ++i) {
        const int sum = 0xFF & ~(0x10 + 2 + i + 0x2E);
        burst << QStringLiteral("2E 10 02 %1 2E %2").arg(i, 2, 16, QLatin1Char('0')).arg(sum, 2, 16, QLatin1Char('0'));
    }
    sim->command("raw " + burst.join(QLatin1Char(' ')).toLatin1());
    QTRY_COMPARE_WITH_TIMEOUT(logRows().size(), 51, 10000);
    const QStringList rows = logRows();
    const auto hex2 = [](int b) { return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper(); };
    for (int i = 0; i < 50; ++i) {
        const QString expected = QStringLiteral(",2E,10,02,%1,2E,%2,-,[%3]")
                                     .arg(hex2(i), hex2(0xFF & ~(0x10 + 2 + i + 0x2E)))
                                     .arg(i + 3);
        QVERIFY2(rows[i + 1].endsWith(expected), qPrintable(rows[i + 1] + QStringLiteral(" vs ") + expected));
    }
    QTRY_COMPARE(sim->lines().filter(QRegularExpression(QStringLiteral("^reply FF$"))).size(), 51);
}

void SerialLinkTest::deviceRepliesShowInAckLabel()
{
    QVERIFY(openCom3());
    sim->command("ack");
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:ff"));
    sim->command("nak");
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:f0"));
}

void SerialLinkTest::panelSendReachesDevice()
{
    QVERIFY(openCom3());
    probe->ui().ack_label->setText(QStringLiteral("ack:f0"));
    typeAndSend(*probe, 2, QStringLiteral("7F"), {QStringLiteral("0A"), QStringLiteral("FF"), QStringLiteral("2E")});
    QVERIFY(probe->ui().ack_label->text().isEmpty()); // cleared by the send
    const int sum = 0xFF & ~(0x7F + 3 + 0x0A + 0xFF + 0x2E);
    const QString frame = QStringLiteral("  2E 7F 03 0A FF 2E %1 [").arg(sum, 2, 16, QLatin1Char('0')).toUpper();
    const QString line = sim->waitLine(QRegularExpression(QRegularExpression::escape(frame))).captured(0);
    QVERIFY2(!line.isEmpty(), qPrintable(frame));
    QVERIFY(!line.endsWith(QStringLiteral(" bad")));
    // The simulator answers with ACK, which the tool shows.
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:ff"));
}

void SerialLinkTest::closeDisablesPanels()
{
    QVERIFY(openCom3());
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(!probe->linkOpen());
    QCOMPARE(probe->ui().open->text(), QStringLiteral("打开"));
    QVERIFY(probe->ui().mode->isEnabled());
    QVERIFY(!probe->readTimer()->isActive());
    for (int i = 0; i < Korvane::PanelCount; ++i)
        QVERIFY(!panelButton(*probe, i)->isEnabled());
    // Closing adds no status line.
    QTRY_COMPARE(viewText(*window).trimmed(), QStringLiteral("打开COM3"));

    // And it opens again.
    QVERIFY(openCom3());
}

void SerialLinkTest::failedOpenStaysClosed()
{
    QVERIFY(ports->link(QStringLiteral("COM5"), QStringLiteral("/nonexistent/korvane-device")));
    probe->ui().portBox->setValue(5);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(!probe->linkOpen());
    QCOMPARE(probe->ui().open->text(), QStringLiteral("打开"));
    QVERIFY(probe->ui().mode->isEnabled());
    QVERIFY(probe->ui().open->isEnabled());
    QVERIFY(!probe->readTimer()->isActive());
    QVERIFY(!panelButton(*probe, 0)->isEnabled());
    QTRY_COMPARE(viewText(*window).split(QLatin1Char('\n')).value(0), QStringLiteral("打开COM5"));
}

QTEST_MAIN(SerialLinkTest)
#include "tst_serial_link.moc"
