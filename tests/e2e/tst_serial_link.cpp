// The real window against the device simulator on a pseudo-terminal linked
// as COM3: opening, frames in both directions, replies, and closing; the
// reason a failed open gives, odd entries in the ports folder and one that
// cannot be searched; in a mount namespace of this test's own with private
// /dev and /sys, adapters plugged in under /dev/serial getting their port
// numbers, identical ones by their USB sockets, and each one number only
// when several instances number them at once; a session's log replayed
// into a second run; and the simulator on one end of a linked pair of
// terminals, the way it plays a device on a real line; a COMn mapped to the
// address of Debian's ser2net (RFC 2217) in front of the simulator's
// terminal, or of the simulator on raw TCP, opened, answered and lost.

#include "windowsupport.h"

#include "portnumbering.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

void writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// Takes away this thread's right to pass over file permissions, so that an
// open meets them as a normal user's would; given back at the end.
class NoFileOverride
{
public:
    NoFileOverride()
    {
        ok = ::syscall(SYS_capget, &header, saved) == 0;
        __user_cap_data_struct less[2] = {saved[0], saved[1]};
        less[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ok = ok && ::syscall(SYS_capset, &header, less) == 0;
    }
    ~NoFileOverride()
    {
        if (ok)
            ::syscall(SYS_capset, &header, saved);
    }

private:
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    bool ok = false;
};

} // namespace

class SerialLinkTest : public TestSupport::WindowTest
{
    Q_OBJECT

public:
    using TestSupport::WindowTest::WindowTest;

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
    void failedOpenSaysWhy();
    void permissionDeniedNamesTheGroup();
    void oddEntriesInThePortsFolder();
    void unsearchablePortsFolderStandsForNoDevice();
    void identicalAdaptersNumberedBySocket();
    void simultaneousInstancesGiveOneNumber();
    void adaptersKeepTheirNumbers();
    void replayedLogGivesTheSameRows();
    void deviceOnLinkedTerminals();
    void mappedPortAnswersAndIsLost_data();
    void mappedPortAnswersAndIsLost();
    void mappedPortFailsAsItsAddress_data();
    void mappedPortFailsAsItsAddress();
    void mappedPortSaysTheServersWarnings_data();
    void mappedPortSaysTheServersWarnings();

private:
    bool openCom3();
    QStringList clickOpen(int port);
    QString toolTip(int port);
    bool plug(const QString& id, const QString& device, const QString& folder = QStringLiteral("by-id"));
    QString linkOf(int port) const;
    QStringList numbering() const;

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

// The status lines that one click on "打开" adds, with the port at `port`.
QStringList SerialLinkTest::clickOpen(int port)
{
    probe->ui().clearrx->click();
    probe->ui().portBox->setValue(port);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    const QString status = QStringLiteral("打开COM%1").arg(port);
    if (!QTest::qWaitFor([&] { return viewText(*window).contains(status); }))
        return {};
    return viewText(*window).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString SerialLinkTest::toolTip(int port)
{
    probe->ui().portBox->setValue(port);
    QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), probe->ui().portBox->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(probe->ui().portBox, &hover);
    return probe->ui().portBox->toolTip();
}

bool SerialLinkTest::plug(const QString& id, const QString& device, const QString& folder)
{
    return QFile::link(device, QStringLiteral("/dev/serial/%1/%2").arg(folder, id));
}

QString SerialLinkTest::linkOf(int port) const
{
    return QFile::symLinkTarget(ports->portsPath() + QStringLiteral("/COM%1").arg(port));
}

QStringList SerialLinkTest::numbering() const
{
    QStringList links;
    for (int n = 1; n <= 9; ++n)
        links << linkOf(n);
    return links;
}

namespace {

// What sysfs tells of a USB serial adapter behind the terminal: the USB
// device in `socket` (such as "1-2") with its vendor, product and, unless
// empty, serial number, and the terminal on its first interface.
bool usbInSysfs(const TestSupport::Pty& pty, const QString& socket, const QByteArray& vendor,
                const QByteArray& product, const QByteArray& serial)
{
    struct stat st;
    if (::stat(QFile::encodeName(pty.slavePath()).constData(), &st) != 0)
        return false;
    const QString device = QStringLiteral("/sys/dev/char/usb/") + socket;
    const QString tty = socket + QStringLiteral(":1.0/ttyUSB/tty/tty");
    if (!QDir(device).mkpath(tty))
        return false;
    const auto attribute = [&](const char* name, const QByteArray& value) {
        QFile file(device + QLatin1Char('/') + QLatin1String(name));
        return value.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(value + '\n') > 0);
    };
    return attribute("idVendor", vendor) && attribute("idProduct", product) && attribute("serial", serial)
        && QFile::link(QStringLiteral("usb/%1/%2").arg(socket, tty),
                       QStringLiteral("/sys/dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
}

// Empties a folder that stands for part of /dev or /sys.
void unplugAll(const QString& folder)
{
    for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

} // namespace

void SerialLinkTest::failedOpenSaysWhy()
{
    TestSupport::Pty held;
    QVERIFY(held.isValid());
    SerialPort otherProgram;
    QCOMPARE(otherProgram.open(held.slavePath().toStdU16String()), 1);
    const QString plain = work->filePath(QStringLiteral("plain-file"));
    writeFile(plain, "not a serial port");
    QVERIFY(ports->link(QStringLiteral("COM4"), QStringLiteral("/nonexistent/korvane-device")));
    QVERIFY(ports->link(QStringLiteral("COM5"), plain));
    QVERIFY(ports->link(QStringLiteral("COM6"), held.slavePath()));
    // A name too long for the system, in a folder whose name holds a "%1".
    QVERIFY(QDir(work->path()).mkdir(QStringLiteral("odd%1dir")));
    const QString odd = work->filePath(QStringLiteral("odd%1dir/")) + QString(300, QLatin1Char('x'));
    QVERIFY(ports->link(QStringLiteral("COM2"), odd));

    TestSupport::OutputCapture err(STDERR_FILENO);
    QCOMPARE(clickOpen(2), QStringList({QStringLiteral("打开COM2"), QStringLiteral("打开失败: %1 (错误 31)").arg(odd)}));
    QCOMPARE(clickOpen(4), QStringList({QStringLiteral("打开COM4"),
                                        QStringLiteral("打开失败: 没有设备 /nonexistent/korvane-device")}));
    QCOMPARE(clickOpen(5), QStringList({QStringLiteral("打开COM5"), QStringLiteral("打开失败: %1 不是串口设备").arg(plain)}));
    QCOMPARE(clickOpen(6), QStringList({QStringLiteral("打开COM6"),
                                        QStringLiteral("打开失败: %1 已被其他程序占用").arg(held.slavePath())}));
    QVERIFY(!probe->linkOpen());
    const QByteArray console = err.text();
    QVERIFY2(console.contains("korvane: cannot open COM4 (/nonexistent/korvane-device): no such device\n"), console);
    QVERIFY2(console.contains("korvane: cannot open COM5 (" + plain.toLocal8Bit() + "): not a serial device\n"), console);
    QVERIFY2(console.contains("korvane: cannot open COM6 (" + held.slavePath().toLocal8Bit() + "): in use by another program\n"),
             console);
}

void SerialLinkTest::permissionDeniedNamesTheGroup()
{
    const QString locked = work->filePath(QStringLiteral("locked-port"));
    writeFile(locked, {});
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions()));
    QVERIFY(ports->link(QStringLiteral("COM4"), locked));
    NoFileOverride asUser;
    const int probeFd = ::open(QFile::encodeName(locked).constData(), O_RDWR | O_CLOEXEC);
    if (probeFd >= 0) {
        ::close(probeFd);
        QSKIP("this process may open any file, so no open here is ever refused");
    }
    const QString group = QFileInfo(locked).group();
    TestSupport::OutputCapture err(STDERR_FILENO);
    QCOMPARE(clickOpen(4), QStringList({QStringLiteral("打开COM4"),
                                        QStringLiteral("打开失败: 没有权限访问 %1, 请把用户加入 %2 组后重新登录").arg(locked, group)}));
    QVERIFY2(err.text().contains("): permission denied; add your user to the group " + group.toLocal8Bit()), err.text());
}

void SerialLinkTest::oddEntriesInThePortsFolder()
{
    const QString folderEntry = ports->portsPath() + QStringLiteral("/COM1");
    const QString loop = ports->portsPath() + QStringLiteral("/COM2");
    QVERIFY(QDir().mkdir(folderEntry));
    QVERIFY(ports->link(QStringLiteral("COM2"), QStringLiteral("COM2")));

    TestSupport::OutputCapture err(STDERR_FILENO);
    QCOMPARE(clickOpen(1), QStringList({QStringLiteral("打开COM1"), QStringLiteral("打开失败: %1 不是串口设备").arg(folderEntry)}));
    QCOMPARE(clickOpen(2), QStringList({QStringLiteral("打开COM2"), QStringLiteral("打开失败: %1 链接循环").arg(loop)}));
    QVERIFY2(err.text().contains("korvane: cannot open COM2 (" + QFile::encodeName(loop) + "): link loops\n"), err.text());
    QCOMPARE(toolTip(1), QStringLiteral("COM1: no device (%1 is not a serial device)").arg(folderEntry));
    QCOMPARE(toolTip(2), QStringLiteral("COM2: no device (%1: link loops)").arg(loop));
}

void SerialLinkTest::unsearchablePortsFolderStandsForNoDevice()
{
    if (!isolated) // elsewhere the fall-back this guards against could open a real /dev/ttyS1
        QSKIP(qPrintable(QStringLiteral("no private /dev: ") + whyNot));
    const QString folder = ports->portsPath();
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner)); // no search
    const auto searchable = qScopeGuard([&] { QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner); });
    NoFileOverride asUser;
    struct stat st;
    if (::lstat(QFile::encodeName(folder + QStringLiteral("/COM3")).constData(), &st) == 0)
        QSKIP("this process may search any folder");

    TestSupport::OutputCapture err(STDERR_FILENO);
    const QStringList failed = {QStringLiteral("打开COM2"), QStringLiteral("打开失败: 没有权限访问 %1/COM2").arg(folder)};
    QCOMPARE(clickOpen(2), failed);
    QCOMPARE(clickOpen(2), failed);
    QCOMPARE(err.text().count("korvane: cannot search the ports folder " + QFile::encodeName(folder)), 1);
    QCOMPARE(toolTip(2), QStringLiteral("COM2: no device (%1/COM2: Permission denied)").arg(folder));
}

void SerialLinkTest::identicalAdaptersNumberedBySocket()
{
    if (!isolated)
        QSKIP(qPrintable(QStringLiteral("no private /dev, so no adapters can be plugged in: ") + whyNot));
    const auto unplug = qScopeGuard([] {
        for (const char* folder : {"/dev/serial/by-id", "/dev/serial/by-path", "/sys/dev/char"})
            unplugAll(QLatin1String(folder));
    });
    // Two CH340s without a serial number, in sockets 1 and 2 of the hub,
    // behind the one by-id name they share: udev points it at the later one.
    TestSupport::Pty first, second, ftdi;
    QVERIFY(first.isValid() && second.isValid() && ftdi.isValid());
    const QString shared = QStringLiteral("usb-1a86_USB_Serial-if00-port0");
    const QString socket1 = QStringLiteral("pci-0000:00:14.0-usb-0:1:1.0-port0");
    const QString socket2 = QStringLiteral("pci-0000:00:14.0-usb-0:2:1.0-port0");
    QVERIFY(usbInSysfs(first, QStringLiteral("1-1"), "1a86", "7523", {}));
    QVERIFY(usbInSysfs(second, QStringLiteral("1-2"), "1a86", "7523", {}));
    QVERIFY(plug(socket1, first.slavePath(), QStringLiteral("by-path")) && plug(socket2, second.slavePath(), QStringLiteral("by-path")));
    QVERIFY(plug(shared, second.slavePath()));
    // An adapter with a serial number of its own keeps its by-id name.
    const QString ftdiId = QStringLiteral("usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    QVERIFY(usbInSysfs(ftdi, QStringLiteral("1-3"), "0403", "6001", "A1B2C3"));
    QVERIFY(plug(ftdiId, ftdi.slavePath()) && plug(QStringLiteral("pci-0000:00:14.0-usb-0:3:1.0-port0"), ftdi.slavePath(), QStringLiteral("by-path")));

    PortNumbering::assign();
    const QStringList expected = {QStringLiteral("/dev/serial/by-id/") + ftdiId, QStringLiteral("/dev/serial/by-path/") + socket1,
                                  linkOf(3), QStringLiteral("/dev/serial/by-path/") + socket2, QString(), QString(),
                                  QString(), QString(), QString()};
    QCOMPARE(numbering(), expected);
    QCOMPARE(QFileInfo(linkOf(2)).canonicalFilePath(), first.slavePath());
    QCOMPARE(QFileInfo(linkOf(4)).canonicalFilePath(), second.slavePath());

    // Plugged in again the other way round: the shared name moves, the
    // numbers stay with the sockets.
    QVERIFY(QFile::remove(QStringLiteral("/dev/serial/by-id/") + shared) && plug(shared, first.slavePath()));
    PortNumbering::assign();
    QCOMPARE(numbering(), expected);
}

void SerialLinkTest::simultaneousInstancesGiveOneNumber()
{
    if (!isolated)
        QSKIP(qPrintable(QStringLiteral("no private /dev, so no adapters can be plugged in: ") + whyNot));
    constexpr int Adapters = 4;
    constexpr int Instances = 4;
    constexpr int Rounds = 20;
    TestSupport::Pty adapters[Adapters];
    QStringList ids;
    for (int i = 0; i < Adapters; ++i) {
        ids << QStringLiteral("/dev/serial/by-id/usb-Race_%1-if00").arg(i);
        QVERIFY(adapters[i].isValid() && QFile::link(adapters[i].slavePath(), ids.last()));
    }
    const auto unplug = qScopeGuard([] { unplugAll(QStringLiteral("/dev/serial/by-id")); });
    for (int round = 0; round < Rounds; ++round) {
        for (int n = 1; n <= 9; ++n) {
            if (ids.contains(linkOf(n)))
                QVERIFY(QFile::remove(ports->portsPath() + QStringLiteral("/COM%1").arg(n)));
        }
        // The instances wait at a gate that opens for all at once.
        int gate[2];
        QCOMPARE(::pipe(gate), 0);
        QList<pid_t> children;
        for (int i = 0; i < Instances; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(gate[1]);
                char byte;
                [[maybe_unused]] const ssize_t opened = ::read(gate[0], &byte, 1);
                ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
                PortNumbering::assign();
                ::_exit(0);
            }
            children << pid;
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (pid_t pid : children) {
            int status = -1;
            QVERIFY(pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const QStringList numbers = numbering();
        for (const QString& id : ids)
            QVERIFY2(numbers.count(id) == 1, qPrintable(QStringLiteral("round %1: %2").arg(round).arg(numbers.join(QLatin1Char(' ')))));
    }
}

// Last: it leaves its adapters plugged in.
void SerialLinkTest::adaptersKeepTheirNumbers()
{
    if (!isolated)
        QSKIP(qPrintable(QStringLiteral("no private /dev, so no adapters can be plugged in: ") + whyNot));
    TestSupport::Pty userPort, onBoard, alpha, beta, late;
    QVERIFY(userPort.isValid() && onBoard.isValid() && alpha.isValid() && beta.isValid() && late.isValid());
    // COM1 is an on-board UART; ttyS1 has none behind it.
    QVERIFY(QDir().mkpath(QStringLiteral("/sys/class/tty/ttyS0")) && QDir().mkpath(QStringLiteral("/sys/class/tty/ttyS1")));
    writeFile(QStringLiteral("/sys/class/tty/ttyS0/type"), "4\n");
    writeFile(QStringLiteral("/sys/class/tty/ttyS1/type"), "0\n");
    QVERIFY(QFile::link(onBoard.slavePath(), QStringLiteral("/dev/ttyS0")));
    // COM2 the user's own, COM3 the simulator's, COM5 an adapter unplugged.
    QVERIFY(ports->link(QStringLiteral("COM2"), userPort.slavePath()));
    const QString simDevice = linkOf(3);
    QVERIFY(ports->link(QStringLiteral("COM5"), QStringLiteral("/dev/serial/by-id/usb-Gone-if00")));
    QVERIFY(plug(QStringLiteral("usb-Alpha-if00"), alpha.slavePath()));
    QVERIFY(plug(QStringLiteral("usb-Beta-if00"), beta.slavePath()));
    QVERIFY(plug(QStringLiteral("usb-User-if00"), userPort.slavePath())); // already COM2
    writeFile(QStringLiteral("/dev/serial/by-id/not-a-terminal"), "x");
    QVERIFY(plug(QStringLiteral("loop"), QStringLiteral("loop")));

    // Numbered just before the open, and the open goes through the number.
    QCOMPARE(clickOpen(4), QStringList({QStringLiteral("打开COM4")}));
    QVERIFY(probe->linkOpen());
    QVERIFY(alpha.write(QByteArray::fromHex("2E01020AFFF3")));
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("  2E 01 02 0A FF F3 [")));
    QCOMPARE(alpha.read(1, 5000), QByteArray("\xFF"));
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);

    const QStringList expected = {QString(), userPort.slavePath(), simDevice,
                                  QStringLiteral("/dev/serial/by-id/usb-Alpha-if00"),
                                  QStringLiteral("/dev/serial/by-id/usb-Gone-if00"),
                                  QStringLiteral("/dev/serial/by-id/usb-Beta-if00"), QString(), QString(), QString()};
    QCOMPARE(numbering(), expected);
    // Unplugged and plugged in again, and at the next start: the same numbers.
    QVERIFY(QFile::remove(QStringLiteral("/dev/serial/by-id/usb-Alpha-if00")));
    PortNumbering::assign();
    QCOMPARE(toolTip(4), QStringLiteral("COM4: no device (kept for /dev/serial/by-id/usb-Alpha-if00)"));
    QVERIFY(plug(QStringLiteral("usb-Alpha-if00"), alpha.slavePath()));
    PortNumbering::assign();
    QCOMPARE(numbering(), expected);

    QCOMPARE(toolTip(1), QStringLiteral("COM1: /dev/ttyS0"));
    QCOMPARE(toolTip(4), QStringLiteral("COM4: /dev/serial/by-id/usb-Alpha-if00"));
    for (int i = 0; i < 2; ++i) // the way to COM7 to COM9: the form's own range ends at COM6
        QTest::mouseClick(probe->ui().mode, Qt::LeftButton);
    QCOMPARE(toolTip(7), QStringLiteral("COM7: no device"));

    // All nine taken: the next adapter gets none, and is told about once.
    for (int n = 7; n <= 9; ++n)
        QVERIFY(ports->link(QStringLiteral("COM%1").arg(n), QStringLiteral("/dev/null")));
    QVERIFY(plug(QStringLiteral("usb-Late-if00"), late.slavePath()));
    TestSupport::OutputCapture err(STDERR_FILENO);
    PortNumbering::assign();
    PortNumbering::assign();
    QCOMPARE(QDir(ports->portsPath()).entryList(QDir::System).size(), 8); // COM1 is the UART's
    QCOMPARE(err.text().count("usb-Late-if00 gets no port number"), 1);
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
    sim->command("send 01 0A FF");
    sim->command("raw 00 11 2E 05");
    sim->command("raw 00 FA");
    sim->command("bad 02 33");
    sim->command("send 7F 2E FF F0 01 02 03 04 05 06 07 08 09 0A");
    QTRY_COMPARE(logRows().size(), 3);
    const QStringList first = frameColumns(logRows());

    // The second run plays that log, with a row added that does not parse.
    QVERIFY(QFile::copy(QStringLiteral("Korvane_data.csv"), QStringLiteral("session.csv")));
    QFile session(QStringLiteral("session.csv"));
    QVERIFY(session.open(QIODevice::Append));
    session.write("12:00:00,000,2E,01,05,0A,-,[9]\n");
    session.close();
    delete probe;
    probe = nullptr;
    delete window;
    window = nullptr;
    sim->command("quit"); // gone with its COM3 link, which the next one makes again
    QCOMPARE(sim->waitExit(), 0);
    delete sim;
    sim = new Child;
    QVERIFY2(sim->startReady({QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--replay"),
                              work->filePath(QStringLiteral("session.csv")), QStringLiteral("--stay")}),
             qPrintable(sim->describe()));
    window = new Korvane;
    window->show();
    probe = new KorvaneProbe(*window);
    QVERIFY(openCom3());
    QTRY_COMPARE(logRows().size(), 3);
    QCOMPARE(frameColumns(logRows()), first);
    sim->command("stats");
    QVERIFY(sim->waitLine(QRegularExpression(QStringLiteral(" replay_rows=3 skipped_rows=1$"))).hasMatch());
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
    Child device;
    QVERIFY2(device.startReady({QStringLiteral("--device"), deviceEnd}), qPrintable(device.describe()));
    QVERIFY(ports->link(QStringLiteral("COM4"), toolEnd));
    probe->ui().portBox->setValue(4);
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
    Child rival; // the tool holds its end exclusively
    QVERIFY(!rival.startReady({QStringLiteral("--device"), toolEnd}));
    QCOMPARE(rival.waitExit(), 2);
    device.command("send 01 0A FF");
    QTRY_COMPARE(logRows().size(), 1);
    QVERIFY(device.waitLine(QRegularExpression(QStringLiteral("^reply FF$"))).hasMatch());

    // Unplugged and plugged in again: the simulator says so and carries on;
    // the window says so, closes the port and opens it again on a click.
    OutputCapture err(STDERR_FILENO);
    socat.terminate();
    QVERIFY(socat.waitForFinished());
    QVERIFY(device.waitLine(QRegularExpression(QStringLiteral("^lost "))).hasMatch());
    checkLinkLost(*probe, *window, QStringLiteral("串口已断开: 输入/输出错误, 设备已拔出或挂断"), err,
                  "korvane: serial line COM4 lost: I/O error, the device was unplugged or hung up; the port is closed\n");
    plugIn();
    QVERIFY(device.waitLine(QRegularExpression(QStringLiteral("^back "))).hasMatch());
    QTest::mouseClick(probe->ui().open, Qt::LeftButton);
    QVERIFY(probe->linkOpen());
    typeAndSend(*probe, 0, QStringLiteral("02"), {QStringLiteral("33")});
    QVERIFY(device.waitLine(QRegularExpression(QStringLiteral("  2E 02 01 33 C9 \\[1\\]$"))).hasMatch());
    QCOMPARE(device.lines().filter(QRegularExpression(QStringLiteral("^lost "))).size(), 1);
    socat.terminate();
    socat.waitForFinished();
}

void SerialLinkTest::mappedPortAnswersAndIsLost_data()
{
    QTest::addColumn<bool>("rfc2217");
    QTest::newRow("rfc2217://") << true;
    QTest::newRow("socket://") << false;
}

void SerialLinkTest::mappedPortAnswersAndIsLost()
{
    QFETCH(bool, rfc2217);
    Ser2net ser2net;
    Child tcpSim;
    Child* device = sim;
    QString url;
    if (rfc2217) {
        QString why;
        if (!ser2net.start(linkOf(3), &why))
            QSKIP(qPrintable(why));
        url = ser2net.url();
    } else {
        QRegularExpressionMatch ready;
        QVERIFY2(tcpSim.startReady({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0")}, &ready), qPrintable(tcpSim.describe()));
        url = QStringLiteral("socket://") + ready.captured(1);
        device = &tcpSim;
    }
    QVERIFY(ports->link(QStringLiteral("COM5"), url));
    QCOMPARE(toolTip(5), QStringLiteral("COM5: ") + url);

    TestSupport::OutputCapture err(STDERR_FILENO);
    QElapsedTimer opening;
    opening.start();
    QCOMPARE(clickOpen(5), QStringList({QStringLiteral("打开COM5")}));
    qInfo("COM5 as %s opened in %lld ms", qPrintable(url), opening.elapsed());
    QVERIFY(probe->linkOpen());
    QCOMPARE(probe->linkState(), QStringLiteral("已打开 COM5: ") + url);
    // FF in the data and in the reply: doubled on the telnet side, once on the line.
    device->command("send 01 0A FF");
    QVERIFY(device->waitLine(QRegularExpression(QStringLiteral("^reply FF$"))).hasMatch());
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("  2E 01 02 0A FF F3 [")));
    typeAndSend(*probe, 0, QStringLiteral("FF"), {QStringLiteral("FF")});
    QVERIFY(device->waitLine(QRegularExpression(QStringLiteral("  2E FF 01 FF 00 \\[\\d+\\]$"))).hasMatch());
    QTRY_COMPARE(probe->ui().ack_label->text(), QStringLiteral("ack:ff"));

    if (rfc2217)
        ser2net.stop();
    else
        tcpSim.process().kill();
    QTRY_VERIFY(!probe->linkOpen());
    const QRegularExpression said(QStringLiteral("^串口已断开: 设备(关闭|重置)了连接$"));
    QVERIFY2(said.match(probe->linkState()).hasMatch(), qPrintable(probe->linkState()));
    QTRY_VERIFY(viewText(*window).split(QLatin1Char('\n')).filter(said).size() == 1);
    QCOMPARE(probe->ui().open->text(), QStringLiteral("打开"));
    QVERIFY(!panelButton(*probe, 0)->isEnabled());
    QVERIFY2(err.text().contains("korvane: serial line COM5 (" + url.toUtf8() + ") lost: device "), err.text());
}

void SerialLinkTest::mappedPortFailsAsItsAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QByteArray>("console");
    QTest::newRow("RFC 2217 refused") << QStringLiteral("rfc2217://127.0.0.1:1")
                                      << QStringLiteral("连接失败: 设备拒绝连接 (rfc2217://127.0.0.1:1)")
                                      << QByteArray("korvane: cannot open COM5 (rfc2217://127.0.0.1:1): cannot connect to 127.0.0.1:1: ");
    QTest::newRow("raw TCP refused") << QStringLiteral("socket://127.0.0.1:1")
                                     << QStringLiteral("连接失败: 设备拒绝连接 (socket://127.0.0.1:1)")
                                     << QByteArray("korvane: cannot open COM5 (socket://127.0.0.1:1): cannot connect to 127.0.0.1:1: ");
    QTest::newRow("no port") << QStringLiteral("rfc2217://127.0.0.1") << QStringLiteral("打开失败: rfc2217://127.0.0.1")
                             << QByteArray("\"rfc2217://127.0.0.1\" is not rfc2217://HOST:PORT");
}

void SerialLinkTest::mappedPortFailsAsItsAddress()
{
    QFETCH(QString, address);
    QFETCH(QString, status);
    QFETCH(QByteArray, console);
    // After a refused connect, so that nothing of it is carried over.
    QVERIFY(ports->link(QStringLiteral("COM5"), QStringLiteral("socket://127.0.0.1:1")));
    QCOMPARE(clickOpen(5).size(), 2);
    QVERIFY(ports->link(QStringLiteral("COM5"), address));
    TestSupport::OutputCapture err(STDERR_FILENO);
    QCOMPARE(clickOpen(5), QStringList({QStringLiteral("打开COM5"), status}));
    QVERIFY(!probe->linkOpen());
    QCOMPARE(probe->linkState(), status);
    QVERIFY2(err.text().contains(console), err.text());
}

void SerialLinkTest::mappedPortSaysTheServersWarnings_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QString>("warning");
    QTest::newRow("silent") << QByteArray() << QStringLiteral("the server did not take COM-PORT-OPTION in time");
    QTest::newRow("WONT COM-PORT-OPTION") << QByteArray("\xff\xfc\x2c", 3)
                                          << QStringLiteral("the server does not speak RFC 2217");
}

// A plain telnet server: the port opens with the warning, once, and frames
// pass with their FF doubled on the wire.
void SerialLinkTest::mappedPortSaysTheServersWarnings()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QString, warning);
    FakeServer server;
    server.serve(greeting);
    const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.listener.port());
    QVERIFY(ports->link(QStringLiteral("COM5"), url));
    TestSupport::OutputCapture err(STDERR_FILENO);
    const QStringList said = clickOpen(5);
    QVERIFY(probe->linkOpen());
    QCOMPARE(said.value(0), QStringLiteral("打开COM5"));
    QCOMPARE(said.filter(QStringLiteral("警告: ") + warning).size(), 1);
    Stream device(server.accepted.get());
    QVERIFY(device.isOpen());
    QVERIFY(device.write(QByteArray::fromHex("2e01020afffff3")));
    QTRY_VERIFY(viewText(*window).contains(QStringLiteral("  2E 01 02 0A FF F3 [")));
    QByteArray wire; // the client's negotiation, then the ACK doubled
    QTRY_VERIFY((wire += device.readAvailable()).endsWith(QByteArray::fromHex("ffff")));
    QCOMPARE(viewText(*window).count(QStringLiteral("警告: ")), 1);
    QVERIFY2(err.text().contains("korvane: COM5 (" + url.toUtf8() + "): " + warning.toUtf8()), err.text());
}

int main(int argc, char** argv)
{
    // Entered while the process has one thread, before Qt Test starts its
    // watchdog, so the simulator started later shares the private /dev.
    return TestSupport::execIsolated<QApplication, SerialLinkTest>(argc, argv, TestSupport::enterPrivateDevices);
}

#include "tst_serial_link.moc"
