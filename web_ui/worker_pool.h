#pragma once
// The web server's workers: the HTTP library's task queue, whose tasks are
// its accepted connections, each served whole on one worker
// (http_connections.h).
//
// Interface summary
//   Worker_pool(max_workers, max_waiting)
//   enqueue(task)             a connection for a worker; turned away (run at
//                             once, on the caller, with turning_away() true)
//                             when the queue is full and no worker can be
//                             added
//   shutdown()                runs what is queued, then ends and joins every
//                             worker; also on destruction
//   make_way_for_waiting()    on a worker whose connection waits for its
//                             client, or is being answered: true when a
//                             queued connection needs this worker, whose
//                             connection must then close (after the answer)
//   turning_away()            true while a turned-away task runs
//
// Rules
//   - A connection holds its worker while it waits for its client, so every
//     connection gets a worker of its own while fewer than max_workers
//     exist; a new one is started for it.
//   - A queued connection is covered when a worker is coming for it: one
//     waiting for a task, one just started, or one whose connection is
//     closing to make way. Uncovered connections queue up to max_waiting;
//     beyond that, with no worker to add, the newest is turned away.
//   - While a queued connection is uncovered, the first worker that asks
//     make_way_for_waiting() becomes the one coming for it. It is counted
//     once, however often its connection asks again before its task ends
//     (the last answer decided, then the drop of what a refused client
//     still sends), and no longer once that task has ended. A count too
//     high leaves a queued client without a worker until some connection
//     ends on its own; one too low closes more connections than clients
//     wait.
//   - Whether a queued connection is uncovered is also kept in one flag,
//     set under the lock whenever a count or the queue changes, so that an
//     idle connection looks at it without the lock at each of its check
//     steps and takes the lock only when it is set.
//   - What was queued before a shutdown still runs (each task closes its
//     connection); no worker is added once the shutdown has begun.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

class Worker_pool final : public httplib::TaskQueue {
public:
    Worker_pool(std::size_t max_workers, std::size_t max_waiting);
    ~Worker_pool() override;
    Worker_pool(const Worker_pool&) = delete;
    Worker_pool& operator=(const Worker_pool&) = delete;

    // A connection for a worker. When max_waiting connections already wait
    // and no worker can be added, it is turned away instead: the task runs
    // at once on the calling thread with turning_away() true.
    void enqueue(std::function<void()> fn) override;
    // Runs what is queued, then ends and joins every worker.
    void shutdown() override;

    // On a worker whose connection waits for its client, or has been
    // answered: true when a queued connection has no worker coming for it
    // yet; this worker is then counted as the one coming, once however often
    // it asks again, and its connection must close.
    static bool make_way_for_waiting();
    // True on the thread that runs a turned-away connection's task.
    static bool turning_away();

private:
    void work();
    std::size_t uncovered_locked() const;
    void note_waiting_locked();

    const std::size_t max_workers_;
    const std::size_t max_waiting_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> workers_;
    // Workers that will take a queued task: waiting for one, just started,
    // or closing their connection to make way.
    std::size_t idle_ = 0;
    std::size_t starting_ = 0;
    std::size_t making_way_ = 0;
    bool shutting_down_ = false;
    // A queued task has no worker coming for it (read without the lock).
    std::atomic<bool> waiting_{false};
};
