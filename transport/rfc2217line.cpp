#include "rfc2217line.h"

#include <algorithm>
#include <chrono>
#include <cstring>

using namespace win; // constants are macros on Windows, names in win elsewhere

bool Rfc2217Line::connectTo(const char* address, u_short port, int negotiationMs)
{
    close();
    if (!m_net.connectTo(address, port))
        return false;
    m_open = true;
    m_lostCode = 0;
    m_client.start(m_out);
    markOut();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(negotiationMs);
    // The answers come in a round trip or two; a server that never gives
    // them is waited for no longer than the caller allows.
    while (!m_client.ready()) {
        if (!flush() || !pump())
            return true; // opened, then lost: the first read says so
        if (m_client.ready())
            break;
        if (std::chrono::steady_clock::now() >= giveUp) {
            m_client.giveUp(m_in);
            break;
        }
        win::Sleep(1);
    }
    flush();
    return true;
}

void Rfc2217Line::close()
{
    if (m_open)
        m_net.close();
    m_open = false;
    m_in.clear();
    m_inTaken = 0;
    m_out.clear();
    m_outSent = 0;
    m_marks.clear();
    m_wireSent = m_wireGoneWhole = m_deviceQueued = m_deviceSent = 0;
}

void Rfc2217Line::markOut()
{
    const std::uint64_t end = m_wireSent + pending();
    if (end > (m_marks.empty() ? m_wireGoneWhole : m_marks.back().wireEnd))
        m_marks.push_back(Mark{end, m_deviceQueued});
}

void Rfc2217Line::dropUnsent()
{
    // The first piece not gone whole: kept if the socket has begun it.
    std::size_t keep = 0;
    if (!m_marks.empty() && m_wireSent > m_wireGoneWhole)
        keep = 1;
    const std::uint64_t cut = keep > 0 ? m_marks.front().wireEnd : m_wireGoneWhole;
    m_out.resize(m_outSent + static_cast<std::size_t>(cut - m_wireSent));
    m_deviceQueued = keep > 0 ? m_marks.front().deviceEnd : m_deviceSent;
    m_marks.resize(keep);
}

bool Rfc2217Line::gone(int code)
{
    m_lostCode = code;
    return false;
}

bool Rfc2217Line::pump()
{
    std::uint8_t chunk[4096];
    for (;;) {
        const int n = m_net.recv(reinterpret_cast<char*>(chunk), static_cast<int>(sizeof chunk));
        if (n == 0)
            return gone(0);
        if (n < 0) {
            const int code = win::WSAGetLastError();
            return code == WSAEWOULDBLOCK ? true : gone(code);
        }
        if (m_inTaken == m_in.size()) {
            m_in.clear();
            m_inTaken = 0;
        }
        m_client.receive(chunk, static_cast<std::size_t>(n), m_in, m_out);
        markOut();
        if (!m_client.failure().empty())
            return gone(0);
        if (n < static_cast<int>(sizeof chunk))
            return true;
    }
}

int Rfc2217Line::read(std::uint8_t* buffer, int size)
{
    if (!m_open)
        return 0;
    const bool alive = pump();
    // Negotiation answers the server asked for go out at once.
    const bool sent = flush();
    const std::size_t waiting = m_in.size() - m_inTaken;
    if (waiting > 0 && size > 0) {
        const std::size_t n = std::min(waiting, static_cast<std::size_t>(size));
        std::memcpy(buffer, m_in.data() + m_inTaken, n);
        m_inTaken += n;
        return static_cast<int>(n);
    }
    return alive && sent ? 0 : -1;
}

int Rfc2217Line::write(const std::uint8_t* bytes, int count)
{
    if (!m_open || count <= 0)
        return 0;
    if (pending() >= MaxQueued) {
        if (!flush())
            return -1;
        if (pending() >= MaxQueued)
            return 0;
    }
    m_client.encode(bytes, static_cast<std::size_t>(count), m_out);
    m_deviceQueued += static_cast<std::uint64_t>(count);
    markOut();
    return flush() ? count : -1;
}

bool Rfc2217Line::flush()
{
    while (m_outSent < m_out.size()) {
        const int n = m_net.send(reinterpret_cast<const char*>(m_out.data() + m_outSent),
                                 static_cast<int>(m_out.size() - m_outSent));
        if (n > 0) {
            m_outSent += static_cast<std::size_t>(n);
            m_wireSent += static_cast<std::uint64_t>(n);
            std::size_t whole = 0;
            while (whole < m_marks.size() && m_marks[whole].wireEnd <= m_wireSent) {
                m_wireGoneWhole = m_marks[whole].wireEnd;
                m_deviceSent = m_marks[whole].deviceEnd;
                ++whole;
            }
            m_marks.erase(m_marks.begin(), m_marks.begin() + static_cast<std::ptrdiff_t>(whole));
            continue;
        }
        const int code = win::WSAGetLastError();
        return code == WSAEWOULDBLOCK ? true : gone(code);
    }
    m_out.clear();
    m_outSent = 0;
    return true;
}
