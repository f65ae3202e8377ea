#include "wineprocess.h"

#include "wirecases.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace WineProcess {

Wine find(const std::string& prefix)
{
    Wine wine;
    wine.loader = firstExisting({"/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine"});
    wine.server = firstExisting({"/usr/lib/wine/wineserver64", "/usr/bin/wineserver"});
    wine.prefix = prefix;
    return wine;
}

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void pollPause()
{
    struct timespec pause = {0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
}

pid_t start(const std::vector<std::string>& args, const char* dir, int errFd, int outFd, int inFd)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dir && ::chdir(dir) != 0)
            ::_exit(126);
        ::dup2(inFd >= 0 ? inFd : ::open("/dev/null", O_RDONLY), STDIN_FILENO);
        if (outFd >= 0)
            ::dup2(outFd, STDOUT_FILENO);
        if (errFd >= 0)
            ::dup2(errFd, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    return pid;
}

void stop(const Wine& wine)
{
    ::waitpid(start({wine.server, "-k"}), nullptr, 0);
}

bool waitEnd(pid_t pid, int limitMs, int* status)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    pid_t ended;
    while ((ended = ::waitpid(pid, status, WNOHANG)) == 0 && msLeft(deadline) > 0)
        pollPause();
    return ended == pid;
}

int exitCode(const Wine& wine, pid_t pid, int limitMs)
{
    int status = 0;
    if (!waitEnd(pid, limitMs, &status)) {
        stop(wine);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void checkRun(const Wine& wine, pid_t pid, const char* group, int limitMs)
{
    const int code = exitCode(wine, pid, limitMs);
    WireCases::check(code == 0, (std::string("wine run \"") + group + "\" ends with 0").c_str(),
                     code < 0 ? "ended after the time limit, or by a signal" : "exit code " + std::to_string(code));
}

std::string drain(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string text;
    char buffer[4096];
    ssize_t r;
    while ((r = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(r));
    return text;
}

std::string firstExisting(std::initializer_list<const char*> paths)
{
    for (const char* p : paths) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return *paths.begin();
}

} // namespace WineProcess
