// The simulated device's standard input: the commands a person or a test
// types while it runs (see commands.h), one per line.
#include "simulator.h"

#include "linkframe.h"
#include "monoclock.h"

#include <unistd.h>

void Simulator::readInput()
{
    std::vector<std::string> lines;
    m_inputOpen = m_input.read(STDIN_FILENO, lines);
    for (const std::string& line : lines) {
        if (m_quitting)
            break;
        execute(line);
    }
    if (!m_inputOpen && m_options.exitOnEof)
        execute("quit");
}

void Simulator::execute(const std::string& line)
{
    const Command command = Command::parse(line);
    const bool hasPeer = m_link->peerFd() >= 0;
    switch (command.kind) {
    case Command::Kind::None:
        return;
    case Command::Kind::Invalid:
        Report::error(command.error + ": \"" + line + "\"");
        return;
    case Command::Kind::Send:
    case Command::Kind::Bad:
    case Command::Kind::Raw:
    case Command::Kind::Ack:
    case Command::Kind::Nak:
        if (!hasPeer) {
            Report::error("no connection; dropped \"" + line + "\"");
            return;
        }
        break;
    default:
        break;
    }

    switch (command.kind) {
    case Command::Kind::Send:
    case Command::Kind::Bad:
        queueFrame(command.type, command.bytes, command.kind == Command::Kind::Bad);
        break;
    case Command::Kind::Raw:
        m_out.push(command.bytes.data(), command.bytes.size(), ChunkKind::Raw);
        break;
    case Command::Kind::Ack:
    case Command::Kind::Nak: {
        const std::uint8_t reply = command.kind == Command::Kind::Ack ? LinkFrame::Ack : LinkFrame::Nak;
        m_out.push(&reply, 1, ChunkKind::Reply);
        break;
    }
    case Command::Kind::Close:
    case Command::Kind::Rst:
        if (!hasPeer && !m_link->isSerial()) {
            Report::error("no connection to close");
            return;
        }
        // Whatever is still queued goes first, as far as the peer takes it now.
        if (hasPeer && !m_out.empty())
            writePeer();
        if (m_link->peerFd() >= 0 || m_link->isSerial())
            dropPeer(true, command.kind == Command::Kind::Rst);
        break;
    case Command::Kind::Start:
        m_started = true;
        break;
    case Command::Kind::Stats:
        printStats();
        break;
    case Command::Kind::Quit:
        m_quitting = true;
        m_drainUntil = SimClock::monotonicNs() + QuitDrainNs;
        break;
    case Command::Kind::None:
    case Command::Kind::Invalid:
        break;
    }
}
