#include "historywindow.h"

#include "filterbar.h"
#include "historyexport.h"
#include "historytext.h"
#include "plotwidget.h"

#include <algorithm>

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QToolButton>

namespace {
// How long rows may come in before the plots and the title catch up: soon
// after a filter or the index is done, every two seconds while following a
// live link (each redraw of the plots costs as much as the window's own
// work on a few hundred frames).
constexpr int FiguresMs = 300;
constexpr int FollowingFiguresMs = 2000;
const int ColumnWidths[HistoryModel::ColumnCount] = {120, 34, 40, 36, 0, 40, 72, 90};
} // namespace

HistoryWindow::HistoryWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window), m_model(new HistoryModel(m_source.index(), this)), m_table(new QTableView(this)),
      m_filters(new FilterBar(this)), m_plots(new PlotWidget(this)), m_selection(new QLabel(this)),
      m_said(new QLabel(this)), m_progress(new QProgressBar(this))
{
    setObjectName(QStringLiteral("HistoryWindow"));
    resize(1000, 640);

    m_table->setObjectName(QStringLiteral("historyTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setWordWrap(false);
    m_table->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 4);
    for (int c = 0; c < HistoryModel::ColumnCount; ++c) {
        if (ColumnWidths[c] > 0)
            m_table->setColumnWidth(c, ColumnWidths[c]);
    }
    m_table->horizontalHeader()->setSectionResizeMode(HistoryModel::Data, QHeaderView::Stretch);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_table);
    splitter->addWidget(m_plots);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(4, 4, 4, 0);
    column->addWidget(m_filters);
    column->addWidget(makeTools());
    column->addWidget(splitter, 1);
    setCentralWidget(central);

    m_selection->setObjectName(QStringLiteral("historySelection"));
    m_said->setObjectName(QStringLiteral("historySaid"));
    m_progress->setObjectName(QStringLiteral("historyProgress"));
    m_progress->setRange(0, 1000);
    m_progress->setMaximumWidth(200);
    m_progress->hide();
    statusBar()->addWidget(m_selection, 1);
    statusBar()->addWidget(m_said, 2);
    statusBar()->addPermanentWidget(m_progress);

    m_figures.setSingleShot(true);
    connect(&m_figures, &QTimer::timeout, this, &HistoryWindow::computeFigures);
    connect(&m_source, &HistorySource::progressed, this, &HistoryWindow::indexProgressed);
    connect(&m_source, &HistorySource::grew, this, &HistoryWindow::indexGrew);
    connect(&m_source, &HistorySource::truncated, this, [this] {
        m_model->indexTruncated();
        say(QStringLiteral("文件被截短, 重新索引"), true);
    });
    connect(m_model, &HistoryModel::filtered, this, &HistoryWindow::scheduleFigures);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] {
        if (following()) {
            m_scrolling = true;
            m_table->scrollToBottom();
            m_scrolling = false;
        }
    });
    connect(m_filters, &FilterBar::changed, this, [this](const History::FilterSpec& wanted) {
        m_model->setFilter(wanted);
        showSelection();
    });
    connect(m_plots, &PlotWidget::rowClicked, this, &HistoryWindow::goToRow);
    connect(m_table->verticalScrollBar(), &QScrollBar::valueChanged, this, &HistoryWindow::onScrolled);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &HistoryWindow::showSelection);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        if (m_timeBase->currentIndex() == int(HistoryModel::TimeBase::Selected))
            timeBaseChosen(m_timeBase->currentIndex());
    });
    auto* close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
}

QWidget* HistoryWindow::makeTools()
{
    auto* tools = new QWidget(this);
    auto* row = new QHBoxLayout(tools);
    row->setContentsMargins(0, 0, 0, 0);

    m_findEdit = new QLineEdit(tools);
    m_findEdit->setObjectName(QStringLiteral("findPattern"));
    m_findEdit->setPlaceholderText(QStringLiteral("查找 81 ?? 0A"));
    auto* previous = new QPushButton(QStringLiteral("上一个"), tools);
    auto* next = new QPushButton(QStringLiteral("下一个"), tools);
    previous->setObjectName(QStringLiteral("findPrevious"));
    next->setObjectName(QStringLiteral("findNext"));
    connect(m_findEdit, &QLineEdit::returnPressed, this, [this] { find(m_findEdit->text(), true); });
    connect(next, &QPushButton::clicked, this, [this] { find(m_findEdit->text(), true); });
    connect(previous, &QPushButton::clicked, this, [this] { find(m_findEdit->text(), false); });

    m_timeEdit = new QLineEdit(tools);
    m_timeEdit->setObjectName(QStringLiteral("goToTime"));
    m_timeEdit->setPlaceholderText(QStringLiteral("转到 12:34:56.789 / +10"));
    connect(m_timeEdit, &QLineEdit::returnPressed, this, [this] { goToTime(m_timeEdit->text()); });

    m_timeBase = new QComboBox(tools);
    m_timeBase->setObjectName(QStringLiteral("timeBase"));
    m_timeBase->addItems({QStringLiteral("时刻"), QStringLiteral("相对首帧"), QStringLiteral("相对选中")});
    connect(m_timeBase, QOverload<int>::of(&QComboBox::activated), this, &HistoryWindow::timeBaseChosen);

    m_follow = new QToolButton(tools);
    m_follow->setObjectName(QStringLiteral("follow"));
    m_follow->setText(QStringLiteral("跟随"));
    m_follow->setCheckable(true);
    connect(m_follow, &QToolButton::toggled, this, &HistoryWindow::setFollowing);

    auto* exporter = new QToolButton(tools);
    exporter->setObjectName(QStringLiteral("export"));
    exporter->setText(QStringLiteral("导出"));
    exporter->setPopupMode(QToolButton::InstantPopup);
    auto* menu = new QMenu(exporter);
    const struct {
        const char* text;
        ExportFormat format;
        bool selected;
    } choices[] = {{"筛选的行 → CSV…", ExportFormat::Log, false}, {"筛选的行 → pcapng…", ExportFormat::Pcapng, false},
                   {"选中的行 → CSV…", ExportFormat::Log, true}, {"选中的行 → pcapng…", ExportFormat::Pcapng, true}};
    for (const auto& c : choices) {
        const ExportFormat format = c.format;
        const bool selected = c.selected;
        menu->addAction(QString::fromUtf8(c.text), this, [this, format, selected] { askExport(format, selected); });
    }
    exporter->setMenu(menu);

    row->addWidget(m_findEdit, 1);
    row->addWidget(previous);
    row->addWidget(next);
    row->addWidget(m_timeEdit);
    row->addWidget(m_timeBase);
    row->addWidget(m_follow);
    row->addWidget(exporter);
    return tools;
}

HistoryWindow* HistoryWindow::forFile(const QString& path, QWidget* parent)
{
    auto* window = new HistoryWindow(parent);
    window->open(path);
    return window;
}

HistoryWindow* HistoryWindow::forSession(const QString& recordPath, QWidget* parent)
{
    auto* window = new HistoryWindow(parent);
    window->setFollowing(window->open(recordPath));
    return window;
}

bool HistoryWindow::open(const QString& path)
{
    setWindowTitle(HistoryText::title(QFileInfo(path).fileName(), -1));
    if (!m_source.open(path)) {
        say(m_source.error(), true);
        return false;
    }
    // Another program may append to the file or cut it short while it is open.
    m_source.setFollowing(true);
    m_progress->setValue(0);
    m_progress->show();
    return true;
}

void HistoryWindow::indexProgressed()
{
    const auto& progress = m_source.progress();
    if (m_source.failed()) {
        m_progress->hide();
        say(m_source.message(), true);
        return;
    }
    if (progress.done) {
        m_progress->hide();
        if (!m_source.message().isEmpty())
            say(m_source.message());
        m_filters->setFirstWallUs(m_source.index().firstWallUs());
        scheduleFigures();
    } else if (progress.bytesTotal > 0) {
        m_progress->setValue(static_cast<int>(1000.0 * double(progress.bytesDone) / double(progress.bytesTotal)));
        m_progress->show();
    }
}

void HistoryWindow::indexGrew()
{
    m_model->indexGrew();
    // The title's count while the whole file is not indexed yet would only flicker.
    if (m_source.progress().done)
        scheduleFigures();
}

void HistoryWindow::scheduleFigures()
{
    if (!m_figures.isActive())
        m_figures.start(following() ? FollowingFiguresMs : FiguresMs);
}

void HistoryWindow::computeFigures()
{
    if (m_source.indexing() || m_model->filtering()) {
        m_figures.start(FiguresMs); // after the last slice; a plot of half the rows would mislead
        return;
    }
    showTitle();
    // About twenty frames a bucket at least, so a rate is a rate and not
    // the luck of where a bucket's edges fall; at most one per two pixels.
    const std::size_t most = std::size_t(std::max(1, m_plots->plotArea(PlotWidget::Rate).width() / 2));
    const std::size_t buckets = std::clamp<std::size_t>(m_model->filter().count() / 20, 1, most);
    m_plots->setData(History::plotData(m_source.index(), &m_model->filter(), buckets));
}

void HistoryWindow::showTitle()
{
    setWindowTitle(HistoryText::title(QFileInfo(m_source.path()).fileName(),
                                      m_source.failed() ? -1 : static_cast<qint64>(m_source.index().size())));
}

bool HistoryWindow::following() const
{
    return m_follow->isChecked();
}

void HistoryWindow::setFollowing(bool on)
{
    if (m_follow->isChecked() != on)
        m_follow->setChecked(on); // comes back here through toggled
    if (on) {
        m_scrolling = true;
        m_table->scrollToBottom();
        m_scrolling = false;
    }
}

void HistoryWindow::onScrolled(int value)
{
    // The user scrolled away from the newest rows: they stay where they are.
    if (!m_scrolling && following() && value < m_table->verticalScrollBar()->maximum())
        setFollowing(false);
}

void HistoryWindow::timeBaseChosen(int choice)
{
    const auto base = static_cast<HistoryModel::TimeBase>(choice);
    std::int64_t reference = 0;
    const std::size_t row = currentIndexRow();
    if (base == HistoryModel::TimeBase::Selected && row < m_source.index().size())
        reference = m_source.index().entry(row).offsetUs();
    m_model->setTimeBase(base, reference);
}

std::size_t HistoryWindow::currentIndexRow() const
{
    const QModelIndex current = m_table->currentIndex();
    return current.isValid() ? m_model->indexRow(current.row()) : History::HistoryFilter::None;
}

History::RowSet HistoryWindow::selectedRows() const
{
    History::RowSet set;
    set.filter = &m_model->filter();
    for (const QItemSelectionRange& range : m_table->selectionModel()->selection())
        set.ranges.emplace_back(std::size_t(range.top()), std::size_t(range.bottom()));
    std::sort(set.ranges.begin(), set.ranges.end());
    return set;
}

QString HistoryWindow::selectionText() const
{
    const History::RowSet set = selectedRows();
    if (set.ranges.empty())
        return QString();
    const History::Stats s = History::stats(m_source.index(), set);
    return QStringLiteral("选中 %1 帧  跨度 %2  %3 帧/s")
        .arg(HistoryText::thousands(s.count), HistoryText::span(s.lastUs - s.firstUs))
        .arg(s.framesPerSecond, 0, 'f', 1);
}

void HistoryWindow::showSelection()
{
    m_selection->setText(selectionText());
}

bool HistoryWindow::goToRow(std::size_t indexRow)
{
    std::size_t shown = m_model->filter().nextShown(indexRow);
    if (shown == History::HistoryFilter::None)
        return false;
    const int row = m_model->viewRow(shown);
    if (row < 0)
        return false;
    setFollowing(false);
    const QModelIndex at = m_model->index(row, 0);
    m_table->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_table->scrollTo(at, QAbstractItemView::PositionAtCenter);
    return true;
}

bool HistoryWindow::goToTime(const QString& text)
{
    qint64 offsetUs = 0;
    if (!HistoryText::parseTime(text, m_source.index().firstWallUs(), &offsetUs)) {
        say(QStringLiteral("\"%1\" is neither seconds (+10.5) nor a time (12:34:56.789)").arg(text), true);
        return false;
    }
    if (!goToRow(m_source.index().rowAtTime(offsetUs))) {
        say(QStringLiteral("没有 %1 之后的帧").arg(text), true);
        return false;
    }
    say(QString());
    return true;
}

bool HistoryWindow::find(const QString& pattern, bool forward)
{
    FramePattern p;
    std::string error;
    if (!p.parse(pattern.toStdString(), error)) {
        say(QString::fromStdString(error), true);
        return false;
    }
    std::size_t from = currentIndexRow();
    if (from == History::HistoryFilter::None)
        from = forward ? 0 : m_source.index().size();
    const std::size_t found = History::find(m_source.index(), p, from, forward, &m_model->filter());
    if (found == History::HistoryFilter::None || !goToRow(found)) {
        say(QStringLiteral("未找到 %1").arg(pattern), true);
        return false;
    }
    say(QString());
    return true;
}

QString HistoryWindow::exportRows(const QString& path, ExportFormat format, bool selectedOnly)
{
    History::RowSet set;
    set.filter = &m_model->filter();
    if (selectedOnly)
        set = selectedRows();
    const std::string file = QFile::encodeName(path).toStdString();
    const History::ExportResult result = format == ExportFormat::Log ? History::exportLog(m_source.index(), set, file)
                                                                     : History::exportPcapng(m_source.index(), set, file);
    QString text;
    if (!result.ok) {
        text = QStringLiteral("导出失败: %1").arg(QString::fromStdString(result.error));
    } else {
        text = QStringLiteral("已导出 %1 行到 %2").arg(HistoryText::thousands(result.written), path);
        if (result.skipped > 0)
            text += QStringLiteral(" (%1 行不能写入此格式, 未导出)").arg(HistoryText::thousands(result.skipped));
    }
    say(text, !result.ok);
    return text;
}

void HistoryWindow::askExport(ExportFormat format, bool selectedOnly)
{
    QFileDialog dialog(this, QStringLiteral("导出"));
    dialog.setObjectName(QStringLiteral("exportDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog); // the same dialog everywhere, and one tests can fill in
    const bool log = format == ExportFormat::Log;
    dialog.setNameFilter(log ? QStringLiteral("CSV (*.csv)") : QStringLiteral("pcapng (*.pcapng)"));
    dialog.setDefaultSuffix(log ? QStringLiteral("csv") : QStringLiteral("pcapng"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        exportRows(dialog.selectedFiles().constFirst(), format, selectedOnly);
}

void HistoryWindow::say(const QString& text, bool trouble)
{
    // Said again on every slice while following: a label restyled each
    // time would be laid out and drawn again each time.
    if (m_said->text() == text && m_saidTrouble == trouble)
        return;
    m_saidTrouble = trouble;
    m_said->setText(text);
    m_said->setToolTip(text);
    m_said->setStyleSheet(trouble ? QStringLiteral("color: #c00000;") : QString());
}
