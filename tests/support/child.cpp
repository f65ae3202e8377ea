// A child process read line by line.
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QTest>

#include <csignal>

namespace TestSupport {

Child::Child(ConfigHome config)
    : m_env(QProcessEnvironment::systemEnvironment())
{
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (config == OwnConfig)
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
}

Child::~Child()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(WaitMs);
    }
}

bool Child::start(const QString& program, const QStringList& arguments, const QString& workDir)
{
    m_process.setProcessEnvironment(m_env);
    if (!workDir.isEmpty())
        m_process.setWorkingDirectory(workDir);
    m_process.start(program, arguments);
    return m_process.waitForStarted(WaitMs);
}

bool Child::startSim(const QStringList& arguments)
{
    const QString program = qEnvironmentVariable("KORVANE_SIM");
    if (program.isEmpty()) {
        m_errors += "KORVANE_SIM is not set; run this test through ctest\n";
        return false;
    }
    return start(program, arguments);
}

bool Child::startReady(const QStringList& arguments, QRegularExpressionMatch* readyMatch)
{
    if (!startSim(arguments))
        return false;
    const QRegularExpressionMatch match = waitLine(QRegularExpression(QStringLiteral("^ready (.*)$")));
    if (readyMatch)
        *readyMatch = match;
    return match.hasMatch();
}

void Child::command(const QByteArray& line)
{
    m_process.write(line + '\n');
    m_process.waitForBytesWritten(WaitMs);
}

void Child::collect()
{
    m_partial += m_process.readAllStandardOutput();
    m_errors += m_process.readAllStandardError();
    int newline;
    while ((newline = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromLatin1(m_partial.left(newline));
        m_partial.remove(0, newline + 1);
    }
}

int Child::waitLineIndex(const QRegularExpression& pattern, int from, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        // Once the process has ended, whatever it printed is in the pipe already.
        const bool ended = m_process.state() == QProcess::NotRunning;
        if (ended)
            m_process.waitForReadyRead(0);
        collect();
        for (int i = from; i < m_lines.size(); ++i) {
            if (pattern.match(m_lines.at(i)).hasMatch())
                return i;
        }
        if (ended || deadline.hasExpired())
            return -1;
        QTest::qWait(5);
    }
}

QRegularExpressionMatch Child::waitLine(const QRegularExpression& pattern, int from, int timeoutMs)
{
    const int index = waitLineIndex(pattern, from, timeoutMs);
    return index < 0 ? QRegularExpressionMatch() : pattern.match(m_lines.at(index));
}

QRegularExpressionMatch Child::ask(const QByteArray& line, const QRegularExpression& pattern, int timeoutMs)
{
    const int from = lines().size();
    command(line);
    return waitLine(pattern, from, timeoutMs);
}

QMap<QString, qint64> Child::parseStats(const QString& line)
{
    QMap<QString, qint64> fields;
    const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const int equals = part.indexOf(QLatin1Char('='));
        if (equals > 0)
            fields.insert(part.left(equals), part.mid(equals + 1).toLongLong());
    }
    return fields;
}

QMap<QString, qint64> Child::stats()
{
    const QRegularExpressionMatch match = ask("stats", QRegularExpression(QStringLiteral("^stats .*$")));
    return match.hasMatch() ? parseStats(match.captured(0)) : QMap<QString, qint64>();
}

int Child::waitExit(int timeoutMs)
{
    if (!m_process.waitForFinished(timeoutMs) && m_process.state() != QProcess::NotRunning)
        return -1;
    collect();
    if (m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}

bool Child::signal(int number)
{
    return ::kill(static_cast<pid_t>(m_process.processId()), number) == 0;
}

QString Child::describe()
{
    collect();
    return QStringLiteral("stdout: ") + m_lines.join(QStringLiteral(" | ")) + QStringLiteral(" stderr: ")
        + QString::fromLocal8Bit(m_errors);
}

} // namespace TestSupport
