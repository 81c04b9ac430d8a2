// Jobs run on a fixed set of worker threads; their results come back strictly in the order the
// jobs were handed in, whatever order they finish in.
//
// Ownership and hand-off: one thread, the owner, submits jobs and takes results; the workers
// only run jobs. A job and its result live in one slot; the slot belongs to the owner until it
// is submitted, to one worker while the job runs, and to the owner again once the result is
// stored. Every hand-off happens under the one mutex, so a result is complete before the owner
// can see it. `onReady` is called by a worker, outside the mutex, when the oldest result the
// owner has not taken becomes available; it must be safe to call from any thread (a wake-up of
// the owner's event loop, typically).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel {

template <class Result>
class OrderedJobs {
public:
    // A job must not throw: it runs on a worker thread with nobody to catch it.
    using Job = std::function<Result()>;

    // Starts `threads` workers (at least one).
    OrderedJobs(int threads, std::function<void()> onReady) : m_onReady(std::move(onReady)) {
        const int n = threads < 1 ? 1 : threads;
        m_workers.reserve(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) m_workers.emplace_back([this] { Work(); });
    }

    // Drops the jobs not started yet and waits for the running ones to finish.
    ~OrderedJobs() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closing = true;
            DropQueuedLocked();
        }
        m_wake.notify_all();
        for (std::thread& t : m_workers) t.join();
    }

    OrderedJobs(const OrderedJobs&) = delete;
    OrderedJobs& operator=(const OrderedJobs&) = delete;

    // Jobs handed in whose results have not been taken yet.
    std::size_t Pending() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_slots.size();
    }

    // Queues `job`; its result comes after the results of every job submitted before it.
    void Submit(Job job) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_slots.push_back(Slot{std::move(job), std::nullopt});
        }
        m_wake.notify_one();
    }

    // The result of the oldest job not taken yet, once that job has finished; nothing otherwise.
    std::optional<Result> TryTake() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_slots.empty() || !m_slots.front().result) return std::nullopt;
        std::optional<Result> result = std::move(m_slots.front().result);
        m_slots.pop_front();
        ++m_base;
        --m_nextToStart;
        return result;
    }

    // Waits until every job submitted so far has finished; their results stay to be taken.
    void WaitAll() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_idle.wait(lock, [this] { return m_running == 0 && m_nextToStart == m_slots.size(); });
    }

    // Drops every job not started yet; jobs already running finish, and their results are
    // dropped as well. Afterwards the queue is empty and new jobs may be submitted.
    void Cancel() {
        std::unique_lock<std::mutex> lock(m_mutex);
        DropQueuedLocked();
        m_idle.wait(lock, [this] { return m_running == 0; });
        m_base += m_slots.size();
        m_slots.clear();
        m_nextToStart = 0;
    }

private:
    struct Slot {
        Job job;
        std::optional<Result> result;
    };

    void DropQueuedLocked() {
        // Slots before m_nextToStart are running or done; the rest have not started.
        m_slots.erase(m_slots.begin() + static_cast<std::ptrdiff_t>(m_nextToStart), m_slots.end());
    }

    void Work() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [this] { return m_closing || m_nextToStart < m_slots.size(); });
            if (m_nextToStart >= m_slots.size()) return;  // closing, nothing left to start
            // Slots leave the front as results are taken, so a job keeps its slot's sequence
            // number and finds the slot again from the number of the front one.
            const std::size_t seq = m_base + m_nextToStart;
            Job job = std::move(m_slots[m_nextToStart].job);
            ++m_nextToStart;
            ++m_running;
            lock.unlock();
            std::optional<Result> result(job());
            lock.lock();
            --m_running;
            // A running job's slot is never taken or dropped before its result is stored:
            // TryTake waits for the result and Cancel for the running jobs.
            const std::size_t at = seq - m_base;
            m_slots[at].result = std::move(result);
            const bool oldest = at == 0;
            if (m_running == 0) m_idle.notify_all();
            if (oldest && m_onReady) {
                lock.unlock();
                m_onReady();
                lock.lock();
            }
        }
    }

    std::function<void()> m_onReady;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Slot> m_slots;
    std::size_t m_nextToStart = 0;  // index in m_slots of the first job not started
    std::size_t m_base = 0;         // sequence number of m_slots.front()
    int m_running = 0;
    bool m_closing = false;
    std::vector<std::thread> m_workers;
};

}  // namespace quorvel
