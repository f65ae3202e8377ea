// Standard input split into lines.
#include "inputlines.h"

#include <cerrno>
#include <unistd.h>

bool InputLines::read(int fd, std::vector<std::string>& lines)
{
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0) {
        if (!m_partial.empty())
            lines.push_back(m_partial);
        m_partial.clear();
        return false;
    }
    m_partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = m_partial.find('\n')) != std::string::npos) {
        std::string line = m_partial.substr(0, newline);
        m_partial.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return true;
}
