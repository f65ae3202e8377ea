// The real window against the device simulator on a pseudo-terminal linked
// as COM3: opening, frames in both directions, replies, and closing; a
// session's log replayed into a second run; and the simulator on one end of
// a linked pair of terminals, the way it plays a device on a real line.

#include "e2ehelpers.h"
#include "simprocess.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace E2e;

class SerialLinkTest : public QObject
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
    void replayedLogGivesTheSameRows();
    void deviceOnLinkedTerminals();

private:
    bool openCom3();

    TestSupport::PortsDir* ports = nullptr;
    QTemporaryDir* work = nullptr;
    SimProcess* sim = nullptr;
    Korvane* window = nullptr;
    KorvaneProbe* probe = nullptr;
};

void SerialLinkTest::init()
{
    ports = new TestSupport::PortsDir;
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
    QVERIFY(QDir::setCurrent(work->path()));
    sim = new SimProcess;
    QVERIFY2(sim->start({QStringLiteral("--serial"), QStringLiteral("COM3")}), qPrintable(sim->errorText()));
    window = new Korvane;
    window->show();
    probe = new KorvaneProbe(*window);
}

void SerialLinkTest::cleanup()
{
    delete probe;
    delete window;
    delete sim;
    delete work;
    delete ports;
    probe = nullptr;
    window = nullptr;
    sim = nullptr;
    work = nullptr;
    ports = nullptr;
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
    sim->command(QStringLiteral("send 01 0A FF"));
    QVERIFY(!sim->waitForLine(QRegularExpression(QStringLiteral("^reply FF$"))).isEmpty());
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("  2E 01 02 0A FF F3 [2]")));
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d,\\d{3},2E,01,02,0A,FF,F3,-,\\[2\\]$"))
                 .match(logRows().at(0))
                 .hasMatch(),
             qPrintable(logRows().at(0)));
    QCOMPARE(probe->rxSlot(), 1);

    sim->command(QStringLiteral("bad 01 0A FF"));
    QVERIFY(!sim->waitForLine(QRegularExpression(QStringLiteral("^reply F0$"))).isEmpty());
    QCOMPARE(probe->rxSlot(), 1);
    QCOMPARE(logRows().size(), 1);
    QTRY_COMPARE(viewText(*window).count(QStringLiteral("2E 01 02")), 1);
}

void SerialLinkTest::splitFramesAndBursts()
{
    QVERIFY(openCom3());
    sim->command(QStringLiteral("raw 2E 01 02"));
    QTRY_COMPARE(probe->rxState(), 3); // waiting for data: the first half was polled
    sim->command(QStringLiteral("raw 0A FF F3"));
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY(logRows().at(0).endsWith(QStringLiteral(",2E,01,02,0A,FF,F3,-,[2]")));

    // Fifty frames of six bytes in one write: more than one poll's worth.
    QStringList burst;
    for (int i = 0; i < 50; ++i) {
        const int sum = 0xFF & ~(0x10 + 2 + i + 0x2E);
        burst << QStringLiteral("2E 10 02 %1 2E %2").arg(i, 2, 16, QLatin1Char('0')).arg(sum, 2, 16, QLatin1Char('0'));
    }
    sim->command(QStringLiteral("raw ") + burst.join(QLatin1Char(' ')));
    QTRY_COMPARE_WITH_TIMEOUT(logRows().size(), 51, 10000);
    const QStringList rows = logRows();
    const auto hex2 = [](int b) { return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper(); };
    for (int i = 0; i < 50; ++i) {
        const QString expected = QStringLiteral(",2E,10,02,%1,2E,%2,-,[%3]")
                                     .arg(hex2(i), hex2(0xFF & ~(0x10 + 2 + i + 0x2E)))
                                     .arg(i + 3);
        QVERIFY2(rows[i + 1].endsWith(expected), qPrintable(rows[i + 1] + QStringLiteral(" vs ") + expected));
    }
    QTRY_COMPARE(sim->countMatching(QRegularExpression(QStringLiteral("^reply FF$"))), 51);
}

void SerialLinkTest::deviceRepliesShowInAckLabel()
{
    QVERIFY(openCom3());
    sim->command(QStringLiteral("ack"));
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:ff"));
    sim->command(QStringLiteral("nak"));
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
    const QString line = sim->waitForLine(QRegularExpression(QRegularExpression::escape(frame)));
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

namespace {

// The logged frames from start byte to checksum, without times and indices.
QStringList frameColumns(const QStringList& rows)
{
    QStringList frames;
    for (const QString& row : rows)
        frames << row.mid(row.indexOf(QStringLiteral(",2E,"))).section(QStringLiteral(",-,"), 0, 0);
    return frames;
}

} // namespace

void SerialLinkTest::replayedLogGivesTheSameRows()
{
    QVERIFY(openCom3());
    sim->command(QStringLiteral("send 01 0A FF"));
    sim->command(QStringLiteral("raw 00 11 2E 05"));
    sim->command(QStringLiteral("raw 00 FA"));
    sim->command(QStringLiteral("bad 02 33"));
    sim->command(QStringLiteral("send 7F 2E FF F0 01 02 03 04 05 06 07 08 09 0A"));
    QTRY_COMPARE(logRows().size(), 3);
    const QStringList first = frameColumns(logRows());

    // The second run plays that log, with a row added that does not parse.
    QVERIFY(QFile::copy(QStringLiteral("Korvane_data.csv"), QStringLiteral("session.csv")));
    QFile session(QStringLiteral("session.csv"));
    QVERIFY(session.open(QIODevice::Append));
    session.write("12:00:00,000,2E,01,05,0A,-,[9]\n");
    session.close();
    delete probe;
    delete window;
    delete sim;
    sim = new SimProcess;
    QVERIFY2(sim->start({QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--replay"),
                         work->filePath(QStringLiteral("session.csv")), QStringLiteral("--stay")}),
             qPrintable(sim->errorText()));
    window = new Korvane;
    window->show();
    probe = new KorvaneProbe(*window);
    QVERIFY(openCom3());
    QTRY_COMPARE(logRows().size(), 3);
    QCOMPARE(frameColumns(logRows()), first);
    sim->command(QStringLiteral("stats"));
    QVERIFY(!sim->waitForLine(QRegularExpression(QStringLiteral(" replay_rows=3 skipped_rows=1$"))).isEmpty());
}

void SerialLinkTest::deviceOnLinkedTerminals()
{
    if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
        QSKIP("socat is missing (scripts/install-deps.sh installs it)");
    // socat stands in for two USB adapters wired null-modem.
    const QString deviceEnd = work->filePath(QStringLiteral("device"));
    const QString toolEnd = work->filePath(QStringLiteral("tool"));
    QProcess socat;
    const auto plugIn = [&] {
        socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + deviceEnd,
                                              QStringLiteral("pty,raw,echo=0,link=") + toolEnd});
        QVERIFY(socat.waitForStarted());
        QTRY_VERIFY(QFileInfo::exists(deviceEnd) && QFileInfo::exists(toolEnd));
    };
    plugIn();
    SimProcess device;
    QVERIFY2(device.start({QStringLiteral("--device"), deviceEnd}), qPrintable(device.errorText()));
    QVERIFY(ports->link(QStringLiteral("COM4"), toolEnd));
    probe->ui().portBox->setValue(4);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
    SimProcess rival; // the tool holds its end exclusively
    QVERIFY(!rival.start({QStringLiteral("--device"), toolEnd}));
    QCOMPARE(rival.process().exitCode(), 2);
    device.command(QStringLiteral("send 01 0A FF"));
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY(!device.waitForLine(QRegularExpression(QStringLiteral("^reply FF$"))).isEmpty());

    // Unplugged and plugged in again: the simulator says so and carries on.
    socat.terminate();
    QVERIFY(socat.waitForFinished());
    QVERIFY(!device.waitForLine(QRegularExpression(QStringLiteral("^lost "))).isEmpty());
    plugIn();
    QVERIFY(!device.waitForLine(QRegularExpression(QStringLiteral("^back "))).isEmpty());
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
    typeAndSend(*probe, 0, QStringLiteral("02"), {QStringLiteral("33")});
    QVERIFY(!device.waitForLine(QRegularExpression(QStringLiteral("  2E 02 01 33 C9 \\[1\\]$"))).isEmpty());
    QCOMPARE(device.countMatching(QRegularExpression(QStringLiteral("^lost "))), 1);
    socat.terminate();
    socat.waitForFinished();
}

QTEST_MAIN(SerialLinkTest)
#include "tst_serial_link.moc"
