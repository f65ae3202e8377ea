#pragma once
// Follows the traffic log as the window writes it and stamps each new row
// with the wall-clock time it was seen, for the live benchmark's latency.
// A row is "in order" when it is the frame expected at its place: 4-byte
// frames carry the row number mod 256 in their type, longer ones a 32-bit
// sequence number in data bytes 0..3.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <thread>
#include <vector>

// One row seen in the log: when, and whether it is the frame expected at
// its place in the order.
struct SeenRow
{
    qint64 seenNs;
    bool inOrder;
};

class LogWatcher
{
public:
    LogWatcher(const QString& path, int frameDataLen);
    ~LogWatcher();
    LogWatcher(const LogWatcher&) = delete;
    LogWatcher& operator=(const LogWatcher&) = delete;

    bool ok() const { return fd >= 0 && notify >= 0; }
    void start();
    void stop();
    long long count() const { return seen.load(); }
    const std::vector<SeenRow>& result() const { return rows; }

private:
    void run();
    void drain();
    void take(QByteArrayView line, qint64 now);

    int dataLen;
    int fd = -1;
    int notify = -1;
    QByteArray partial;
    std::vector<SeenRow> rows;
    std::atomic<long long> seen{0};
    std::atomic<bool> done{false};
    std::thread worker;
};
