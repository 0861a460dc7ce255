#include "worker_pool.h"

#include <algorithm>

namespace {

thread_local Worker_pool* pool_of_this_worker = nullptr;
thread_local bool made_way_on_this_worker = false;
thread_local bool turning_away_on_this_thread = false;

}  // namespace

Worker_pool::Worker_pool(std::size_t max_workers, std::size_t max_waiting)
    : max_workers_(std::max<std::size_t>(max_workers, 1)), max_waiting_(max_waiting)
{
}

Worker_pool::~Worker_pool() { shutdown(); }

std::size_t Worker_pool::uncovered_locked() const
{
    const std::size_t coming = idle_ + starting_ + making_way_;
    return tasks_.size() > coming ? tasks_.size() - coming : 0;
}

void Worker_pool::note_waiting_locked() { waiting_ = uncovered_locked() > 0; }

void Worker_pool::enqueue(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool can_grow = workers_.size() < max_workers_ && !shutting_down_;
        if (can_grow || uncovered_locked() < max_waiting_) {
            tasks_.push_back(std::move(fn));
            // Every connection gets a worker of its own while the limit
            // allows: a connection holds its worker while it waits for its
            // client.
            if (uncovered_locked() > 0 && can_grow) {
                workers_.emplace_back([this] { work(); });
                ++starting_;
            } else {
                wake_.notify_one();
            }
            note_waiting_locked();
            return;
        }
    }
    turning_away_on_this_thread = true;
    fn();
    turning_away_on_this_thread = false;
}

void Worker_pool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutting_down_ = true;
    }
    wake_.notify_all();
    // No worker is added once shutting_down_ is set.
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
}

bool Worker_pool::make_way_for_waiting()
{
    Worker_pool* pool = pool_of_this_worker;
    if (pool == nullptr) return false;
    // A worker that has made way already is counted once: its connection
    // may be asked again (the last answer decided, then the drop of what a
    // refused client still sends).
    if (made_way_on_this_worker) return true;
    if (!pool->waiting_) return false;
    std::lock_guard<std::mutex> lock(pool->mutex_);
    if (pool->uncovered_locked() == 0) return false;
    ++pool->making_way_;
    made_way_on_this_worker = true;
    pool->note_waiting_locked();
    return true;
}

bool Worker_pool::turning_away() { return turning_away_on_this_thread; }

void Worker_pool::work()
{
    pool_of_this_worker = this;
    std::unique_lock<std::mutex> lock(mutex_);
    --starting_;
    for (;;) {
        ++idle_;
        note_waiting_locked();
        wake_.wait(lock, [this] { return shutting_down_ || !tasks_.empty(); });
        --idle_;
        // What was queued before the shutdown is still run: each task
        // closes its connection.
        if (tasks_.empty()) break;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        note_waiting_locked();
        lock.unlock();
        task();
        lock.lock();
        if (made_way_on_this_worker) {
            made_way_on_this_worker = false;
            --making_way_;
        }
    }
}
