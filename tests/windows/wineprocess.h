#pragma once
// Wine as the driver runs it: a private prefix, programs started as this
// process's children (so that they share its namespaces and it can reap
// them), and waits with a time limit.

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include <sys/types.h>

namespace WineProcess {

using Clock = std::chrono::steady_clock;

constexpr int RunLimitMs = 60000; // one Wine run, prefix creation included

struct Wine
{
    std::string loader;
    std::string server;
    std::string prefix;
};

// wine64 and its server as Debian installs them.
Wine find(const std::string& prefix);

int msLeft(Clock::time_point deadline);
// Between two looks at something that gives no descriptor to wait on.
void pollPause();

// Starts args[0] with the rest as its arguments, in dir when given; its
// standard output and error go to outFd and errFd when those are not -1,
// its standard input comes from inFd (else /dev/null).
pid_t start(const std::vector<std::string>& args, const char* dir = nullptr, int errFd = -1, int outFd = -1,
            int inFd = -1);

// Ends this prefix's server and every Wine process still running in it: a
// run whose other side has failed is not waited for.
void stop(const Wine& wine);

// Waits for a process to end, at most limitMs; its wait status in *status.
bool waitEnd(pid_t pid, int limitMs, int* status = nullptr);

// Waits for a run, at most limitMs (Wine ended after that): its exit code,
// or -1 when it was ended.
int exitCode(const Wine& wine, pid_t pid, int limitMs = RunLimitMs);

// Waits for a run as exitCode() does, and checks that it ended with 0.
void checkRun(const Wine& wine, pid_t pid, const char* group, int limitMs = RunLimitMs);

// Whatever is in a non-blocking descriptor now.
std::string drain(int fd);

std::string firstExisting(std::initializer_list<const char*> paths);

} // namespace WineProcess
