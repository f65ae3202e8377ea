#include "linesplitter.h"

#include <cstring>

void LineSplitter::feed(const char* bytes, std::size_t count, std::vector<Line>& lines)
{
    while (count > 0) {
        const auto* end = static_cast<const char*>(std::memchr(bytes, '\n', count));
        const std::size_t take = end ? static_cast<std::size_t>(end - bytes) : count;
        if (!m_skipping) {
            if (m_partial.size() + take > m_limit) {
                m_partial.clear();
                m_partial.shrink_to_fit();
                m_skipping = true;
            } else {
                m_partial.append(bytes, take);
            }
        }
        if (!end)
            return;
        Line line;
        line.oversized = m_skipping;
        line.text.swap(m_partial);
        if (!line.text.empty() && line.text.back() == '\r')
            line.text.pop_back();
        if (line.oversized || !line.text.empty())
            lines.push_back(std::move(line));
        m_skipping = false;
        bytes += take + 1;
        count -= take + 1;
    }
}

void LineSplitter::finish(std::vector<Line>& lines)
{
    if (!m_skipping && m_partial.empty())
        return;
    const char end = '\n';
    feed(&end, 1, lines);
}
