// Output written on a thread of its own.
#include "outputspool.h"

#include "monoclock.h"

#include <chrono>
#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

OutputSpool::OutputSpool(std::size_t limit, Writer writer, bool threaded, std::int64_t tendNs)
    : m_limit(limit)
    , m_shared(std::make_shared<Shared>())
{
    if (!threaded) {
        m_direct = std::move(writer);
        return;
    }
#ifdef _WIN32
    m_thread = std::thread(run, m_shared, std::move(writer), tendNs);
#else
    // Stop signals are the loop's business, never this thread's.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    m_thread = std::thread(run, m_shared, std::move(writer), tendNs);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
#endif
}

OutputSpool::~OutputSpool()
{
    if (!m_thread.joinable())
        return;
    bool stuck;
    {
        // What was not drained in time is given up.
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->stop = true;
        m_shared->queue.clear();
        stuck = m_shared->busy;
    }
    m_shared->wake.notify_one();
    // A write that never returns (nobody reads the pipe) must not keep the
    // process from ending; the thread owns what it uses.
    if (stuck)
        m_thread.detach();
    else
        m_thread.join();
}

void OutputSpool::run(std::shared_ptr<Shared> shared, Writer writer, std::int64_t tendNs)
{
    std::string batch;
    std::unique_lock<std::mutex> lock(shared->mutex);
    const auto ready = [&] { return shared->stop || !shared->queue.empty(); };
    for (;;) {
        if (tendNs > 0 && !shared->ended && !shared->wake.wait_for(lock, std::chrono::nanoseconds(tendNs), ready)) {
            shared->busy = true;
            lock.unlock();
            const bool ok = writer(batch);
            lock.lock();
            if (!ok)
                shared->ended = true;
            shared->busy = false;
            continue;
        }
        shared->wake.wait(lock, ready);
        if (shared->queue.empty())
            return;
        batch.swap(shared->queue);
        shared->busy = true;
        lock.unlock();
        const bool ok = shared->ended || writer(batch);
        lock.lock();
        // Ended before nothing is held, so the loop that waits while
        // something is held sees the end.
        if (!ok)
            shared->ended = true;
        shared->held -= batch.size();
        batch.clear();
        shared->busy = false;
        shared->idle.notify_all();
    }
}

bool OutputSpool::put(const char* data, std::size_t size)
{
    if (m_gathered.size() + m_shared->held + size > m_limit) {
        ++m_dropped;
        return false;
    }
    m_gathered.append(data, size);
    return true;
}

bool OutputSpool::putLine(const std::string& text)
{
    if (m_gathered.size() + m_shared->held + text.size() + 1 > m_limit) {
        ++m_dropped;
        return false;
    }
    m_gathered += text;
    m_gathered += '\n';
    return true;
}

void OutputSpool::flush()
{
    if (m_gathered.empty())
        return;
    if (m_direct) {
        if (!m_shared->ended && !m_direct(m_gathered))
            m_shared->ended = true;
        m_gathered.clear();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->held += m_gathered.size();
        if (m_shared->queue.empty())
            m_shared->queue.swap(m_gathered);
        else
            m_shared->queue += m_gathered;
    }
    m_gathered.clear();
    m_shared->wake.notify_one();
}

bool OutputSpool::drain(std::int64_t deadlineNs)
{
    flush();
    const std::int64_t left = deadlineNs - SimClock::monotonicNs();
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    return m_shared->idle.wait_for(lock, std::chrono::nanoseconds(left > 0 ? left : 0),
                                   [&] { return m_shared->held == 0; });
}

std::uint64_t OutputSpool::droppedUntilResumed()
{
    if (m_dropped == m_droppedSaid || m_shared->held > 0)
        return 0;
    const std::uint64_t unsaid = m_dropped - m_droppedSaid;
    m_droppedSaid = m_dropped;
    return unsaid;
}

bool OutputSpool::ended() const
{
    return m_shared->ended;
}

bool SpooledOutput::flush()
{
    if (!m_spool)
        return true;
    m_spool->flush();
    if (m_endSaid || !m_spool->ended())
        return true;
    m_endSaid = true;
    return false;
}
