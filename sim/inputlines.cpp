// Standard input split into lines.
#include "inputlines.h"

#include "report.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool InputLines::read(int fd, std::vector<std::string>& lines)
{
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0) {
        if (!m_partial.empty() && !m_discarding)
            lines.push_back(m_partial);
        m_partial.clear();
        m_discarding = false;
        return false;
    }
    // Only the bytes just read are searched, once.
    const char* at = buffer;
    const char* const end = buffer + n;
    while (at < end) {
        const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        const char* stop = newline ? newline : end;
        if (!m_discarding && m_partial.size() + static_cast<std::size_t>(stop - at) > MaxLine) {
            m_discarding = true;
            m_partial.clear();
            Report::error("a line of standard input longer than " + std::to_string(MaxLine) + " bytes was discarded");
        }
        if (!m_discarding)
            m_partial.append(at, stop);
        if (!newline)
            break;
        if (!m_discarding) {
            if (!m_partial.empty() && m_partial.back() == '\r')
                m_partial.pop_back();
            lines.push_back(std::move(m_partial));
        }
        m_partial.clear();
        m_discarding = false;
        at = newline + 1;
    }
    return true;
}
