// Jobs run on a fixed set of worker threads; their results come back strictly in the order the
// jobs were handed in, whatever order they finish in.
//
// Ownership and hand-off: one thread, the owner, submits jobs and takes results; the workers
// only run jobs. A job and its result live in one slot; the slot belongs to the owner until it
// is submitted, to one worker while the job runs, and to the owner again once the result is
// stored. Every hand-off happens under the one mutex, so a result is complete before the owner
// can see it. `onReady` is called by a worker, outside the mutex, when the oldest result the
// owner has not taken becomes available; it must be safe to call from any thread (a wake-up of
// the owner's event loop, typically), and it is never called once the pool is destroyed.
//
// Where the system starts fewer threads than asked (a limit on processes), the pool runs with
// those it got; with none at all, TryTake runs the oldest job itself, on the owner's thread.
//
// Destruction never waits long for a job: jobs not started are dropped, and a job still running
// after `stopWait` (a file on a hung share) is left to finish on its own thread, which then
// ends. Such a job must hold what it uses (values, shared pointers), never the owner's objects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/Threads.h"

namespace quorvel {

template <class Result>
class OrderedJobs {
public:
    // A job must not throw: it runs on a worker thread with nobody to catch it.
    using Job = std::function<Result()>;

    // Starts `threads` workers (at least one asked for; fewer where the system refuses them).
    OrderedJobs(int threads, std::function<void()> onReady,
                std::chrono::milliseconds stopWait = std::chrono::milliseconds(40))
        : m_core(std::make_shared<Core>()), m_stopWait(stopWait) {
        m_core->onReady = std::move(onReady);
        const int n = threads < 1 ? 1 : threads;
        for (int i = 0; i < n; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_core->mutex);
                ++m_core->workersRunning;
            }
            std::thread worker;
            if (!TryStartThread(worker, [core = m_core] { Work(*core); })) {
                std::lock_guard<std::mutex> lock(m_core->mutex);
                --m_core->workersRunning;
                break;
            }
            m_workers.push_back(std::move(worker));
        }
    }

    // Drops the jobs not started yet and waits at most `stopWait` for the running ones; those
    // still running then are left to finish on their own.
    ~OrderedJobs() {
        Core& core = *m_core;
        {
            std::lock_guard<std::mutex> lock(core.callMutex);
            core.onReady = nullptr;
        }
        bool ended;
        {
            std::unique_lock<std::mutex> lock(core.mutex);
            core.closing = true;
            DropQueuedLocked(core);
            core.wake.notify_all();
            ended = core.finished.wait_for(lock, m_stopWait, [&] { return core.workersRunning == 0; });
        }
        JoinOrDetach(m_workers, ended);
    }

    OrderedJobs(const OrderedJobs&) = delete;
    OrderedJobs& operator=(const OrderedJobs&) = delete;

    // Queues `job`; its result comes after the results of every job submitted before it.
    void Submit(Job job) {
        {
            std::lock_guard<std::mutex> lock(m_core->mutex);
            m_core->queue.push_back(Slot{std::move(job), std::nullopt});
        }
        m_core->wake.notify_one();
    }

    // The result of the oldest job not taken yet, once that job has finished; nothing otherwise.
    // Without workers, runs that job first.
    std::optional<Result> TryTake() {
        Core& core = *m_core;
        std::unique_lock<std::mutex> lock(core.mutex);
        if (m_workers.empty() && !core.queue.empty() && core.nextToStart == 0) {
            Job job = std::move(core.queue.front().job);
            core.nextToStart = 1;
            lock.unlock();
            std::optional<Result> result(job());
            lock.lock();
            core.queue.front().result = std::move(result);
        }
        if (core.queue.empty() || !core.queue.front().result) return std::nullopt;
        std::optional<Result> result = std::move(core.queue.front().result);
        core.queue.pop_front();
        ++core.base;
        --core.nextToStart;
        return result;
    }

    // Drops every job not started yet; jobs already running finish on their own and their
    // results are dropped. Afterwards the queue is empty and new jobs may be submitted.
    void Cancel() {
        std::lock_guard<std::mutex> lock(m_core->mutex);
        DropQueuedLocked(*m_core);
        m_core->base += m_core->queue.size();
        m_core->queue.clear();
        m_core->nextToStart = 0;
    }

private:
    struct Slot {
        Job job;
        std::optional<Result> result;
    };

    // What the workers share with the owner; a worker left running holds it.
    struct Core {
        mutable std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable finished;
        std::deque<Slot> queue;
        std::size_t nextToStart = 0;  // index in `queue` of the first job not started
        std::size_t base = 0;         // sequence number of queue.front()
        int workersRunning = 0;
        bool closing = false;
        std::mutex callMutex;         // held while onReady runs, so that it can be cleared
        std::function<void()> onReady;
    };

    static void DropQueuedLocked(Core& core) {
        // Slots before nextToStart are running or done; the rest have not started.
        core.queue.erase(core.queue.begin() + static_cast<std::ptrdiff_t>(core.nextToStart), core.queue.end());
    }

    static void Work(Core& core) {
        std::unique_lock<std::mutex> lock(core.mutex);
        while (true) {
            core.wake.wait(lock, [&] { return core.closing || core.nextToStart < core.queue.size(); });
            if (core.closing) break;
            // Slots leave the front as results are taken, so a job keeps its slot's sequence
            // number and finds the slot again from the number of the front one.
            const std::size_t seq = core.base + core.nextToStart;
            Job job = std::move(core.queue[core.nextToStart].job);
            ++core.nextToStart;
            lock.unlock();
            std::optional<Result> result(job());
            job = nullptr;
            lock.lock();
            // Cancelled while it ran: its slot is gone and the result is dropped.
            if (seq < core.base) continue;
            const std::size_t at = seq - core.base;
            core.queue[at].result = std::move(result);
            if (at == 0) {
                lock.unlock();
                {
                    std::lock_guard<std::mutex> call(core.callMutex);
                    if (core.onReady) core.onReady();
                }
                lock.lock();
            }
        }
        --core.workersRunning;
        core.finished.notify_all();
    }

    std::shared_ptr<Core> m_core;
    const std::chrono::milliseconds m_stopWait;
    std::vector<std::thread> m_workers;
};

}  // namespace quorvel
