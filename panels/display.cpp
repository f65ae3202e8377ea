#include "display.h"

#include "filelock.h"
#include "trafficformat.h"

#include <QDateTime>
#include <QFile>
#include <QFont>
#include <QStringList>
#include <QTextCursor>
#include <QTextDocument>

#include <cerrno>

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
    , logDirty(false)
{
    refreshTimer.setSingleShot(true);
    connect(&refreshTimer, &QTimer::timeout, this, [this] { RefreshView(); });
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
    const LogStarter::Result started = LogStarter::start(QString::fromLatin1(LogFileName));
    logFile = started.file;
    log.state = started.state;
    log.path = started.path;
    log.kept = started.kept;
    log.detail = started.detail;
    if (started.state != LogStarter::State::Open)
        return;
    // A pipe or terminal behind the name whose reader stops must cost rows,
    // as a full disk does, never the tool itself.
    Platform::setWritesNonBlocking(logFile->handle());
    logOpen = true;

    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray date = (QStringLiteral("New Data ,") + now.toString(QStringLiteral("yyyy-MM-dd \n"))).toLatin1();
    const QByteArray time = (QStringLiteral("new Time ,") + now.toString(QStringLiteral("hh:mm:ss,\n\n\n\n"))).toLatin1();
    logFile->write(HeaderTitle, sizeof HeaderTitle - 1);
    logFile->write(date.constData(), date.size());
    logFile->write(time.constData(), time.size());
    logFile->write(HeaderColumns, sizeof HeaderColumns - 1);
    NoteWrite(logFile->flush());
}

void Display::NoteWrite(bool ok)
{
    if (ok == !log.writeFailing)
        return;
    log.writeFailing = !ok;
    // Read at once: errno still holds the failed write's reason here.
    log.writeError = ok ? 0 : errno;
    log.writeReason = ok ? QString() : logFile->errorString();
    if (logWriteWatcher)
        logWriteWatcher();
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
    if (logFile->write(row, n) < 0)
        NoteWrite(false);
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
    if (refreshTimer.isActive())
        return;
    const qint64 since = sinceRefresh.isValid() ? sinceRefresh.elapsed() : RefreshMs;
    refreshTimer.start(since >= RefreshMs ? 0 : static_cast<int>(RefreshMs - since));
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
    sinceRefresh.start();

    QTextDocument* doc = textView.document();
    if (doc->blockCount() != ViewLines) {
        // Empty after a clear: set the seven paragraphs up.
        textView.setPlainText(text);
        return;
    }
    // Replace the text inside the seven paragraphs as one edit. Unlike
    // setPlainText this keeps the document, so its height stays the same:
    // no relayout of the scroll bar, no repaint of it, no jump of the
    // scroll position. Undo is switched off for the edit, which also drops
    // the history, as setPlainText does.
    const bool undo = doc->isUndoRedoEnabled();
    doc->setUndoRedoEnabled(false);
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.insertText(text);
    cursor.endEditBlock();
    doc->setUndoRedoEnabled(undo);
}

void Display::FlushLog()
{
    if (!logDirty)
        return;
    logDirty = false;
    NoteWrite(logFile->flush());
}
