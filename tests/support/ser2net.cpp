#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

namespace TestSupport {

namespace {

// Whether something listens on 127.0.0.1:port, from the kernel's table.
bool listening(int port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = QByteArrayLiteral("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1] == local && f[3] == "0A")
            return true;
    }
    return false;
}

} // namespace

bool Ser2net::start(const QString& device, QString* why)
{
    {
        DeviceListener free("127.0.0.1", 0);
        m_port = free.port();
    }
    QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly)) {
        *why = QStringLiteral("no room for ser2net's configuration");
        return false;
    }
    config.write(QStringLiteral("connection: &con01\n"
                                "  accepter: telnet(rfc2217,mode=server),tcp,127.0.0.1,%1\n"
                                "  connector: serialdev(nouucplock=true),%2,38400n81,local\n"
                                "  options:\n"
                                "    max-connections: 10\n")
                     .arg(m_port)
                     .arg(device)
                     .toUtf8());
    config.close();
    if (!m_child.start(QStringLiteral("ser2net"), {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-u"),
                                                    QStringLiteral("-c"), config.fileName(), QStringLiteral("-P"),
                                                    m_dir.filePath(QStringLiteral("pid"))})) {
        *why = QStringLiteral("ser2net does not start (install it: scripts/install-deps.sh)");
        return false;
    }
    QElapsedTimer t;
    t.start();
    while (!listening(m_port)) {
        if (t.elapsed() > WaitMs || m_child.process().state() == QProcess::NotRunning) {
            *why = QStringLiteral("ser2net does not listen: ") + m_child.describe();
            return false;
        }
        QThread::msleep(5);
    }
    return true;
}

void Ser2net::stop()
{
    m_child.process().kill();
    m_child.process().waitForFinished(WaitMs);
}

} // namespace TestSupport
