#include "http_connections.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "platform/socket_io.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds to_ms(time_t sec, time_t usec) { return milliseconds(sec * 1000 + usec / 1000); }

// The numeric address and port of one end of a connection; `which` is
// getsockname or getpeername (the same on every system).
template <typename Get_name>
void address_of(socket_t sock, Get_name which, std::string& ip, int& port)
{
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (which(sock, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return;
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), length, host, sizeof host, service,
                      sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// One client connection as the HTTP library reads and writes it: buffered
// reads that give up when the server stops, and writes that never raise a
// signal.
class Connection_stream final : public httplib::Stream {
public:
    Connection_stream(socket_t sock, const Http_server& server, milliseconds read_timeout,
                      milliseconds write_timeout)
        : sock_(sock), server_(server), read_timeout_(read_timeout), write_timeout_(write_timeout)
    {
    }

    // The first byte of the next request, waited for up to `limit`. False
    // when none came, the connection failed, the server is stopping, or the
    // connection's worker is wanted by a client that has something to ask.
    bool wait_for_request(milliseconds limit) const { return buffered() || wait_for_data(limit, true); }

    bool is_readable() const override { return buffered() || wait_for_data(read_timeout_, false); }

    bool is_writable() const override
    {
        return socket_io::wait_writable(sock_, static_cast<int>(write_timeout_.count())) == socket_io::Wait::ready;
    }

    ssize_t read(char* ptr, size_t size) override
    {
        if (!buffered()) {
            if (!wait_for_data(read_timeout_, false)) return -1;
            const long n = socket_io::receive(sock_, buffer_.data(), buffer_.size());
            if (n <= 0) return n;  // 0: the client has closed
            offset_ = 0;
            filled_ = static_cast<std::size_t>(n);
        }
        const std::size_t take = std::min(size, filled_ - offset_);
        std::memcpy(ptr, buffer_.data() + offset_, take);
        offset_ += take;
        return static_cast<ssize_t>(take);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable()) return -1;
        return socket_io::send_some(sock_, ptr, size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address_of(sock_, ::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address_of(sock_, ::getsockname, ip, port); }
    socket_t socket() const override { return sock_; }

private:
    bool buffered() const { return offset_ < filled_; }

    // Waits in short steps, so that a stop (and, for a connection with no
    // request under way, a queue of other clients) is seen within one step.
    bool wait_for_data(milliseconds limit, bool idle) const
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (server_.connections_ending()) return false;
            if (idle && Worker_pool::current_pool_backlogged()) return false;
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
            if (left <= milliseconds::zero()) return false;
            const auto step = std::min(left, connection_check_period);
            switch (socket_io::wait_readable(sock_, static_cast<int>(step.count()))) {
            case socket_io::Wait::ready: return true;
            case socket_io::Wait::failed: return false;
            case socket_io::Wait::timed_out: break;
            }
        }
    }

    socket_t sock_;
    const Http_server& server_;
    milliseconds read_timeout_;
    milliseconds write_timeout_;
    std::array<char, 4096> buffer_{};
    std::size_t offset_ = 0;
    std::size_t filled_ = 0;
};

thread_local Worker_pool* pool_of_this_worker = nullptr;

}  // namespace

// Runs on a worker for each accepted connection: its requests one after the
// other, while the client keeps the connection and the server runs.
bool Http_server::process_and_close_socket(socket_t sock)
{
    Connection_stream stream(sock, *this, to_ms(read_timeout_sec_, read_timeout_usec_),
                             to_ms(write_timeout_sec_, write_timeout_usec_));
    // A client may connect well before it asks (a browser opens connections
    // ahead of use); it is served like one that asks at once.
    const milliseconds first_wait = to_ms(read_timeout_sec_, read_timeout_usec_);
    const milliseconds next_wait = to_ms(keep_alive_timeout_sec_, 0);

    // The library writes an answer's head and body apart; on a kept
    // connection the body would otherwise wait for the client's delayed
    // acknowledgement of the head (about 40 ms).
    socket_io::send_at_once(sock);

    bool ok = false;
    for (std::size_t served = 0; served < keep_alive_max_count_; ++served) {
        if (!stream.wait_for_request(served == 0 ? first_wait : next_wait)) break;
        // The answer says "Connection: close" when no further request will
        // be read on this connection.
        const bool last = served + 1 == keep_alive_max_count_ || connections_ending();
        bool closed_by_client = false;
        ok = process_request(stream, last, closed_by_client, nullptr);
        if (!ok || closed_by_client || last) break;
    }
    socket_io::close_connection(sock);
    return ok;
}

Worker_pool::Worker_pool(std::size_t max_workers) : max_workers_(std::max<std::size_t>(max_workers, 1)) {}

Worker_pool::~Worker_pool() { shutdown(); }

void Worker_pool::enqueue(std::function<void()> fn)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(fn));
    // Every connection gets a worker of its own while the limit allows: a
    // connection holds its worker while it waits for its client.
    if (tasks_.size() > idle_ && workers_.size() < max_workers_ && !shutting_down_)
        workers_.emplace_back([this] { work(); });
    else
        wake_.notify_one();
    backlogged_ = tasks_.size() > idle_ && workers_.size() >= max_workers_;
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

bool Worker_pool::current_pool_backlogged()
{
    return pool_of_this_worker != nullptr && pool_of_this_worker->backlogged_;
}

void Worker_pool::work()
{
    pool_of_this_worker = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        wake_.wait(lock, [this] { return shutting_down_ || !tasks_.empty(); });
        --idle_;
        // What was queued before the shutdown is still run: each task
        // closes its connection.
        if (tasks_.empty()) break;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        backlogged_ = tasks_.size() > idle_ && workers_.size() >= max_workers_;
        lock.unlock();
        task();
        lock.lock();
    }
}
