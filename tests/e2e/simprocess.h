#pragma once
// The device simulator as a child process of a test: started with the
// test's environment (so it sees the same ports folder and network
// namespace), fed commands on its standard input, and read line by line.

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

class SimProcess
{
public:
    ~SimProcess();

    // Starts korvane-sim with the arguments and waits for its "ready" line.
    bool start(const QStringList& arguments, int timeoutMs = 10000);
    void command(const QString& line);
    // Waits until a line matching the pattern has been printed (counting
    // lines already seen) and returns the first such line, or an empty text.
    QString waitForLine(const QRegularExpression& pattern, int timeoutMs = 10000);
    // All lines printed so far that match the pattern.
    QStringList linesMatching(const QRegularExpression& pattern);
    int countMatching(const QRegularExpression& pattern) { return linesMatching(pattern).size(); }
    QString errorText() const { return error; }
    QProcess& process() { return proc; }

private:
    void collect();

    QProcess proc;
    QStringList lines;
    QByteArray partial;
    QString error;
};
