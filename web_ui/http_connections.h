#pragma once
// How the web server holds its client connections.
//
// The HTTP library parses requests and writes answers; the connections
// themselves are ours, because the library's own handling fits the operator's
// browser badly: it waits for a first request only as long as its keep-alive
// time-out, so a browser that opens connections ahead of use is dropped or
// every stop waits for it, and a half-sent request holds a stop for the whole
// read time-out.
//
// Interface summary
//   Http_server                    the library's server with our connections:
//     end_connections()            from now on every connection closes as soon
//                                  as it is not answering a request: a wait
//                                  for a request, or a request half read,
//                                  ends within connection_check_period
//     keep_connections()           connections may stay open again (next
//                                  listen)
//   Worker_pool                    the library's task queue: one worker per
//                                  connection, grown on demand up to a limit
//
// A connection waits for its first request, and between requests, up to the
// library's read time-out (5 s); each later read of a request has the same
// time-out. A stop closes every connection that is waiting or still reading
// its request; one whose request is being answered gets its answer first.
// When every worker is busy and connections queue for one, waiting
// connections are closed to make room.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <httplib.h>

inline constexpr std::chrono::milliseconds connection_check_period{50};

class Http_server : public httplib::Server {
public:
    void end_connections() { closing_ = true; }
    void keep_connections() { closing_ = false; }
    bool connections_ending() const { return closing_; }

private:
    bool process_and_close_socket(socket_t sock) override;

    std::atomic<bool> closing_{false};
};

class Worker_pool final : public httplib::TaskQueue {
public:
    explicit Worker_pool(std::size_t max_workers);
    ~Worker_pool() override;
    Worker_pool(const Worker_pool&) = delete;
    Worker_pool& operator=(const Worker_pool&) = delete;

    void enqueue(std::function<void()> fn) override;
    // Runs what is queued, then ends and joins every worker.
    void shutdown() override;

    // True on a worker of a pool whose queue holds connections that wait
    // for a free worker.
    static bool current_pool_backlogged();

private:
    void work();

    const std::size_t max_workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> workers_;
    std::size_t idle_ = 0;
    bool shutting_down_ = false;
    std::atomic<bool> backlogged_{false};
};
