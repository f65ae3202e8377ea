// The write side of the line: pieces queued whole, handed on as the line
// takes them, and counted as gone only when the line says so.
#include "link.h"

#include "linkreason.h"
#ifdef KORVANE_HAVE_RFC2217
#include "rfc2217line.h"
#endif

#include <algorithm>

using namespace win; // constants are macros on Windows, names in win elsewhere

namespace {

constexpr std::int64_t MsNs = 1000000;
// 38400 baud, ten bits a byte on the line.
constexpr std::int64_t ByteOnLineNs = 10 * 1000000000LL / 38400;
// What a piece may take beyond its time on the line, and at the most: a
// device that takes nothing for a second is not going to take the frame.
constexpr std::int64_t MarginNs = 500 * MsNs;
constexpr std::int64_t MostNs = 1000 * MsNs;
// Handed to one overlapped write at the most.
constexpr std::size_t WriteChunk = 4096;

std::string bytesText(std::uint64_t n)
{
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

} // namespace

std::uint64_t Link::queue(const std::uint8_t* bytes, std::size_t count, std::int64_t nowNs)
{
    Piece piece;
    piece.start = m_queued;
    piece.end = m_queued + count;
    piece.queuedNs = nowNs;
    // Its own time on the line and that of everything ahead of it.
    const std::int64_t onLine = static_cast<std::int64_t>(piece.end - m_left) * ByteOnLineNs;
    piece.deadlineNs = nowNs + std::min(MostNs, onLine + MarginNs);
    m_waiting.insert(m_waiting.end(), bytes, bytes + count);
    m_queued = piece.end;
    if (count > 0)
        m_pieces.push_back(piece);
    return piece.end;
}

std::int64_t Link::deadlineNs() const
{
    return m_pieces.empty() ? -1 : m_pieces.front().deadlineNs;
}

bool Link::waitsForRoom() const
{
    // A socket tells when it has room; so does one that holds an RFC 2217
    // line's escaped bytes.
    return m_address.network() && (!m_waiting.empty() || m_handed > m_left);
}

bool Link::pump(std::string& reason)
{
    if (!m_open) {
        reason = "the line is not open";
        return false;
    }
    if (!writing())
        return true;
    const bool ok = m_address.kind == PortAddress::Kind::Tcp       ? pumpTcp(reason)
                  : m_address.kind == PortAddress::Kind::Rfc2217 ? pumpRfc2217(reason)
                                                                  : pumpSerial(reason);
    while (!m_pieces.empty() && m_pieces.front().end <= m_left)
        m_pieces.pop_front();
    return ok;
}

bool Link::pumpTcp(std::string& reason)
{
    // A socket's buffer is as far as anyone here can see the bytes go.
    std::size_t done = 0;
    while (done < m_waiting.size()) {
        const int n = m_net->send(reinterpret_cast<const char*>(m_waiting.data() + done),
                                  static_cast<int>(std::min<std::size_t>(m_waiting.size() - done, 1 << 16)));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int code = win::WSAGetLastError();
        if (code == WSAEWOULDBLOCK)
            break;
        m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(done));
        reason = LinkReason::lostText(LinkReason::connectionLost(code), code);
        return false;
    }
    m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(done));
    m_handed += done;
    m_left = m_handed;
    return true;
}

bool Link::pumpRfc2217(std::string& reason)
{
#ifdef KORVANE_HAVE_RFC2217
    // The line escapes what it takes and holds it until the socket has
    // taken it whole; only then has it left.
    if (!m_waiting.empty()) {
        const int n = m_rfc->write(m_waiting.data(), static_cast<int>(std::min<std::size_t>(m_waiting.size(), 1 << 16)));
        if (n > 0) {
            m_waiting.erase(m_waiting.begin(), m_waiting.begin() + n);
            m_handed = m_rfcBase + m_rfc->deviceQueued();
        }
    }
    const bool ok = m_rfc->flush();
    m_left = m_rfcBase + m_rfc->deviceSent();
    if (!ok) {
        const int code = m_rfc->lostCode();
        reason = LinkReason::lostText(LinkReason::connectionLost(code), code);
    }
    return ok;
#else
    reason = "this build has no RFC 2217";
    return false;
#endif
}

bool Link::pumpSerial(std::string& reason)
{
    const HANDLE handle = m_serial->nativeHandle();
    if (m_writePending) {
        DWORD n = 0;
        if (win::GetOverlappedResult(handle, &m_writeOverlapped, &n, FALSE)) {
            m_writePending = false;
            m_inFlight.clear();
        } else if (win::GetLastError() != ERROR_IO_INCOMPLETE) {
            const DWORD code = win::GetLastError();
            reason = LinkReason::lostText(LinkReason::serialLost(code), static_cast<long>(code));
            return false;
        }
    }
    if (!m_writePending && !m_waiting.empty()) {
        const std::size_t take = std::min(m_waiting.size(), WriteChunk);
        m_inFlight.assign(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(take));
        m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(take));
        m_handed += take;
        DWORD n = 0;
        if (win::WriteFile(handle, m_inFlight.data(), static_cast<DWORD>(take), &n, &m_writeOverlapped)) {
            m_inFlight.clear();
        } else if (win::GetLastError() == ERROR_IO_PENDING) {
            m_writePending = true;
        } else {
            const DWORD code = win::GetLastError();
            reason = LinkReason::lostText(LinkReason::serialLost(code), static_cast<long>(code));
            return false;
        }
    }
    // The driver's queue counts what was handed and has not gone out,
    // a running overlapped write included.
    DWORD errors = 0;
    COMSTAT stat = {};
    if (!win::ClearCommError(handle, &errors, &stat)) {
        const DWORD code = win::GetLastError();
        reason = LinkReason::lostText(LinkReason::serialLost(code), static_cast<long>(code));
        return false;
    }
    const std::uint64_t out = std::min<std::uint64_t>(stat.cbOutQue, m_handed);
    m_left = std::max(m_left, m_handed - out);
    return true;
}

std::string Link::abandon(std::int64_t nowNs)
{
    std::string said = "nothing waited";
    if (!m_pieces.empty()) {
        const Piece& piece = m_pieces.front();
        const std::uint64_t gone = m_left > piece.start ? m_left - piece.start : 0;
        said = "the line took " + std::to_string(gone) + " of " + bytesText(piece.end - piece.start) + " in "
            + std::to_string((nowNs - piece.queuedNs) / MsNs) + " ms";
    }
    if (m_serial && m_open) {
        // What the driver holds would go out whenever the device lets it,
        // long after its request was answered: it goes now.
        if (m_writePending) {
            DWORD n = 0;
            win::CancelIoEx(m_serial->nativeHandle(), &m_writeOverlapped);
            win::GetOverlappedResult(m_serial->nativeHandle(), &m_writeOverlapped, &n, TRUE);
        }
        win::PurgeComm(m_serial->nativeHandle(), PURGE_TXABORT | PURGE_TXCLEAR);
    }
#ifdef KORVANE_HAVE_RFC2217
    if (m_rfc && m_open)
        m_rfc->dropUnsent();
#endif
    resetWrites();
    return said;
}

void Link::resetWrites()
{
    if (m_writePending && m_serial) {
        DWORD n = 0;
        win::CancelIoEx(m_serial->nativeHandle(), &m_writeOverlapped);
        win::GetOverlappedResult(m_serial->nativeHandle(), &m_writeOverlapped, &n, TRUE);
    }
    m_writePending = false;
    m_inFlight.clear();
    m_waiting.clear();
    m_pieces.clear();
    // What has not gone never will: the stream goes on from what did.
    m_queued = m_handed = m_left;
#ifdef KORVANE_HAVE_RFC2217
    // Except a piece an RFC 2217 line has begun: it goes on to its end, so
    // that the server never sees half an escape; nothing waits for it.
    if (m_rfc && m_open) {
        m_queued = m_handed = m_rfcBase + m_rfc->deviceQueued();
        m_left = m_rfcBase + m_rfc->deviceSent();
    }
#endif
}
