// The history window. From the running window: opened with Ctrl+H and from
// the status bar's "历史", following a live stream from the simulator on a
// pseudo-terminal linked as COM3 (sent and received frames, ACKs and NAKs),
// letting go when scrolled away and "跟随" bringing it back, a filter on NAKs
// and the export of what it shows, read back. On logs written here: the
// title with its count, a malformed row shown with its line, go to a time,
// find next and previous, the selection's figures and a click on a plot.

#include "windowsupport.h"

#include "filterbar.h"
#include "historytext.h"
#include "historywindow.h"
#include "plotwidget.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QMenu>
#include <QScrollBar>
#include <QTableView>
#include <QToolButton>

using namespace TestSupport;

namespace {

const QDateTime LogStart(QDate(2026, 12, 7), QTime(9, 0, 0));

QString cell(HistoryWindow& h, int row, int column)
{
    return h.model().index(row, column).data().toString();
}

// The rows' texts of one column, all of them.
QStringList column(HistoryWindow& h, int column)
{
    QStringList out;
    for (int r = 0; r < h.model().rowCount(); ++r)
        out << cell(h, r, column);
    return out;
}

bool indexed(HistoryWindow& h)
{
    return h.source().progress().done && !h.model().filtering();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// n good frames of type 01..03 in turn, every `badEvery`-th one with a wrong checksum.
QList<QByteArray> frames(int n, int badEvery = 0)
{
    QList<QByteArray> out;
    for (int k = 0; k < n; ++k)
        out << numberedFrame(std::uint8_t(1 + k % 3), std::uint32_t(k), QByteArray(), badEvery > 0 && k % badEvery == badEvery - 1);
    return out;
}

// Chooses the export menu's entry `entry` and saves to path in the dialog it opens.
void exportThroughMenu(HistoryWindow& h, int entry, const QString& path)
{
    auto* button = h.findChild<QToolButton*>(QStringLiteral("export"));
    QVERIFY(button && button->menu());
    bool filled = false;
    QTimer::singleShot(0, &h, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept");
        filled = true;
    });
    button->menu()->actions().at(entry)->trigger();
    QVERIFY(filled);
}

} // namespace

class HistoryWindowTest : public WindowTest
{
    Q_OBJECT

private Q_SLOTS:
    void init() { makeWindow(); }
    void cleanup();
    void opensWithCtrlHAndStatusBar();
    void followsLiveTrafficFiltersNaksAndExports();
    void titleAndRowsOfAFile_data();
    void titleAndRowsOfAFile();
    void goToTimeFindAndSelection();
    void plotClickGoesToItsRow();
    void previousRecordKeptWithItsLog();
    void timesAsTyped_data();
    void timesAsTyped();
    void countsInTheTitle();

private:
    HistoryWindow* openFile(const QByteArray& contents);

    Child* sim = nullptr;
    std::unique_ptr<HistoryWindow> fileWindow;
};

void HistoryWindowTest::cleanup()
{
    fileWindow.reset();
    delete sim;
    sim = nullptr;
    dropWindow();
}

HistoryWindow* HistoryWindowTest::openFile(const QByteArray& contents)
{
    const QString path = work->filePath(QStringLiteral("Korvane_data-2026-12-07_09-00-00.csv"));
    writeFile(path, contents);
    fileWindow.reset(HistoryWindow::forFile(path));
    fileWindow->show();
    return fileWindow.get();
}

void HistoryWindowTest::opensWithCtrlHAndStatusBar()
{
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QVERIFY(window->findChild<HistoryWindow*>() == nullptr); // nothing of it while it is closed
    QTest::keyClick(window, Qt::Key_H, Qt::ControlModifier);
    HistoryWindow* history = window->findChild<HistoryWindow*>();
    QVERIFY(history);
    QVERIFY(history->isWindow());
    QTRY_VERIFY(history->isVisible());
    QTRY_COMPARE(history->windowTitle(), QStringLiteral("Korvane 历史 — Korvane_data.pcapng — 0 帧"));
    QCOMPARE(window->size(), QSize(731, 419)); // the main form is as it was

    history->close();
    QTRY_VERIFY(window->findChild<HistoryWindow*>() == nullptr); // closed, it is gone
    auto* item = window->findChild<QToolButton*>(QStringLiteral("historyStatus"));
    QVERIFY(item);
    QCOMPARE(item->text(), QStringLiteral("历史"));
    // At the right end of the strip, inside the window.
    QVERIFY(item->mapTo(window, QPoint(item->width(), 0)).x() > window->width() - 10);
    QTest::mouseClick(item, Qt::LeftButton);
    QTRY_VERIFY(window->findChild<HistoryWindow*>() && window->findChild<HistoryWindow*>()->isVisible());
}

void HistoryWindowTest::followsLiveTrafficFiltersNaksAndExports()
{
    // 300 frames at 100/s, every tenth with a wrong checksum.
    sim = new Child;
    QVERIFY2(sim->startReady({QStringLiteral("--serial"), QStringLiteral("COM3"), QStringLiteral("--rate"),
                              QStringLiteral("100"), QStringLiteral("--count"), QStringLiteral("300"),
                              QStringLiteral("--bad-share"), QStringLiteral("0.1"), QStringLiteral("--frame"),
                              QStringLiteral("05 0A FF"), QStringLiteral("--stay")}),
             qPrintable(sim->describe()));
    window->openHistory();
    HistoryWindow* history = window->findChild<HistoryWindow*>();
    QVERIFY(history);
    QVERIFY(history->following());
    QVERIFY(openLink(*probe, false, 3));
    typeAndSend(*probe, 0, QStringLiteral("7F"), {QStringLiteral("0A")});

    // Live: rows come in while the stream runs, and the newest is in view.
    QTRY_VERIFY_WITH_TIMEOUT(history->model().rowCount() > 40, WaitMs);
    QTableView* table = history->table();
    QScrollBar* bar = table->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
    // Scrolled away, it stays where the user put it while rows come in.
    bar->setValue(0);
    QVERIFY(!history->following());
    const int seen = history->model().rowCount();
    QTRY_VERIFY(history->model().rowCount() > seen + 20);
    QCOMPARE(bar->value(), 0);
    history->findChild<QToolButton*>(QStringLiteral("follow"))->click();
    QVERIFY(history->following());
    QTRY_COMPARE(bar->value(), bar->maximum());

    // Every frame the window saw, and each reply: 300 in, one out.
    QTRY_COMPARE_WITH_TIMEOUT(sim->stats().value(QStringLiteral("acks")), 270, WaitMs);
    QTRY_VERIFY(history->windowTitle().endsWith(QStringLiteral("帧")));
    QTRY_COMPARE_WITH_TIMEOUT(column(*history, HistoryModel::Verdict).count(QStringLiteral("NAK")), 30, WaitMs);
    QTRY_COMPARE(column(*history, HistoryModel::Verdict).count(QStringLiteral("ACK")), 271);
    const QStringList directions = column(*history, HistoryModel::Direction);
    const int sentRow = int(directions.indexOf(QStringLiteral("发")));
    QVERIFY(sentRow >= 0);
    QCOMPARE(cell(*history, sentRow, HistoryModel::Type), QStringLiteral("7F"));
    QCOMPARE(cell(*history, sentRow, HistoryModel::Data), QStringLiteral("0A"));
    QCOMPARE(cell(*history, sentRow, HistoryModel::Verdict), QStringLiteral("ACK")); // the device's reply
    // The log index of a received row is the one the traffic log gave it.
    const QStringList logRowsNow = logRows();
    const int firstReceived = int(directions.indexOf(QStringLiteral("收")));
    QVERIFY(logRowsNow.value(0).endsWith(QStringLiteral(",") + cell(*history, firstReceived, HistoryModel::LogIndex)));

    // Only the NAKs: the frames the window refused.
    history->filterBar()->verdictButton(History::VerdictNak)->click();
    QTRY_VERIFY(!history->model().filtering());
    QCOMPARE(history->model().rowCount(), 30);
    QCOMPARE(column(*history, HistoryModel::Verdict).count(QStringLiteral("NAK")), 30);
    QCOMPARE(column(*history, HistoryModel::Direction).count(QStringLiteral("收")), 30);

    // Exported as pcapng and as a log, they read back as the same 30 rows.
    const QString capture = work->filePath(QStringLiteral("naks.pcapng"));
    const QString log = work->filePath(QStringLiteral("naks.csv"));
    exportThroughMenu(*history, 1, capture);
    QVERIFY2(history->findChild<QLabel*>(QStringLiteral("historySaid"))->text().startsWith(QStringLiteral("已导出 30 行")),
             qPrintable(history->findChild<QLabel*>(QStringLiteral("historySaid"))->text()));
    exportThroughMenu(*history, 0, log);
    for (const QString& path : {capture, log}) {
        std::unique_ptr<HistoryWindow> back(HistoryWindow::forFile(path));
        QTRY_VERIFY(indexed(*back));
        QCOMPARE(back->model().rowCount(), 30);
        QCOMPARE(column(*back, HistoryModel::Data), column(*history, HistoryModel::Data));
        if (path == capture)
            QCOMPARE(column(*back, HistoryModel::Verdict), column(*history, HistoryModel::Verdict));
        else
            QCOMPARE(column(*back, HistoryModel::Verdict).count(QStringLiteral("bad")), 30);
    }
}

void HistoryWindowTest::titleAndRowsOfAFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("said"); // the start of the line in the status bar

    QTest::newRow("1,234 rows") << makeLog(frames(1234), LogStart, 10)
                                << QStringLiteral("Korvane 历史 — Korvane_data-2026-12-07_09-00-00.csv — 1,234 帧") << QString();
    QList<QByteArray> withJunk = frames(5);
    withJunk.insert(2, "09:00:00,020,2E,zz");
    QTest::newRow("malformed row") << makeLog(withJunk, LogStart, 10)
                                   << QStringLiteral("Korvane 历史 — Korvane_data-2026-12-07_09-00-00.csv — 6 帧") << QString();
    QTest::newRow("not a log") << QByteArray("just some text\nand more\n")
                               << QStringLiteral("Korvane 历史 — Korvane_data-2026-12-07_09-00-00.csv") << QStringLiteral("?");
}

void HistoryWindowTest::titleAndRowsOfAFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, title);
    QFETCH(QString, said);
    HistoryWindow* h = openFile(contents);
    QTRY_VERIFY(h->source().progress().done || h->source().failed());
    QTRY_COMPARE(h->windowTitle(), title);
    const QString saidNow = h->findChild<QLabel*>(QStringLiteral("historySaid"))->text();
    if (said.isEmpty()) {
        QVERIFY(!h->source().failed());
    } else {
        QVERIFY(h->source().failed());
        QVERIFY2(!saidNow.isEmpty(), "a file that is no log must be said so");
    }
    const int malformed = int(column(*h, HistoryModel::Verdict).indexOf(QStringLiteral("malformed")));
    if (QTest::currentDataTag() == QLatin1String("malformed row")) {
        QCOMPARE(malformed, 2);
        QVERIFY2(cell(*h, 2, HistoryModel::Data).contains(QStringLiteral("line 10")), qPrintable(cell(*h, 2, HistoryModel::Data)));
    } else {
        QCOMPARE(malformed, -1);
    }
}

void HistoryWindowTest::goToTimeFindAndSelection()
{
    // 600 rows 10 ms apart: 09:00:00.000 to 09:00:05.990.
    QList<QByteArray> rows = frames(600);
    rows[450] = frame(0x81, QByteArray::fromHex("550A"));
    HistoryWindow* h = openFile(makeLog(rows, LogStart, 10));
    QTRY_VERIFY(indexed(*h));
    const auto currentRow = [h] { return h->table()->currentIndex().row(); };

    QVERIFY(h->goToTime(QStringLiteral("09:00:03.005")));
    QCOMPARE(currentRow(), 301);
    QVERIFY(h->goToTime(QStringLiteral("+1.5")));
    QCOMPARE(currentRow(), 150);
    QVERIFY(!h->goToTime(QStringLiteral("09:00:07")));
    QVERIFY(!h->goToTime(QStringLiteral("soon")));

    QVERIFY(h->find(QStringLiteral("81 ?? 0A"), true));
    QCOMPARE(currentRow(), 450);
    QVERIFY(!h->find(QStringLiteral("81 ?? 0A"), true)); // none after it
    QVERIFY(h->goToTime(QStringLiteral("+5.9")));
    QVERIFY(h->find(QStringLiteral("81 ?? 0A"), false));
    QCOMPARE(currentRow(), 450);
    QVERIFY(!h->find(QStringLiteral("81 ?"), true)); // half a byte

    // Times relative to the selected row.
    h->findChild<QComboBox*>(QStringLiteral("timeBase"))->setCurrentIndex(2);
    emit h->findChild<QComboBox*>(QStringLiteral("timeBase"))->activated(2);
    QCOMPARE(cell(*h, 450, HistoryModel::Time), QStringLiteral("+0.000000"));
    QCOMPARE(cell(*h, 440, HistoryModel::Time), QStringLiteral("-0.100000"));

    // 101 rows over one second: 100 frames a second.
    h->table()->selectionModel()->select(QItemSelection(h->model().index(100, 0), h->model().index(200, 0)),
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QCOMPARE(h->selectionText(), QStringLiteral("选中 101 帧  跨度 1.000000 s  100.0 帧/s"));
    QCOMPARE(h->findChild<QLabel*>(QStringLiteral("historySelection"))->text(), h->selectionText());
}

void HistoryWindowTest::plotClickGoesToItsRow()
{
    HistoryWindow* h = openFile(makeLog(frames(600, 7), LogStart, 10));
    QTRY_VERIFY(indexed(*h));
    PlotWidget* plots = h->plots();
    QTRY_VERIFY(!plots->plotData().buckets.empty());
    QTRY_VERIFY(plots->isVisible() && plots->width() > 100);
    // The right end of the rate plot: its last bucket's first row, of the
    // last twentieth of the time at most (buckets of twenty frames or more).
    const QRect rate = plots->plotArea(PlotWidget::Rate);
    QTest::mouseClick(plots, Qt::LeftButton, Qt::NoModifier, QPoint(rate.right() - 1, rate.center().y()));
    const std::size_t clicked = h->model().indexRow(h->table()->currentIndex().row());
    QCOMPARE(clicked, plots->plotData().buckets.back().firstRow);
    QVERIFY2(clicked >= 570, qPrintable(QString::number(clicked)));
    // The left end of the bad-frame plot: the first row.
    const QRect trouble = plots->plotArea(PlotWidget::Trouble);
    QTest::mouseClick(plots, Qt::LeftButton, Qt::NoModifier, QPoint(trouble.left(), trouble.center().y()));
    QCOMPARE(h->table()->currentIndex().row(), 0);
    // The bad frames are there to be seen: 85 of 600 (every seventh).
    std::uint64_t bad = 0;
    for (const auto& b : plots->plotData().buckets)
        bad += b.bad;
    QCOMPARE(bad, std::uint64_t(85));
}

void HistoryWindowTest::previousRecordKeptWithItsLog()
{
    window->DecodePoll("\x2e\x01\x01\x0a\xf3", 5); // a frame in the record
    delete probe;
    delete window; // the record is written whole as the window goes
    probe = nullptr;
    QFile first(work->filePath(QStringLiteral("Korvane_data.pcapng")));
    QVERIFY(first.open(QIODevice::ReadOnly));
    const QByteArray record = first.readAll();
    first.close();
    QVERIFY(record.contains(QByteArray("\x2e\x01\x01\x0a\xf3", 5)));

    window = new Korvane; // the next run in the same folder
    const QStringList kept = QDir(work->path()).entryList({QStringLiteral("Korvane_data-*")}, QDir::Files);
    QCOMPARE(kept.size(), 2);
    QVERIFY2(kept[0].endsWith(QStringLiteral(".csv")) && kept[1] == QString(kept[0]).replace(QStringLiteral(".csv"), QStringLiteral(".pcapng")),
             qPrintable(kept.join(QLatin1Char(' '))));
    QFile moved(work->filePath(kept[1]));
    QVERIFY(moved.open(QIODevice::ReadOnly));
    QCOMPARE(moved.readAll(), record);
    QVERIFY(QFileInfo(work->filePath(QStringLiteral("Korvane_data.pcapng"))).size() < record.size());
    probe = new KorvaneProbe(*window);
}

void HistoryWindowTest::timesAsTyped_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("understood");
    QTest::addColumn<qint64>("offsetUs");
    // The first row at 23:59:59.500 local time: a session past midnight.
    QTest::newRow("seconds") << "+1.5" << true << qint64(1500000);
    QTest::newRow("seconds without +") << " 2 " << true << qint64(2000000);
    QTest::newRow("a microsecond") << "0.000001" << true << qint64(1);
    QTest::newRow("later that second") << "23:59:59.600" << true << qint64(100000);
    QTest::newRow("within the first row's second") << "23:59:59" << true << qint64(-500000);
    QTest::newRow("past midnight") << "00:00:01" << true << qint64(1500000);
    QTest::newRow("comma for the point") << "00:00:01,25" << true << qint64(1750000);
    QTest::newRow("no such hour") << "25:00:00" << false << qint64(0);
    QTest::newRow("no such minute") << "12:60:00" << false << qint64(0);
    QTest::newRow("a sign too many") << "+-1" << false << qint64(0);
    QTest::newRow("a word") << "soon" << false << qint64(0);
}

void HistoryWindowTest::timesAsTyped()
{
    QFETCH(QString, typed);
    QFETCH(bool, understood);
    QFETCH(qint64, offsetUs);
    const qint64 firstWallUs = QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59, 500)).toMSecsSinceEpoch() * 1000;
    qint64 at = 0;
    QCOMPARE(HistoryText::parseTime(typed, firstWallUs, &at), understood);
    if (understood)
        QCOMPARE(at, offsetUs);
}

void HistoryWindowTest::countsInTheTitle()
{
    const QList<QPair<qint64, QString>> cases{{0, "0"}, {999, "999"}, {1000, "1,000"}, {10000000, "10,000,000"},
                                              {1234567890123, "1,234,567,890,123"}};
    for (const auto& c : cases)
        QCOMPARE(HistoryText::title(QStringLiteral("x.csv"), c.first), QStringLiteral("Korvane 历史 — x.csv — %1 帧").arg(c.second));
    QCOMPARE(HistoryText::title(QStringLiteral("x.csv"), -1), QStringLiteral("Korvane 历史 — x.csv"));
}

QTEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"
