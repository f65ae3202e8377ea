// Harness for the simulator tests: child process, peer ends, frame parser.
#include "simharness.h"

#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace SimHarness {

Sim::Sim()
    : m_env(QProcessEnvironment::systemEnvironment())
{
    m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
}

Sim::~Sim()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(WaitMs);
    }
}

bool Sim::start(const QStringList& arguments)
{
    const QString program = qEnvironmentVariable("KORVANE_SIM");
    if (program.isEmpty()) {
        qWarning("KORVANE_SIM is not set; run this test through ctest");
        return false;
    }
    m_process.setProcessEnvironment(m_env);
    m_process.start(program, arguments);
    return m_process.waitForStarted(WaitMs);
}

bool Sim::startReady(const QStringList& arguments, QRegularExpressionMatch* readyMatch)
{
    if (!start(arguments))
        return false;
    const QRegularExpressionMatch match = waitLine(QRegularExpression(QStringLiteral("^ready (.*)$")));
    if (readyMatch)
        *readyMatch = match;
    return match.hasMatch();
}

void Sim::command(const QByteArray& line)
{
    m_process.write(line + '\n');
    m_process.waitForBytesWritten(WaitMs);
}

void Sim::collect()
{
    m_partial += m_process.readAllStandardOutput();
    m_errors += m_process.readAllStandardError();
    int newline;
    while ((newline = m_partial.indexOf('\n')) >= 0) {
        m_lines << QString::fromLatin1(m_partial.left(newline));
        m_partial.remove(0, newline + 1);
    }
}

int Sim::waitLineIndex(const QRegularExpression& pattern, int from, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
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
        m_process.waitForReadyRead(static_cast<int>(qMin<qint64>(50, deadline.remainingTime())));
    }
}

QRegularExpressionMatch Sim::waitLine(const QRegularExpression& pattern, int from, int timeoutMs)
{
    const int index = waitLineIndex(pattern, from, timeoutMs);
    return index < 0 ? QRegularExpressionMatch() : pattern.match(m_lines.at(index));
}

QMap<QString, qint64> Sim::parseStats(const QString& line)
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

QMap<QString, qint64> Sim::stats()
{
    const int from = lines().size();
    command("stats");
    const QRegularExpressionMatch match = waitLine(QRegularExpression(QStringLiteral("^stats .*$")), from);
    return match.hasMatch() ? parseStats(match.captured(0)) : QMap<QString, qint64>();
}

int Sim::waitExit(int timeoutMs)
{
    if (!m_process.waitForFinished(timeoutMs) && m_process.state() != QProcess::NotRunning)
        return -1;
    collect();
    if (m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}

void Sim::signal(int number)
{
    ::kill(static_cast<pid_t>(m_process.processId()), number);
}

QString Sim::describe()
{
    collect();
    return QStringLiteral("stdout: ") + m_lines.join(QStringLiteral(" | ")) + QStringLiteral(" stderr: ")
        + QString::fromLocal8Bit(m_errors);
}

Peer::~Peer()
{
    close();
}

void Peer::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Peer::openTerminal(const QString& path)
{
    close();
    m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    termios tio{};
    if (::tcgetattr(m_fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    // TCSANOW: what the simulator has written already must stay readable.
    return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
}

bool Peer::connectLoopback(quint16 port)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        close();
        return false;
    }
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool Peer::write(const QByteArray& bytes)
{
    qsizetype done = 0;
    QDeadlineTimer deadline(WaitMs);
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd fd{m_fd, POLLOUT, 0};
        if (deadline.hasExpired())
            return false;
        ::poll(&fd, 1, static_cast<int>(qMin<qint64>(100, deadline.remainingTime())));
    }
    return true;
}

QByteArray Peer::read(int count, int timeoutMs, int chunk)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    std::vector<char> buffer(static_cast<std::size_t>(chunk));
    while (got.size() < count && !deadline.hasExpired()) {
        pollfd fd{m_fd, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(qMin<qint64>(100, deadline.remainingTime())));
        const ssize_t n = ::read(m_fd, buffer.data(), static_cast<size_t>(qMin<qsizetype>(chunk, count - got.size())));
        if (n > 0)
            got.append(buffer.data(), n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return got;
}

int Peer::waitEnd(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    char buffer[4096];
    while (!deadline.hasExpired()) {
        pollfd fd{m_fd, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(qMin<qint64>(100, deadline.remainingTime())));
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n == 0)
            return 0;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return errno;
    }
    return -1;
}

std::uint8_t checksum(std::uint8_t type, const std::vector<std::uint8_t>& data)
{
    unsigned sum = type + static_cast<unsigned>(data.size());
    for (std::uint8_t byte : data)
        sum += byte;
    return static_cast<std::uint8_t>(~sum);
}

QByteArray frameBytes(std::uint8_t type, const QByteArray& data, bool goodChecksum)
{
    std::vector<std::uint8_t> bytes(data.begin(), data.end());
    QByteArray frame;
    frame += char(0x2E);
    frame += char(type);
    frame += char(data.size());
    frame += data;
    std::uint8_t sum = checksum(type, bytes);
    frame += char(goodChecksum ? sum : static_cast<std::uint8_t>(sum + 1));
    return frame;
}

Parsed parseStream(const QByteArray& bytes)
{
    Parsed parsed;
    qsizetype i = 0;
    const auto at = [&](qsizetype k) { return static_cast<std::uint8_t>(bytes.at(k)); };
    while (i < bytes.size()) {
        if (at(i) != 0x2E) {
            parsed.between += bytes.at(i++);
            continue;
        }
        if (i + 3 > bytes.size()) {
            parsed.rest = bytes.mid(i);
            break;
        }
        const int len = at(i + 2);
        if (i + 4 + len > bytes.size()) {
            parsed.rest = bytes.mid(i);
            break;
        }
        Frame frame;
        frame.type = at(i + 1);
        for (int k = 0; k < len; ++k)
            frame.data.push_back(at(i + 3 + k));
        frame.checksum = at(i + 3 + len);
        frame.good = frame.checksum == checksum(frame.type, frame.data);
        parsed.frames.push_back(frame);
        i += 4 + len;
    }
    return parsed;
}

QRegularExpression serialReady(const QString& name)
{
    return QRegularExpression(QStringLiteral("^ready ") + QRegularExpression::escape(name) + QStringLiteral(" (/dev/\\S+)$"));
}

QRegularExpression tcpReady()
{
    return QRegularExpression(QStringLiteral("^ready 127\\.0\\.0\\.1:(\\d+)$"));
}

} // namespace SimHarness
