#include "display.h"

#include "filelock.h"
#include "trafficformat.h"

#include <QDateTime>
#include <QFile>
#include <QFont>
#include <QMetaObject>
#include <QStringList>

namespace {

const char LogFileName[] = "Korvane_data.csv";
const char HeaderTitle[] = "Korvane Bus Traffic File \n";
const char HeaderColumns[] = "time,time_ms,head,type,len,data,...,...,-,inx\n";

} // namespace

Display::Display()
    : QMainWindow(nullptr)
    , textView(nullptr)
    , writeIdx(0)
    , firstIdx(0)
    , lineCount(0)
    , logFile(nullptr)
    , logOpen(false)
    , viewDirty(false)
    , refreshQueued(false)
    , logDirty(false)
{
    OpenLog();
    connect(this, SIGNAL(PressType_Sig(TYPE_Data*)), this, SLOT(PressType_Slots(TYPE_Data*)));
    connect(this, SIGNAL(PressFile_Sig(const QString&)), this, SLOT(PressFile_Slots(const QString&)));
    ClearView();
}

Display::~Display()
{
    logFile->close();
    delete logFile;
}

void Display::OpenLog()
{
    logFile = new QFile(QString::fromLatin1(LogFileName));
    // ReadWrite neither cuts nor appends, so the lock can be checked before
    // anything in the file is touched.
    if (!logFile->open(QIODevice::ReadWrite))
        return;
    // Another instance in this directory holds the log: leave it whole and
    // run without one, as if the open had failed.
    if (!Platform::tryLockExclusive(logFile->handle())) {
        logFile->close();
        return;
    }
    // Cut to what this run writes, so no tail of a longer earlier log
    // survives under the new header.
    logFile->resize(0);
    logOpen = true;

    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray date = (QStringLiteral("New Data ,") + now.toString(QStringLiteral("yyyy-MM-dd \n"))).toLatin1();
    const QByteArray time = (QStringLiteral("new Time ,") + now.toString(QStringLiteral("hh:mm:ss,\n\n\n\n"))).toLatin1();
    logFile->write(HeaderTitle, sizeof HeaderTitle - 1);
    logFile->write(date.constData(), date.size());
    logFile->write(time.constData(), time.size());
    logFile->write(HeaderColumns, sizeof HeaderColumns - 1);
    logFile->flush();
}

void Display::SetView(QWidget* parent, int x, int y)
{
    QFont font;
    font.setPointSize(11);
#ifdef Q_OS_WIN
    font.setFamily(QStringLiteral("simsun"));
#else
    // SimSun is a Windows font; elsewhere the installed WenQuanYi Micro Hei
    // renders the same CJK texts.
    font.setFamilies({QStringLiteral("simsun"), QStringLiteral("WenQuanYi Micro Hei")});
#endif
    textView.setFont(font);
    textView.setParent(parent);
    textView.resize(711, 131);
    textView.move(x, y);
    if (parent && parent->isVisible())
        textView.show();
}

void Display::ClearView()
{
    textView.clear();
    for (QString& line : lines)
        line.clear();
    writeIdx = 0;
    lineCount = 0;
    firstIdx = 0;
    // A rebuild already posted finds nothing to do and leaves the view empty.
    viewDirty = false;
}

void Display::ShowFrame(TYPE_Data* record)
{
    emit PressType_Sig(record);
}

void Display::ShowText(QString text)
{
    ++lineCount;
    PushLine(text);
}

QString Display::HexByte(unsigned char b)
{
    return TrafficFormat::hexByte(b);
}

void Display::PressType_Slots(TYPE_Data* Data)
{
    ++lineCount;
    const QString line = TrafficFormat::frameLine(*Data, lineCount);
    if (logOpen) {
        const QString stored = PushLine(line);
        emit PressFile_Sig(stored);
    } else {
        PushLine(line);
    }
}

void Display::PressFile_Slots(const QString& str)
{
    if (!logOpen)
        return;
    char row[TrafficFormat::MaxRowLength];
    const int n = TrafficFormat::rowFromLine(str, row);
    if (n == 0)
        return;
    logFile->write(row, n);
    logDirty = true;
}

QString Display::PushLine(const QString& line)
{
    const int slot = writeIdx;
    lines[slot] = line;
    if (lineCount <= ViewLines) {
        firstIdx = 0;
    } else if (++firstIdx == ViewLines) {
        firstIdx = 0;
    }
    if (++writeIdx == ViewLines)
        writeIdx = 0;
    viewDirty = true;
    ScheduleRefresh();
    return lines[slot];
}

void Display::ScheduleRefresh()
{
    if (refreshQueued)
        return;
    refreshQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshQueued = false;
            RefreshView();
        },
        Qt::QueuedConnection);
}

void Display::RefreshView()
{
    FlushLog();
    if (!viewDirty)
        return;
    viewDirty = false;

    // One paragraph per ring slot, oldest at the top; empty slots stay as
    // empty paragraphs so the view always holds seven.
    int size = ViewLines - 1;
    for (const QString& line : lines)
        size += line.size();
    QString text;
    text.reserve(size);
    for (int i = 0; i < ViewLines; ++i) {
        if (i > 0)
            text.append(QLatin1Char('\n'));
        text.append(lines[(firstIdx + i) % ViewLines]);
    }
    textView.setPlainText(text);
}

void Display::FlushLog()
{
    if (!logDirty)
        return;
    logDirty = false;
    logFile->flush();
}
