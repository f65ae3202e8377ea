// The receive path without a link: the window's own decoder fed the way a
// poll tick feeds it, in chunks of at most 100 bytes with one time stamp per
// chunk.
//
//   korvane-bench-decoder [--out FILE]
//
// Times are the CPU time of the thread that runs the window.
//
// Figures: ns per byte over 64 MiB of mixed bytes whose frames all fail their
// checksum (nothing is shown or logged), us per good frame through decode,
// frame line, view ring, log row and the tick's log write, and apart from
// that the cost of one rebuild (and repaint) of the view, which happens at
// most ten times a second however busy the link.
//
// Environment for quick checks: KORVANE_BENCH_RUNS (default 5),
// KORVANE_BENCH_DECODER_MIB (default 64), KORVANE_BENCH_FRAMES (default 200000).

#include "benchfigures.h"
#include "korvaneprobe.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<char>;

// CPU time of this thread: what the code costs, not how long a machine that
// other work shares took to run it.
struct Clock
{
    using time_point = double;
    static double now()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
};

double secondsSince(double t0)
{
    return Clock::now() - t0;
}

bool isSpecial(std::uint8_t b)
{
    return b == LinkFrame::StartByte || b == LinkFrame::Ack || b == LinkFrame::Nak;
}

// Noise, frames of every length from 0 to 50, and a few over-long frames
// (len above 50), each with a checksum that does not match. Bytes that the
// decoder scans while waiting for a start byte are never 2E, FF or F0, so
// the stream stays in step with how it was built and nothing reaches the
// reply label either.
Bytes badStream(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    auto byte = [&] { return static_cast<std::uint8_t>(random() & 0xFF); };
    auto plain = [&] {
        std::uint8_t b;
        do
            b = byte();
        while (isSpecial(b));
        return b;
    };

    Bytes out;
    out.reserve(size + 512);
    while (out.size() < size) {
        const int noise = static_cast<int>(random() % 9);
        for (int i = 0; i < noise; ++i)
            out.push_back(static_cast<char>(plain()));

        const std::uint8_t type = byte();
        const bool overLong = random() % 64 == 0;
        const std::uint8_t len = overLong ? static_cast<std::uint8_t>(51 + random() % 205)
                                          : static_cast<std::uint8_t>(random() % 51);
        out.push_back(static_cast<char>(LinkFrame::StartByte));
        out.push_back(static_cast<char>(type));
        out.push_back(static_cast<char>(len));
        std::uint8_t sum = static_cast<std::uint8_t>(type + len);
        const int kept = len > LinkFrame::MaxRecordData ? LinkFrame::MaxRecordData : len;
        for (int i = 0; i < kept; ++i) {
            const std::uint8_t d = byte();
            sum = static_cast<std::uint8_t>(sum + d);
            out.push_back(static_cast<char>(d));
        }
        // The byte the decoder compares: anything but the checksum.
        out.push_back(static_cast<char>(static_cast<std::uint8_t>(~sum + 1 + random() % 255)));
        if (overLong) {
            // The rest of an over-long frame is scanned as if between frames.
            for (int i = kept + 1; i <= len; ++i)
                out.push_back(static_cast<char>(plain()));
        }
    }
    return out;
}

// count good frames of `dataLen` data bytes, with types and data varying.
Bytes goodStream(int count, int dataLen)
{
    Bytes out;
    out.reserve(static_cast<std::size_t>(count) * static_cast<std::size_t>(dataLen + LinkFrame::Overhead));
    std::uint8_t data[LinkFrame::MaxRecordData];
    std::uint8_t frame[LinkFrame::MaxRecordData + LinkFrame::Overhead];
    for (int n = 0; n < count; ++n) {
        for (int i = 0; i < dataLen; ++i)
            data[i] = static_cast<std::uint8_t>(n * 7 + i);
        const int size = LinkFrame::encode(static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(dataLen), data, frame);
        out.insert(out.end(), reinterpret_cast<char*>(frame), reinterpret_cast<char*>(frame) + size);
    }
    return out;
}

// Feeds the bytes as consecutive polls of at most 100 bytes. Returns seconds.
double feed(Korvane& window, const Bytes& bytes)
{
    const auto t0 = Clock::now();
    const std::size_t n = bytes.size();
    for (std::size_t at = 0; at < n; at += Korvane::PollBytes) {
        const std::size_t chunk = n - at < Korvane::PollBytes ? n - at : Korvane::PollBytes;
        window.DecodePoll(bytes.data() + at, static_cast<int>(chunk));
    }
    return secondsSince(t0);
}

qint64 logRows()
{
    QFile log(QStringLiteral("Korvane_data.csv"));
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    // Rows are the lines that start "hh:mm:ss,zzz,2E,"; header lines do not.
    qint64 rows = 0;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.size() > 15 && line[8] == ',' && line.mid(12, 4) == ",2E,")
            ++rows;
    }
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QString out;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--out"))
            out = args[i + 1];
    }

    const int runs = static_cast<int>(BenchFigures::envCount("KORVANE_BENCH_RUNS", 5));
    const long long mib = BenchFigures::envCount("KORVANE_BENCH_DECODER_MIB", 64);
    const int frames = static_cast<int>(BenchFigures::envCount("KORVANE_BENCH_FRAMES", 200000));

    // The log goes to a directory of our own, as the tool's does to its
    // working directory.
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path())) {
        std::fprintf(stderr, "no temporary directory\n");
        return 1;
    }

    BenchFigures::Sheet sheet(QStringLiteral("decoder"));
    std::printf("decoder: %d runs, %lld MiB of failing frames, %d good frames per length\n", runs, mib, frames);
    std::fflush(stdout);

    const Bytes bad = badStream(static_cast<std::size_t>(mib) << 20, 1);
    const Bytes short4 = goodStream(frames, 0);
    const Bytes long17 = goodStream(frames, LinkFrame::MaxSendData);

    for (int run = 0; run < runs; ++run) {
        // A fresh window per run: the same state a started tool has.
        Korvane window;
        KorvaneProbe probe(window);
        window.show();
        QApplication::processEvents();

        const double tBad = feed(window, bad);
        if (probe.rxSlot() != 0 || logRows() != 0) {
            std::fprintf(stderr, "a frame of the failing stream was shown: the stream is wrong\n");
            return 1;
        }
        sheet.add(QStringLiteral("decoder_ns_per_byte"), QStringLiteral("decoder alone"), QStringLiteral("ns/byte"),
                  tBad * 1e9 / static_cast<double>(bad.size()));

        const double t4 = feed(window, short4);
        const double t17 = feed(window, long17);
        if (logRows() != 2LL * frames) {
            std::fprintf(stderr, "expected %d log rows, found %lld\n", 2 * frames, logRows());
            return 1;
        }
        sheet.add(QStringLiteral("path_us_per_frame_4"), QStringLiteral("receive path per good frame, 4-byte frames"),
                  QStringLiteral("us/frame"), t4 * 1e6 / frames);
        sheet.add(QStringLiteral("path_us_per_frame_17"), QStringLiteral("receive path per good frame, 17-byte frames"),
                  QStringLiteral("us/frame"), t17 * 1e6 / frames);

        // The view: the cost of one rebuild and of the repaint that follows
        // it, measured after a tick of one frame each.
        const int turns = 2000;
        double rebuild = 0;
        double repaint = 0;
        QApplication::processEvents();
        for (int i = 0; i < turns; ++i) {
            window.DecodePoll(short4.data() + 4 * (i % frames), 4);
            auto t0 = Clock::now();
            probe.display().RefreshView();
            rebuild += secondsSince(t0);
            t0 = Clock::now();
            QApplication::processEvents();
            repaint += secondsSince(t0);
        }
        sheet.add(QStringLiteral("view_rebuild_us"), QStringLiteral("view rebuild (at most 10 a second)"), QStringLiteral("us each"),
                  rebuild * 1e6 / turns);
        sheet.add(QStringLiteral("view_repaint_us"), QStringLiteral("view repaint after it, offscreen"),
                  QStringLiteral("us each"), repaint * 1e6 / turns);

        QFile::remove(QStringLiteral("Korvane_data.csv"));
    }

    sheet.note(QStringLiteral("bad_stream_bytes"), static_cast<double>(bad.size()));
    sheet.note(QStringLiteral("good_frames_per_length"), frames);
    sheet.print();
    if (!out.isEmpty() && !sheet.write(out))
        return 1;
    return 0;
}
