#include "korvane.h"

#include "builddate.h"
#include "lognotice.h"
#include "portnumbering.h"

#include <QEvent>
#include <QShortcut>
#include <QStatusBar>

#include <cstdio>

namespace {

// Texts that link control sets while the tool runs. Held as UTF-8 so that
// they read the same on every locale.
const QString TextSerial = QStringLiteral("串口");
const QString TextNetwork = QStringLiteral("网络");
const QString TextOpen = QStringLiteral("打开");
const QString TextClose = QStringLiteral("关闭");
const QString TextConnect = QStringLiteral("连接");
const QString TextDisconnect = QStringLiteral("断开");
const QString TextOpeningPort = QStringLiteral("打开COM");
const QString TextConnectingTo = QStringLiteral("连接ip地址:192.168.1.");
const QString TextPortSuffix = QStringLiteral("  端口:4500");
const QString TextLinkClosed = QStringLiteral("未连接");
const QString Version = QStringLiteral("V2.01.00");

constexpr int SerialPortMin = 1;
constexpr int SerialPortMax = 9;
constexpr int HostMin = 1;
constexpr int HostMax = 255;
constexpr int DefaultHost = 154;

} // namespace

Korvane::Korvane(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{
    ui.setupUi(this);

    panels = new Analyz*[PanelCount];
    for (int i = 0; i < PanelCount; ++i) {
        panels[i] = new Analyz();
        panels[i]->SetPanel(ui.groupBox_data, 0, 30 * i + 30);
        panels[i]->EnablePanel(false);
        connect(panels[i], SIGNAL(send_sig(const char*)), this, SLOT(send_slots(const char*)));
    }

    readTimer = new QTimer(this);
    // The poll's cadence is what bounds its throughput; a coarse timer could
    // stretch every tick by up to a twentieth.
    readTimer->setTimerType(Qt::PreciseTimer);

    linkOpen = false;
    serialMode = true;

    display.SetView(this, 10, 270);

    clearReceiveState();

    connect(readTimer, SIGNAL(timeout()), this, SLOT(TimerRead_IRQ()));
    ui.portBox->installEventFilter(this); // its tooltip names the device behind the port

    ui.ack_label->clear();
    ShowVersion(Version);
    display.ClearView();

    // The port numbering hands out COM1 to COM9: all of them can be chosen
    // from the start, not only after the mode was switched twice.
    ui.portBox->setRange(SerialPortMin, SerialPortMax);

    statusStrip = std::make_unique<StatusStrip>(statusBar());
    statusTimer.setInterval(StatusMs);
    connect(&statusTimer, &QTimer::timeout, this, [this] { statusStrip->setCounts(counters); });
    showLinkState();
    sayLogAtStart();
    display.setLogWriteWatcher([this] { sayLogWriteChange(); });

    session.start(display.logStatus(), [this](const LinkFailure::Said& said) { say(said); });
    statusStrip->setHistoryOpener([this] { openHistory(); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this), &QShortcut::activated, this, &Korvane::openHistory);
}

void Korvane::openHistory()
{
    session.show(this);
}

Korvane::~Korvane()
{
    for (int i = 0; i < PanelCount; ++i)
        delete panels[i];
    delete[] panels;
    readTimer->stop();
    delete readTimer;
}

void Korvane::ShowVersion(const QString& version)
{
    ui.Ver_label->setText(version + QStringLiteral("  ") + BuildDate::toIso(BuildDate::compiled()));
}

QString Korvane::versionText()
{
    return Version + QStringLiteral("  ") + BuildDate::toIso(BuildDate::compiled());
}

void Korvane::say(const LinkFailure::Said& said)
{
    if (!said.status.isEmpty())
        display.ShowText(said.status);
    if (!said.console.isEmpty()) {
        std::fprintf(stderr, "%s\n", said.console.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

void Korvane::sayLogAtStart()
{
    const LogStatus& log = display.logStatus();
    say(LogNotice::atStart(log));
    statusStrip->setLog(LogNotice::field(log), log.state != LogStarter::State::Open);
}

void Korvane::sayLogWriteChange()
{
    const LogStatus& log = display.logStatus();
    say(LogNotice::writeChanged(log));
    statusStrip->setLog(LogNotice::field(log), log.writeFailing);
}

void Korvane::showLinkState()
{
    if (!linkOpen) {
        statusStrip->setLink(linkTrouble.isEmpty() ? TextLinkClosed : linkTrouble, !linkTrouble.isEmpty());
        return;
    }
    if (serialMode) {
        const std::string device = remote.isOpen() ? remote.address() : PortNumbering::device(linkNumber);
        statusStrip->setLink(QStringLiteral("已打开 COM%1: %2").arg(QString::number(linkNumber), QString::fromStdString(device)));
    } else {
        statusStrip->setLink(QStringLiteral("已连接 192.168.1.%1:4500").arg(linkNumber));
    }
}

bool Korvane::eventFilter(QObject* watched, QEvent* event)
{
    // Asked afresh each time it shows: adapters come and go.
    if (watched == ui.portBox && event->type() == QEvent::ToolTip) {
        ui.portBox->setToolTip(serialMode ? QString::fromStdString(PortNumbering::describe(ui.portBox->value()))
                                          : QString());
    }
    return QMainWindow::eventFilter(watched, event);
}

void Korvane::on_clearrx_clicked()
{
    display.ClearView();
}

void Korvane::on_cleartx_clicked()
{
    for (int i = 0; i < PanelCount; ++i)
        panels[i]->ClearPanel();
    ui.ack_label->clear();
}

// ---- link control ----------------------------------------------------------

void Korvane::on_mode_clicked()
{
    serialMode = !serialMode;
    if (serialMode) {
        ui.mode->setText(TextSerial);
        ui.open->setText(TextOpen);
        ui.portBox->setRange(SerialPortMin, SerialPortMax);
        ui.portBox->setValue(SerialPortMin);
    } else {
        ui.mode->setText(TextNetwork);
        ui.open->setText(TextConnect);
        ui.portBox->setRange(HostMin, HostMax);
        ui.portBox->setValue(DefaultHost);
    }
}

void Korvane::on_open_clicked()
{
    ui.open->setEnabled(false);
    const int n = ui.portBox->value();
    linkTrouble.clear();
    if (serialMode)
        toggleSerialLink(n);
    else
        toggleNetLink(n);
    ui.open->setEnabled(true);

    if (linkOpen) {
        for (int i = 0; i < PanelCount; ++i)
            panels[i]->EnablePanel(true);
        pollPacer.restart();
        readTimer->start(FirstPollMs);
        linkNumber = n;
        counters = LinkCounters();
        statusStrip->setCounts(counters);
        statusTimer.start();
    } else {
        readTimer->stop();
        for (int i = 0; i < PanelCount; ++i)
            panels[i]->EnablePanel(false);
        statusTimer.stop();
        statusStrip->setCounts(counters); // the closed link's last figures stay
    }
    ui.mode->setEnabled(!linkOpen);
    showLinkState();
}

void Korvane::loseLink(const LinkFailure::Said& said)
{
    say(said);
    on_open_clicked(); // closes the link as the user's click would
    linkTrouble = said.status;
    showLinkState();
}

void Korvane::toggleSerialLink(int portNumber)
{
    std::u16string name;
    if (portNumber >= SerialPortMin && portNumber <= SerialPortMax)
        name = QStringLiteral("COM%1").arg(portNumber).toStdU16String();

    if (linkOpen) {
        serial.close();
        remote.close();
        linkOpen = false;
    } else {
        display.ShowText(TextOpeningPort + QString::number(portNumber));
        PortNumbering::assign(); // an adapter plugged in since the start gets its number now
        if (!name.empty() && !PortNumbering::address(portNumber).empty())
            linkOpen = openRemote(portNumber);
        else if (!(linkOpen = serial.open(name) != 0))
            reportSerialFailure(name.empty() ? 0 : portNumber);
    }
    ui.open->setText(linkOpen ? TextClose : TextOpen);
}

bool Korvane::openRemote(int portNumber)
{
    PortAddress mapped;
    std::string reason;
    const bool parsed = PortAddress::parse("COM" + std::to_string(portNumber), mapped, reason);
    const QString shown = QString::fromStdString(mapped.mapped.empty() ? PortNumbering::address(portNumber) : mapped.mapped);
    if (parsed && remote.open(mapped, reason)) {
        linkNumber = portNumber;
        sayRemoteWarnings();
        return true;
    }
    const LinkFailure::Said failure = LinkFailure::remote(portNumber, shown, parsed ? remote.connectError() : 0, reason);
    say(failure);
    linkTrouble = failure.status;
    return false;
}

void Korvane::sayRemoteWarnings()
{
    for (const std::string& warning : remote.takeWarnings()) {
        const QString text = QString::fromStdString(warning);
        say({QStringLiteral("警告: ") + text,
             QStringLiteral("korvane: COM%1 (%2): %3")
                 .arg(QString::number(linkNumber), QString::fromStdString(remote.address()), text)});
    }
}

void Korvane::reportSerialFailure(int portNumber)
{
    const QString device = portNumber > 0 ? QString::fromStdString(PortNumbering::device(portNumber)) : QString();
    const LinkFailure::Said failure = LinkFailure::serial(portNumber, serial.openError(), device);
    say(failure);
    linkTrouble = failure.status;
}

void Korvane::toggleNetLink(int hostNumber)
{
    if (linkOpen) {
        linkOpen = !net.close();
    } else {
        linkOpen = net.connectTo(hostNumber);
        display.ShowText(TextConnectingTo + QString::number(hostNumber) + TextPortSuffix);
        if (!linkOpen) {
            linkTrouble = LinkFailure::connectStatus(net.connectError());
            display.ShowText(linkTrouble);
        }
    }
    ui.open->setText(linkOpen ? TextDisconnect : TextConnect);
}

// ---- transmit --------------------------------------------------------------

void Korvane::send_slots(const char* buff)
{
    const auto* payload = reinterpret_cast<const unsigned char*>(buff);
    ui.ack_label->clear();
    if (!linkOpen || payload == nullptr)
        return;
    const int len = payload[1];
    // No panel asks for anything else; a payload outside the range is refused
    // rather than framed past the end of the buffer.
    if (len < LinkFrame::MinSendData || len > LinkFrame::MaxSendData)
        return;

    unsigned char frame[LinkFrame::MaxSendFrame];
    const int size = LinkFrame::encode(payload[0], static_cast<std::uint8_t>(len), payload + 2, frame);
    // The record holds what reached the link: a frame cut short is recorded as far as it went.
    session.sent(frame, writeToLink(frame, size));
    session.flush(true);
}

int Korvane::writeToLink(const unsigned char* bytes, int length)
{
    const int sent = remote.isOpen() ? remote.write(bytes, length)
                     : serialMode      ? serial.write(bytes, length)
                                       : net.send(reinterpret_cast<const char*>(bytes), length);
    if (sent > 0)
        counters.bytesOut += static_cast<quint64>(sent);
    return sent;
}
