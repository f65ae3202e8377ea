#include "console.h"

#include <cerrno>
#include <csignal>

#include <poll.h>
#include <unistd.h>

struct Console::Reader
{
};

Console::Console()
{
    // A reader that went away shows as EPIPE on the next write.
    std::signal(SIGPIPE, SIG_IGN);
}

Console::~Console() = default;

Console::Ready Console::wait(int lineDescriptor, bool watchInput, bool lineRoom, int timeoutMs)
{
    pollfd fds[2] = {};
    nfds_t count = 0;
    int lineAt = -1;
    int inputAt = -1;
    if (lineDescriptor >= 0) {
        fds[count] = {lineDescriptor, static_cast<short>(lineRoom ? POLLIN | POLLOUT : POLLIN), 0};
        lineAt = static_cast<int>(count++);
    }
    if (watchInput) {
        fds[count] = {STDIN_FILENO, POLLIN, 0};
        inputAt = static_cast<int>(count++);
    }
    Ready ready;
    if (::poll(fds, count, timeoutMs) <= 0)
        return ready;
    if (lineAt >= 0) {
        const short events = fds[lineAt].revents;
        ready.line = events != 0;
        ready.hungUp = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    if (inputAt >= 0)
        ready.input = fds[inputAt].revents != 0;
    return ready;
}

long Console::readInput(char* buffer, std::size_t size)
{
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR ? -1 : 0;
    return static_cast<long>(n);
}

bool Console::writeOutput(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
