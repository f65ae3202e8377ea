// Merges the benchmarks' figures, compares them with the speed budget and
// writes them out:
//
//   korvane-bench-report --part FILE... --results FILE --markdown FILE
//                        [--load-before "1 5 15"] [--load-after "1 5 15"]
//   korvane-bench-report --from-results FILE [--markdown FILE]
//
// The second form reads the parts back from an earlier results file, to
// print the table again or refresh docs/performance.md by hand.
//
// Prints the table (figure, median, min..max, budget, verdict) on standard
// output, writes every figure with its runs to --results (JSON) and a short
// summary with the machine's core count and the date to --markdown. A run of
// some parts (KORVANE_BENCH_PARTS) keeps the summary's rows of the budgets it
// did not measure, and says from which run they are.

#include "benchfigures.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

namespace {

struct Value
{
    double median = 0;
    double min = 0;
    double max = 0;
    QString label;
    QString unit;
    bool present = false;
};

struct Budget
{
    QString figure;    // the budget row
    QString target;    // as the budget states it
    QStringList keys;  // figures shown on this row
    // Whether a figure's median holds the target; keys not present fail.
    std::function<bool(const std::map<QString, Value>&)> holds;
};

// The rows of an earlier summary, by budget, and the date of its run.
struct Earlier
{
    QString date;
    std::map<QString, QString> rows;
};

Earlier readEarlier(const QString& path)
{
    Earlier earlier;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return earlier;
    QString budget;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("- Date: ")))
            earlier.date = line.mid(8);
        if (!line.startsWith(QLatin1String("| ")) || line.startsWith(QLatin1String("| budget |")))
            continue;
        // A budget's first row names it; the rows under it leave that cell empty.
        const QString first = line.section(QLatin1Char('|'), 1, 1).trimmed();
        if (!first.isEmpty())
            budget = first;
        if (!budget.isEmpty())
            earlier.rows[budget] += line + QLatin1Char('\n');
    }
    return earlier;
}

QString number(double v)
{
    if (v == 0)
        return QStringLiteral("0");
    const double a = v < 0 ? -v : v;
    return QString::number(v, 'f', a >= 100 ? 0 : a >= 10 ? 1 : a >= 1 ? 2 : 3);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList parts;
    QString resultsPath;
    QString markdownPath;
    QString loadBefore;
    QString loadAfter;
    QString fromResults;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const bool more = i + 1 < args.size();
        if (args[i] == QLatin1String("--part") && more)
            parts << args[++i];
        else if (args[i] == QLatin1String("--results") && more)
            resultsPath = args[++i];
        else if (args[i] == QLatin1String("--markdown") && more)
            markdownPath = args[++i];
        else if (args[i] == QLatin1String("--load-before") && more)
            loadBefore = args[++i];
        else if (args[i] == QLatin1String("--load-after") && more)
            loadAfter = args[++i];
        else if (args[i] == QLatin1String("--from-results") && more)
            fromResults = args[++i];
    }

    std::map<QString, Value> values;
    QJsonArray partDocs;
    QString date = QDateTime::currentDateTime().toString(Qt::ISODate);
    if (!fromResults.isEmpty()) {
        QFile file(fromResults);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(fromResults));
            return 1;
        }
        const QJsonObject doc = QJsonDocument::fromJson(file.readAll()).object();
        partDocs = doc.value(QStringLiteral("parts")).toArray();
        date = doc.value(QStringLiteral("date")).toString();
        loadBefore = doc.value(QStringLiteral("load_before")).toString();
        loadAfter = doc.value(QStringLiteral("load_after")).toString();
    }
    for (const QString& path : parts) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "skipping %s: cannot read it\n", qPrintable(path));
            continue;
        }
        partDocs.append(QJsonDocument::fromJson(file.readAll()).object());
    }
    for (const QJsonValue& part : partDocs) {
        const QJsonObject doc = part.toObject();
        for (const QJsonValue& f : doc.value(QStringLiteral("figures")).toArray()) {
            const QJsonObject o = f.toObject();
            Value v;
            v.median = o.value(QStringLiteral("median")).toDouble();
            v.min = o.value(QStringLiteral("min")).toDouble();
            v.max = o.value(QStringLiteral("max")).toDouble();
            v.label = o.value(QStringLiteral("label")).toString();
            v.unit = o.value(QStringLiteral("unit")).toString();
            v.present = true;
            values[o.value(QStringLiteral("key")).toString()] = v;
        }
    }

    auto med = [](const std::map<QString, Value>& m, const QString& k) {
        const auto it = m.find(k);
        return it == m.end() ? Value{} : it->second;
    };
    auto atMost = [&](const QString& k, double limit) {
        return [=](const std::map<QString, Value>& m) { const Value v = med(m, k); return v.present && v.median <= limit; };
    };
    auto live = [&](const QString& c, double cpuLimit, bool backlog) {
        return [=](const std::map<QString, Value>& m) {
            const Value share = med(m, c + QStringLiteral("_delivered_share"));
            const Value cpu = med(m, c + QStringLiteral("_cpu_percent"));
            bool ok = share.present && share.min >= 100.0 && cpu.present && cpu.median <= cpuLimit;
            if (backlog) {
                const Value unread = med(m, c + QStringLiteral("_unread_stream_end"));
                ok = ok && unread.present && unread.median <= 400;
            }
            return ok;
        };
    };

    const std::vector<Budget> budget{
        {QStringLiteral("decoder alone"), QStringLiteral("<= 5 ns per byte"), {QStringLiteral("decoder_ns_per_byte")},
         atMost(QStringLiteral("decoder_ns_per_byte"), 5)},
        {QStringLiteral("whole receive path per good frame, view rebuild apart"), QStringLiteral("<= 10 us"),
         {QStringLiteral("path_us_per_frame_4"), QStringLiteral("path_us_per_frame_17"), QStringLiteral("view_rebuild_us"),
          QStringLiteral("view_repaint_us")},
         [&](const std::map<QString, Value>& m) {
             return atMost(QStringLiteral("path_us_per_frame_4"), 10)(m) && atMost(QStringLiteral("path_us_per_frame_17"), 10)(m);
         }},
        {QStringLiteral("960 frames/s, 4-byte frames"), QStringLiteral("all delivered, <= 5 % of one core"),
         {QStringLiteral("live960_delivered_share"), QStringLiteral("live960_cpu_percent"), QStringLiteral("live960_cpu_us_per_frame"),
          QStringLiteral("live960_unread_end"), QStringLiteral("live960_rss_start_mib"), QStringLiteral("live960_rss_end_mib")},
         live(QStringLiteral("live960"), 5, false)},
        {QStringLiteral("960 frames/s with the history open and following"),
         QStringLiteral("all delivered; CPU <= 1.5 x the 960/s row's of the same run"),
         {QStringLiteral("live960h_delivered_share"), QStringLiteral("live960h_cpu_percent"),
          QStringLiteral("live960h_cpu_us_per_frame"), QStringLiteral("live960_cpu_percent"),
          QStringLiteral("live960h_rss_end_mib")},
         [&](const std::map<QString, Value>& m) {
             const Value share = med(m, QStringLiteral("live960h_delivered_share"));
             const Value without = med(m, QStringLiteral("live960_cpu_percent"));
             return share.present && share.min >= 100.0 && without.present
                 && atMost(QStringLiteral("live960h_cpu_percent"), 1.5 * without.median)(m);
         }},
        {QStringLiteral("225 frames/s, 17-byte frames"), QStringLiteral("all delivered, <= 3 % of one core"),
         {QStringLiteral("live225_delivered_share"), QStringLiteral("live225_cpu_percent"), QStringLiteral("live225_cpu_us_per_frame"),
          QStringLiteral("live225_unread_end"), QStringLiteral("live225_rss_start_mib"), QStringLiteral("live225_rss_end_mib")},
         live(QStringLiteral("live225"), 3, false)},
        {QStringLiteral("2,500 frames/s, 4-byte frames"),
         QStringLiteral("all delivered, no backlog growing (<= 400 B unread as the last frame goes out), <= 10 % of one core"),
         {QStringLiteral("live2500_delivered_share"), QStringLiteral("live2500_cpu_percent"), QStringLiteral("live2500_cpu_us_per_frame"),
          QStringLiteral("live2500_unread_stream_end"), QStringLiteral("live2500_backlog_max"), QStringLiteral("live2500_unread_end"),
          QStringLiteral("live2500_sender_stalls"), QStringLiteral("live2500_rss_start_mib"), QStringLiteral("live2500_rss_end_mib")},
         live(QStringLiteral("live2500"), 10, true)},
        {QStringLiteral("latency to the log file"), QStringLiteral("p99 <= 25 ms"),
         {QStringLiteral("live960_latency_p50_ms"), QStringLiteral("live960_latency_p99_ms"), QStringLiteral("live960_latency_max_ms"),
          QStringLiteral("live225_latency_p50_ms"), QStringLiteral("live225_latency_p99_ms"), QStringLiteral("live225_latency_max_ms"),
          QStringLiteral("live2500_latency_p50_ms"), QStringLiteral("live2500_latency_p99_ms"), QStringLiteral("live2500_latency_max_ms")},
         [&](const std::map<QString, Value>& m) {
             return atMost(QStringLiteral("live960_latency_p99_ms"), 25)(m) && atMost(QStringLiteral("live225_latency_p99_ms"), 25)(m)
                 && atMost(QStringLiteral("live2500_latency_p99_ms"), 25)(m);
         }},
        {QStringLiteral("memory over one million frames"),
         QStringLiteral("growth <= 1 MiB, descriptors unchanged (eventfds follow the toolkit's worker threads, one each)"),
         {QStringLiteral("soak_delivered"), QStringLiteral("soak_rss_growth_kib"), QStringLiteral("soak_rss_growth_after_10s_kib"),
          QStringLiteral("soak_fds_before"), QStringLiteral("soak_fds_after"), QStringLiteral("soak_files_before"),
          QStringLiteral("soak_files_after"), QStringLiteral("soak_threads_before"), QStringLiteral("soak_threads_after")},
         [&](const std::map<QString, Value>& m) {
             const Value g = med(m, QStringLiteral("soak_rss_growth_kib"));
             const Value b = med(m, QStringLiteral("soak_files_before"));
             const Value a = med(m, QStringLiteral("soak_files_after"));
             return g.present && g.max <= 1024 && b.present && a.present && b.min == a.min && b.max == a.max
                 && b.min == b.max && med(m, QStringLiteral("soak_delivered")).min >= 1e6;
         }},
        {QStringLiteral("korvane-cli send, start-up"), QStringLiteral("< 20 ms from exec to exit, p50"),
         {QStringLiteral("cli_startup_p50_ms"), QStringLiteral("cli_startup_p99_ms")},
         [&](const std::map<QString, Value>& m) { return atMost(QStringLiteral("cli_startup_p50_ms"), 20)(m); }},
        {QStringLiteral("korvane-cli listen, 960 frames/s, 4-byte frames"),
         QStringLiteral("all answered; CPU at most the window's on the same stream (960/s row)"),
         {QStringLiteral("cli960_answered_share"), QStringLiteral("cli960_cpu_percent"), QStringLiteral("cli960_cpu_us_per_frame"),
          QStringLiteral("live960_cpu_percent")},
         [&](const std::map<QString, Value>& m) {
             const Value share = med(m, QStringLiteral("cli960_answered_share"));
             const Value window = med(m, QStringLiteral("live960_cpu_percent"));
             return share.present && share.min >= 100.0 && window.present
                 && atMost(QStringLiteral("cli960_cpu_percent"), window.median)(m);
         }},
        {QStringLiteral("960 frames/s, 4-byte frames, under Wine (not Windows)"),
         QStringLiteral("all answered and logged; CPU beside the native 960/s row"),
         {QStringLiteral("wine960_delivered_share"), QStringLiteral("wine960_cpu_percent"), QStringLiteral("wine960_server_cpu_percent")},
         [&](const std::map<QString, Value>& m) {
             const Value share = med(m, QStringLiteral("wine960_delivered_share"));
             return share.present && share.min >= 100.0;
         }},
        {QStringLiteral("monitor, 960 frames/s each way, 4-byte frames"),
         QStringLiteral("nothing lost, CPU <= 1.2 x socat's (runs taking turns), added latency p99 <= 2 ms"),
         {QStringLiteral("monitor_line_lost_bytes"), QStringLiteral("monitor_line_frames"), QStringLiteral("monitor_line_cpu_percent"),
          QStringLiteral("monitor_line_latency_p50_ms"), QStringLiteral("monitor_line_latency_p99_ms"),
          QStringLiteral("monitor_line_latency_max_ms"), QStringLiteral("monitor_socat_cpu_percent"),
          QStringLiteral("monitor_socat_latency_p50_ms"), QStringLiteral("monitor_socat_latency_p99_ms")},
         [&](const std::map<QString, Value>& m) {
             const Value lost = med(m, QStringLiteral("monitor_line_lost_bytes"));
             const Value socat = med(m, QStringLiteral("monitor_socat_cpu_percent"));
             return lost.present && lost.max == 0 && socat.present
                 && atMost(QStringLiteral("monitor_line_cpu_percent"), 1.2 * socat.median)(m)
                 && atMost(QStringLiteral("monitor_line_latency_p99_ms"), 2)(m);
         }},
        {QStringLiteral("round trip through the Python package, 1,000 frames on a pty"),
         QStringLiteral("median within 2 x and 0.2 ms of pyserial's, p99 < 2 ms"),
         {QStringLiteral("py_roundtrip_median_ms"), QStringLiteral("py_roundtrip_p99_ms"),
          QStringLiteral("pyserial_roundtrip_median_ms"), QStringLiteral("pyserial_roundtrip_p99_ms")},
         [&](const std::map<QString, Value>& m) {
             const Value py = med(m, QStringLiteral("py_roundtrip_median_ms"));
             const Value direct = med(m, QStringLiteral("pyserial_roundtrip_median_ms"));
             return py.present && direct.present && py.median - direct.median <= 0.2
                 && py.median <= 2 * direct.median && med(m, QStringLiteral("py_roundtrip_p99_ms")).median < 2;
         }},
        {QStringLiteral("round trip over ser2net's RFC 2217, 1,000 frames"),
         QStringLiteral("median <= 1.1 x pyserial's rfc2217:// on the same loop"),
         {QStringLiteral("rfc2217_py_roundtrip_median_ms"), QStringLiteral("rfc2217_py_roundtrip_p99_ms"),
          QStringLiteral("rfc2217_pyserial_roundtrip_median_ms"), QStringLiteral("rfc2217_pyserial_roundtrip_p99_ms")},
         [&](const std::map<QString, Value>& m) {
             const Value direct = med(m, QStringLiteral("rfc2217_pyserial_roundtrip_median_ms"));
             return direct.present && atMost(QStringLiteral("rfc2217_py_roundtrip_median_ms"), 1.1 * direct.median)(m);
         }},
        {QStringLiteral("rfc2217:// open, exec to the first frame sendable"), QStringLiteral("< 100 ms, p50"),
         {QStringLiteral("rfc2217_cli_open_p50_ms"), QStringLiteral("rfc2217_cli_open_p99_ms"),
          QStringLiteral("rfc2217_pyserial_open_p50_ms"), QStringLiteral("rfc2217_pyserial_open_p99_ms")},
         atMost(QStringLiteral("rfc2217_cli_open_p50_ms"), 100)},
        {QStringLiteral("korvane-cli listen over rfc2217://, 960 frames/s, 4-byte frames"),
         QStringLiteral("all answered; CPU beside the pty's (korvane-cli 960/s row)"),
         {QStringLiteral("rfc2217_cli960_answered_share"), QStringLiteral("rfc2217_cli960_cpu_percent"),
          QStringLiteral("rfc2217_cli960_cpu_us_per_frame"), QStringLiteral("cli960_cpu_percent")},
         [&](const std::map<QString, Value>& m) {
             const Value share = med(m, QStringLiteral("rfc2217_cli960_answered_share"));
             return share.present && share.min >= 100.0;
         }},
        {QStringLiteral("history: first rows of 10 M frames"), QStringLiteral("< 0.5 s"),
         {QStringLiteral("history_log_first_rows_ms"), QStringLiteral("history_pcap_first_rows_ms")},
         [&](const std::map<QString, Value>& m) {
             return atMost(QStringLiteral("history_log_first_rows_ms"), 500)(m)
                 && atMost(QStringLiteral("history_pcap_first_rows_ms"), 500)(m);
         }},
        {QStringLiteral("history: whole index of 10 M frames"), QStringLiteral("< 3 s"),
         {QStringLiteral("history_log_index_s"), QStringLiteral("history_pcap_index_s")},
         [&](const std::map<QString, Value>& m) {
             return atMost(QStringLiteral("history_log_index_s"), 3)(m) && atMost(QStringLiteral("history_pcap_index_s"), 3)(m);
         }},
        {QStringLiteral("history: filter 10 M frames by type or verdict"), QStringLiteral("< 1 s"),
         {QStringLiteral("history_log_filter_type_ms"), QStringLiteral("history_log_filter_verdict_ms"),
          QStringLiteral("history_pcap_filter_type_ms"), QStringLiteral("history_pcap_filter_verdict_ms")},
         [&](const std::map<QString, Value>& m) {
             return atMost(QStringLiteral("history_log_filter_type_ms"), 1000)(m)
                 && atMost(QStringLiteral("history_log_filter_verdict_ms"), 1000)(m)
                 && atMost(QStringLiteral("history_pcap_filter_type_ms"), 1000)(m)
                 && atMost(QStringLiteral("history_pcap_filter_verdict_ms"), 1000)(m);
         }},
        {QStringLiteral("history: memory beyond the mapped file"), QStringLiteral("<= 16 bytes per frame"),
         {QStringLiteral("history_log_bytes_per_frame"), QStringLiteral("history_pcap_bytes_per_frame")},
         [&](const std::map<QString, Value>& m) {
             return atMost(QStringLiteral("history_log_bytes_per_frame"), 16)(m)
                 && atMost(QStringLiteral("history_pcap_bytes_per_frame"), 16)(m);
         }},
        {QStringLiteral("monitor, noise flood one way"), QStringLiteral("nothing lost, the other way's p99 <= 2 ms"),
         {QStringLiteral("monitor_flood_lost_bytes"), QStringLiteral("monitor_flood_noise_kib_s"),
          QStringLiteral("monitor_flood_cpu_percent"), QStringLiteral("monitor_flood_latency_p50_ms"),
          QStringLiteral("monitor_flood_latency_p99_ms"), QStringLiteral("monitor_flood_latency_max_ms")},
         [&](const std::map<QString, Value>& m) {
             const Value lost = med(m, QStringLiteral("monitor_flood_lost_bytes"));
             return lost.present && lost.max == 0 && atMost(QStringLiteral("monitor_flood_latency_p99_ms"), 2)(m);
         }},
    };

    const int cores = QThread::idealThreadCount();
    const Earlier earlier = readEarlier(markdownPath);
    QStringList kept;
    QString table;
    QString rows;
    QString md;
    md += QStringLiteral("# Performance\n\n");
    md += QStringLiteral("Figures from `make bench` (scripts/bench.sh): release build, offscreen platform, the window in a process "
                         "of its own linked to korvane-sim over a pseudo-terminal. Each figure is the median of its runs, with "
                         "the minimum and maximum. Refreshed by hand when the figures change.\n\n");
    md += QStringLiteral("- Date: %1\n- Cores: %2\n- Machine: %3, %4\n").arg(date).arg(cores).arg(QSysInfo::prettyProductName(), QSysInfo::currentCpuArchitecture());
    if (!loadBefore.isEmpty())
        md += QStringLiteral("- Load average (1, 5, 15 min) before / after: %1 / %2\n").arg(loadBefore, loadAfter);
    int missed = 0;
    for (const Budget& b : budget) {
        const bool measured = std::any_of(b.keys.begin(), b.keys.end(), [&](const QString& k) { return med(values, k).present; });
        const auto before = earlier.rows.find(b.figure);
        if (!measured && before != earlier.rows.end()) {
            rows += before->second;
            kept << b.figure;
            table += QStringLiteral("%1  [target: %2]  not measured; the summary keeps the rows of %3\n").arg(b.figure, b.target, earlier.date);
            continue;
        }
        const bool ok = b.holds(values);
        if (!ok)
            ++missed;
        table += QStringLiteral("%1  [target: %2]  %3\n").arg(b.figure, b.target, ok ? QStringLiteral("HOLDS") : QStringLiteral("MISSED"));
        bool first = true;
        for (const QString& k : b.keys) {
            const Value v = med(values, k);
            if (!v.present) {
                table += QStringLiteral("    %1: not measured\n").arg(k);
                continue;
            }
            table += QStringLiteral("    %1 %2 %3   [%4 .. %5]\n")
                         .arg(v.label, -58)
                         .arg(number(v.median), 10)
                         .arg(v.unit, -9)
                         .arg(number(v.min), number(v.max));
            rows += QStringLiteral("| %1 | %2 | %3 | %4 %5 | %6 .. %7 | %8 |\n")
                      .arg(first ? b.figure : QString(), first ? b.target : QString(), v.label, number(v.median), v.unit,
                           number(v.min), number(v.max), first ? (ok ? QStringLiteral("yes") : QStringLiteral("**no**")) : QString());
            first = false;
        }
    }
    if (!kept.isEmpty())
        md += QStringLiteral("- Rows kept from the run of %1, not measured in this one: %2\n").arg(earlier.date, kept.join(QStringLiteral("; ")));
    md += QStringLiteral("\n| budget | target | figure | median | min .. max | holds |\n|---|---|---|---|---|---|\n") + rows;
    md += QStringLiteral(
        "\nHow the figures are taken:\n\n"
        "- Decoder and receive path: CPU time of the thread that runs a real window, its decoder fed the way a poll "
        "tick feeds it (chunks of at most 100 bytes, one time stamp per chunk). The failing stream mixes noise, frames "
        "of every length and over-long frames, all with a wrong checksum; nothing is shown. The good-frame path covers "
        "decode, frame line, view ring, log row and the tick's log write (the serial port is closed here, so the reply "
        "byte is not in it; the live runs include it). The view's rebuild and repaint are timed apart.\n"
        "- Live: korvane-bench-host runs the window alone in its process and clicks `open`; korvane-sim paces the "
        "frames (--rate, --count). CPU is the host process's own (CLOCK_PROCESS_CPUTIME_ID) from the click to the end, "
        "over the same wall time. Latency runs from the simulator's write of a frame's last byte (--timestamps) to the "
        "moment the driver, watching the log with inotify, reads the frame's row (both CLOCK_REALTIME). Rows are matched "
        "to frames by order, checked row by row: 17-byte frames carry their number in data bytes 0..3 (--number); 4-byte "
        "frames have no data, so their types cycle 00..FF and row k must have type k mod 256. The history row is the "
        "960/s case again with the history window opened (Ctrl+H) before the click and following the session's record "
        "throughout; its CPU is the same process's, the window's and the history's together, beside the 960/s row of "
        "the same run.\n"
        "- Backlog: bytes the port holds unread (FIONREAD), once a second in the host and as the simulator writes its "
        "last frame. At 2,500 frames a second the line carries exactly the poll's ceiling, so a backlog can only stay or "
        "grow; the budget row takes at most 400 bytes (four ticks) left as the last frame goes out as not growing. The "
        "simulator's own write gaps over 20 ms are listed: after one it catches up in a burst, and at the ceiling that "
        "burst stays as a standing backlog however well the tool keeps time.\n"
        "- Soak: one million 4-byte frames at 2,500 a second through the live path; resident memory from the click to the "
        "end (and from 10 s in, after the first rows have warmed the caches), descriptors before the click and after "
        "closing the link again. Every thread that runs a Qt event loop holds one eventfd, and the toolkit's worker "
        "threads start and expire on their own, so the verdict counts the descriptors other than eventfds; all counts "
        "and the threads are listed.\n"
        "- korvane-cli: korvane-bench-cli starts `korvane-cli --port COM3 send 01` 100 times a run against "
        "`korvane-sim --serial COM3` and times each from the fork to the wait that reaps it (the ACK included). For "
        "listening, the simulator sends 4-byte frames with types cycling 00..FF at 960 a second, the stream of the "
        "window's 960/s row, to `korvane-cli listen --log FILE`, which answers, logs and prints each (to /dev/null); "
        "its CPU is the user and system time wait4() reports over its wall time, and the simulator's ACK count must "
        "equal the frames sent. The window's figure beside it is the 960/s row's of the same run.\n"
        "- Wine: the driver of `make test-windows` installs korvane.exe from its installer in a fresh Wine prefix on "
        "Xvfb, opens COM3 (korvane-sim --serial COM3) with real X input and lets the simulator send numbered 4-byte "
        "frames at 960 a second; a frame counts when the simulator has its FF and the log its row, in order. CPU is "
        "/proc/PID/stat (every thread) of korvane.exe and of wineserver, which carries part of the serial calls, over "
        "the same wall time. One run. Wine on Linux is not Windows: the row says what the Windows build costs here.\n"
        "- Monitor: korvane-bench-monitor plays the host on COM3 and the device on a pseudo-terminal whose slave "
        "`korvane-sim --monitor COM3 /dev/pts/N --pcap ... --log ...` opens as its line, and writes 4-byte frames into "
        "both ends at 960 a second each (the two ways half a period apart). Latency runs from the return of the write "
        "that put a frame on one end to the read that took its last byte from the other (CLOCK_MONOTONIC), so it holds "
        "two pseudo-terminal hops and the driver's own wake-up besides what the monitor adds; every byte is compared "
        "with what was written. CPU is the monitor's time on a core, all its threads (/proc/PID/task/*/schedstat), over the same wall time; the monitor's and socat's runs take turns. The "
        "flood case sends noise B>A as fast as 4 KiB every 2 ms while the frames go A>B. socat between the same two "
        "lines, doing nothing but pass bytes on, is the reference: every read wakes a forwarder once, and what that "
        "costs is the machine's, not the monitor's.\n"
        "- Python round trip: bench/pyroundtrip.py with Debian's python3, against `korvane-sim --serial` on a "
        "pseudo-terminal. One loop calls `device.send()` of the korvane package (korvane-cli in session mode behind it) "
        "and times it from the call to its return with the ACK; the other writes the same frame with pyserial "
        "straight to the pseudo-terminal and reads the ACK. A run is 1,000 frames of each loop in turn on the same "
        "line; each run's median and p99 are figures of their own.\n"
        "- RFC 2217: the same two loops with Debian's ser2net serving the simulator's line as labgrid's exporter does "
        "(`telnet(rfc2217,mode=server)`, its default chardelay), the package on `rfc2217://`, pyserial on "
        "`rfc2217://...?ign_set_control`. The open is timed from exec of `korvane-cli session` to its hello, beside "
        "pyserial's `serial_for_url`, 20 of each a run; the listening as korvane-cli's 960/s row, through ser2net "
        "(`korvane-bench-cli --rfc2217`), its stream started once the open has settled. Of the open, some 43 ms are "
        "ser2net's: it answers the purge at once and the line settings that long after; the open waits for them, so "
        "that the hello can say what the server set.\n"
        "- History: korvane-bench-history writes a traffic log of 10 million good frames (the window's rows, ~0.5 GB) "
        "and a capture of 10 million packets, each a 4-byte frame one way with the reply to the other way's last frame "
        "in front of it, through the shared writers; then opens each as the history window does, indexing in 20 ms "
        "slices. First rows: open, the first slice and the first 50 rows decoded. Filters: a type, and the NAKed frames "
        "(every tenth). Memory: the growth of anonymous resident memory (RssAnon) over the index, per frame; the mapped "
        "file's pages are the page cache's. The files are read warm, just written, as the window reads its own record.\n"
        "\nEvery figure with each run's value is in bench/results.json (not committed); "
        "`build-release/bench/korvane-bench-report --from-results bench/results.json --markdown docs/performance.md` "
        "prints the table again and rewrites this file.\n");

    std::printf("\nKorvane benchmarks, %s, %d cores\n\n%s\n%s\n", qPrintable(date), cores, qPrintable(table),
                missed ? qPrintable(QStringLiteral("%1 budget rows missed").arg(missed)) : "every budget row holds");

    if (!resultsPath.isEmpty()) {
        QFile out(resultsPath);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            out.write(QJsonDocument(QJsonObject{{QStringLiteral("date"), date},
                                                {QStringLiteral("cores"), cores},
                                                {QStringLiteral("load_before"), loadBefore},
                                                {QStringLiteral("load_after"), loadAfter},
                                                {QStringLiteral("parts"), partDocs}})
                          .toJson());
        }
    }
    if (!markdownPath.isEmpty()) {
        QFile out(markdownPath);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            out.write(md.toUtf8());
    }
    return 0;
}
