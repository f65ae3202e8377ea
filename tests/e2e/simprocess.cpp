#include "simprocess.h"

#include <QDeadlineTimer>
#include <QTest>

SimProcess::~SimProcess()
{
    if (proc.state() != QProcess::NotRunning) {
        proc.write("quit\n");
        proc.closeWriteChannel();
        if (!proc.waitForFinished(5000)) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }
}

bool SimProcess::start(const QStringList& arguments, int timeoutMs)
{
    const QByteArray path = qgetenv("KORVANE_SIM");
    if (path.isEmpty()) {
        error = QStringLiteral("KORVANE_SIM is not set: run the test through ctest");
        return false;
    }
    proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc.start(QString::fromLocal8Bit(path), arguments);
    if (!proc.waitForStarted(timeoutMs)) {
        error = QStringLiteral("korvane-sim did not start: ") + proc.errorString();
        return false;
    }
    if (waitForLine(QRegularExpression(QStringLiteral("^ready ")), timeoutMs).isEmpty()) {
        error = QStringLiteral("korvane-sim printed no ready line; it printed: ") + lines.join(QLatin1Char('|'));
        return false;
    }
    return true;
}

void SimProcess::command(const QString& line)
{
    proc.write(line.toLatin1() + '\n');
    proc.waitForBytesWritten(1000);
}

void SimProcess::collect()
{
    partial += proc.readAllStandardOutput();
    int nl;
    while ((nl = partial.indexOf('\n')) >= 0) {
        lines << QString::fromLatin1(partial.left(nl));
        partial.remove(0, nl + 1);
    }
}

QString SimProcess::waitForLine(const QRegularExpression& pattern, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        for (const QString& l : qAsConst(lines)) {
            if (pattern.match(l).hasMatch())
                return l;
        }
        if (deadline.hasExpired() || proc.state() == QProcess::NotRunning)
            return QString();
        // Keep the window's event loop turning while the simulator works.
        QTest::qWait(5);
    }
}

QStringList SimProcess::linesMatching(const QRegularExpression& pattern)
{
    collect();
    QStringList found;
    for (const QString& l : qAsConst(lines)) {
        if (pattern.match(l).hasMatch())
            found << l;
    }
    return found;
}
