#include "console.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// Bytes the reader thread may hold before it waits for the client.
constexpr std::size_t ReaderLimit = 256 * 1024;

} // namespace

// Reads standard input on a thread of its own: ReadFile on a pipe or a
// console waits, and nothing can wait on it beside the line.
struct Console::Reader
{
    std::mutex mutex;
    std::condition_variable changed;
    std::string bytes;
    bool ended = false;
    bool started = false;
    std::thread thread;

    void start()
    {
        started = true;
        thread = std::thread([this] {
            const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
            char chunk[4096];
            for (;;) {
                DWORD n = 0;
                const bool ok = ::ReadFile(in, chunk, sizeof chunk, &n, nullptr) != 0;
                std::unique_lock<std::mutex> lock(mutex);
                if (!ok || n == 0) {
                    ended = true;
                    changed.notify_all();
                    return;
                }
                bytes.append(chunk, n);
                changed.notify_all();
                changed.wait(lock, [this] { return bytes.size() < ReaderLimit; });
            }
        });
        // The thread may sit in ReadFile for ever; the process ends anyway.
        thread.detach();
    }
};

Console::Console()
    : m_reader(new Reader)
{
}

Console::~Console()
{
    // The detached reader may still use it: leave it to the process's end.
    m_reader.release();
}

Console::Ready Console::wait(int, bool watchInput, bool, int timeoutMs)
{
    Ready ready;
    ready.line = true;
    const int slice = timeoutMs < 0 ? 1 : std::min(timeoutMs, 1);
    if (!watchInput) {
        if (slice > 0)
            ::Sleep(static_cast<DWORD>(slice));
        return ready;
    }
    Reader& r = *m_reader;
    if (!r.started)
        r.start();
    std::unique_lock<std::mutex> lock(r.mutex);
    ready.input = r.changed.wait_for(lock, std::chrono::milliseconds(slice),
                                     [&r] { return !r.bytes.empty() || r.ended; });
    return ready;
}

long Console::readInput(char* buffer, std::size_t size)
{
    Reader& r = *m_reader;
    std::unique_lock<std::mutex> lock(r.mutex);
    if (r.bytes.empty())
        return r.ended ? 0 : -1;
    const std::size_t n = std::min(size, r.bytes.size());
    std::memcpy(buffer, r.bytes.data(), n);
    r.bytes.erase(0, n);
    r.changed.notify_all();
    return static_cast<long>(n);
}

bool Console::writeOutput(const std::string& text)
{
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD n = 0;
        if (!::WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) || n == 0)
            return false;
        done += n;
    }
    return true;
}
