// The history window over a traffic log of FRAMES rows (bench/historyfiles.h):
//
//   korvane-bench-historywindow [--out FILE] [--dir DIR]
//
// Opens it as `korvane --history` does, on the offscreen platform, RUNS
// times, and times from the window's creation: the first rows painted in
// the table; the whole index; the longest the event loop was held up
// meanwhile (the longest gap of a 1 ms timer: how long a click would have
// waited); the plots and the title with its count, and the hold-up their
// figures cost (one pass over every row); a filter by type typed into the
// filter bar, to its last row; and jumps to the last row and to the middle,
// each painted. FRAMES: KORVANE_BENCH_HISTORY_FRAMES (10,000,000); RUNS:
// KORVANE_BENCH_RUNS (5). The log goes to DIR (default: a temporary folder)
// and is removed at the end.

#include "benchfigures.h"
#include "filterbar.h"
#include "historyfiles.h"
#include "historywindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <memory>

namespace {

// The event loop run until done(); the longest gap between two ticks of a
// 1 ms timer meanwhile, in ms.
double runUntil(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start();
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    longest = std::max(longest, clock.nsecsElapsed() - last);
    return double(longest) / 1e6;
}

double msOf(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

bool measure(const QString& path, BenchFigures::Sheet& sheet)
{
    malloc_trim(0);
    const double before = BenchFigures::rssAnonBytes();
    QElapsedTimer t;
    t.start();
    std::unique_ptr<HistoryWindow> window(HistoryWindow::forFile(path));
    window->show();
    QTableView* table = window->table();
    runUntil([&] { return window->model().rowCount() >= 50 || window->source().failed(); });
    table->viewport()->repaint();
    const double first = msOf(t);
    const double stall = runUntil([&] { return window->source().failed() || window->source().progress().done; });
    const double indexed = msOf(t);
    // Then the plots' figures, counted over every row in one go, and the title.
    const double figuresStall = runUntil([&] {
        return window->source().failed()
            || (!window->model().filtering() && window->windowTitle().endsWith(QStringLiteral("帧")));
    });
    const double whole = msOf(t);
    if (window->source().failed()) {
        std::fprintf(stderr, "%s\n", qPrintable(window->source().message()));
        return false;
    }
    const std::size_t rows = window->source().index().size();
    const double perFrame = (BenchFigures::rssAnonBytes() - before) / double(rows);

    t.restart();
    QLineEdit* types = window->filterBar()->typeEdit();
    types->setText(QStringLiteral("03"));
    emit types->editingFinished();
    const double filterStall = runUntil([&] { return !window->model().filtering(); });
    table->viewport()->repaint();
    const double filter = msOf(t);
    const int shown = window->model().rowCount();
    types->clear();
    emit types->editingFinished();
    runUntil([&] { return !window->model().filtering(); });

    t.restart();
    window->goToRow(rows - 1);
    table->viewport()->repaint();
    const double toLast = msOf(t);
    t.restart();
    window->goToRow(rows / 2);
    table->viewport()->repaint();
    const double toMiddle = msOf(t);

    std::printf("history window: %zu rows, %d of type 03; first rows %.0f ms, indexed %.2f s, longest stall while "
                "indexing %.0f ms, then %.0f ms for the plots\n",
                rows, shown, first, indexed / 1000, stall, figuresStall);
    std::fflush(stdout);
    const auto add = [&sheet](const char* key, const char* label, const char* unit, double v) {
        sheet.add(QStringLiteral("historywindow_") + QLatin1String(key),
                  QStringLiteral("history window: ") + QString::fromUtf8(label), QLatin1String(unit), v);
    };
    add("first_rows_ms", "first rows painted", "ms", first);
    add("index_s", "whole index", "s", indexed / 1000);
    add("longest_stall_ms", "longest hold-up of the window while indexing", "ms", stall);
    add("titled_s", "plots drawn and the title with its count", "s", whole / 1000);
    add("figures_stall_ms", "hold-up for the plots' figures after indexing", "ms", figuresStall);
    add("filter_type_ms", "filter by type typed in, painted", "ms", filter);
    add("filter_stall_ms", "longest hold-up while filtering", "ms", filterStall);
    add("jump_last_ms", "go to the last row, painted", "ms", toLast);
    add("jump_middle_ms", "go to the middle row, painted", "ms", toMiddle);
    add("bytes_per_frame", "memory beyond the map, index and table together", "B/frame", perFrame);
    return shown > 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const HistoryFiles::Options options = HistoryFiles::Options::fromArguments(app.arguments());
    QTemporaryDir work(options.folderPattern(QStringLiteral("korvane-historywindow")));
    const QString log = work.filePath(QStringLiteral("Korvane_data-bench.csv"));
    if (!work.isValid() || !HistoryFiles::writeLog(log.toStdString(), options.frames)) {
        std::fprintf(stderr, "cannot write the log\n");
        return 1;
    }
    BenchFigures::Sheet sheet(QStringLiteral("historywindow"));
    sheet.note(QStringLiteral("historywindow_frames"), static_cast<double>(options.frames));
    for (int run = 0; run < options.runs; ++run) {
        if (!measure(log, sheet))
            return 1;
    }
    sheet.print();
    return options.out.isEmpty() || sheet.write(options.out) ? 0 : 1;
}
