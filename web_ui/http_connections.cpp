#include "http_connections.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "board_link/halcyr_transcoder.h"
#include "platform/socket_io.h"
#include "worker_pool.h"

// This layer holds for the one release of cpp-httplib it was written
// against, since it leans on the library's internals; before moving to
// another, re-read there what it relies on:
//   - Server::process_and_close_socket, a private virtual overridden below:
//     called on a task-queue worker for each accepted connection, and
//     nothing else reads from that socket.
//   - Server::process_request (protected): it parses the head, then the
//     Range header into Request::ranges, then calls its setup callback, then
//     the pre-routing handler, and reads a body only after that; the
//     post-routing handler runs before the answer is written; a file is
//     answered 206 whenever the request has a Range header. The protected
//     time-out, keep-alive and payload members are read as set.
//   - Server::listen (web_server.cpp): it marks the server running, then
//     takes its worker pool from new_task_queue, and only then accepts;
//     stop() acts only on a server marked running; the pool is shut down
//     and deleted before listen returns.
// QORVEL_HTTPLIB_VERSION comes from the top CMakeLists.txt, which also
// checks the package's version; this checks the header actually compiled
// (on Windows, from Debian's source package).
#if !defined(CPPHTTPLIB_VERSION) || !defined(QORVEL_HTTPLIB_VERSION)
#error "the web server's connections need cpp-httplib's version and the one they were written against"
#endif
static_assert(std::string_view(CPPHTTPLIB_VERSION) == QORVEL_HTTPLIB_VERSION,
              "cpp-httplib's header is not the release the web server's connections were written against: "
              "re-read what the note above names before changing QORVEL_HTTPLIB_VERSION");

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

// The length of the body that a request's head declares: its one
// Content-Length, or 0 for a request that has no body without one. Nothing
// when the length is not known ahead: a chunked body, a repeated or invalid
// length, or a POST, PUT or PATCH without one, which the library reads up to
// the end of the connection.
std::optional<std::uint64_t> declared_body_length(const httplib::Request& req)
{
    if (req.has_header("Transfer-Encoding")) return std::nullopt;
    switch (req.get_header_value_count("Content-Length")) {
    case 0:
        if (req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "PRI")
            return std::nullopt;
        return 0;
    case 1: break;
    default: return std::nullopt;
    }
    const std::string value = req.get_header_value("Content-Length");
    std::uint64_t length = 0;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, length);
    if (value.empty() || error != std::errc() || stop != end) return std::nullopt;
    return length;
}

enum class Head {
    whole,      // buffered, ready for the library to parse
    too_large,  // more than max_head_bytes or max_header_lines
    too_late,   // begun, but not whole in time
    none,       // no request came, the client closed halfway, or a stop
};

// The library builds an answer of several ranges whole in memory, each range
// a copy, and ranges may overlap: "0-,0-,..." in one head asks for the file
// thousands of times over. Such a request is served as if it had no Range:
// the whole file, once. One range is served as asked. The header goes too:
// the library answers a file 206 whenever the request has one. (A Range
// too long to be one range never gets this far: drop_long_ranges.)
void keep_one_range_at_most(httplib::Request& req)
{
    if (req.ranges.size() <= 1) return;
    req.ranges.clear();
    req.headers.erase("Range");
}

// One client connection as the HTTP library reads and writes it: buffered
// reads that give up when the server stops, a head read whole before the
// library parses it, a count of what the library has taken of the request,
// and writes that never raise a signal and give up when the server stops.
class Connection_stream final : public httplib::Stream {
public:
    Connection_stream(socket_t sock, const Http_server& server, milliseconds read_timeout,
                      milliseconds write_timeout)
        : sock_(sock), server_(server), read_timeout_(read_timeout), write_timeout_(write_timeout)
    {
    }

    // The head of the next request, waited for up to `first_wait` for its
    // first byte, then up to the read time-out for each later piece and
    // head_time_limit in all; it stays buffered for the library. Too late
    // when the client stopped sending or took too long. None when no
    // request came, the client closed, the server is stopping, or the
    // connection's worker is wanted by a client that has something to ask.
    // Once the head is whole, its body has body_time_limit to follow.
    Head read_head(milliseconds first_wait)
    {
        head_parsed_ = false;
        declared_body_.reset();
        timed_out_ = false;
        if (!buffered() && !wait_for(Direction::in, first_wait, true)) return Head::none;
        deadline_ = Clock::now() + head_time_limit;
        // The whole head must fit in the buffer: what is buffered moves to
        // its front.
        std::memmove(buffer_.data(), buffer_.data() + offset_, filled_ - offset_);
        filled_ -= offset_;
        offset_ = 0;
        std::size_t scanned = 0;
        std::size_t line_start = 0;
        std::size_t lines = 0;
        for (;;) {
            // The library's own reading: lines end at "\n", and the head at
            // the first line after the request line that is "\r\n" alone.
            for (; scanned < filled_; ++scanned) {
                if (buffer_[scanned] != '\n') continue;
                ++lines;
                if (lines > 1 && scanned == line_start + 1 && buffer_[line_start] == '\r') {
                    body_start_ = handed_out_ + drop_long_ranges(scanned + 1);
                    deadline_ = Clock::now() + body_time_limit;
                    return Head::whole;
                }
                if (lines > max_header_lines + 1) return Head::too_large;
                line_start = scanned + 1;
            }
            if (filled_ == buffer_.size()) return Head::too_large;
            if (receive_more(filled_) <= 0) return timed_out_ ? Head::too_late : Head::none;
        }
    }

    // Takes every Range line whose value is longer than any one range needs
    // out of the head that ends at `head_end`, and returns where the head
    // now ends. The library parses such a value with a regular expression
    // that recurses once for each few characters, deep into the worker's
    // stack, which stays resident; and it can only be many ranges, which
    // are served as if there were none (keep_one_range_at_most).
    std::size_t drop_long_ranges(std::size_t head_end)
    {
        constexpr std::string_view name = "range:";
        for (std::size_t line = 0; line < head_end;) {
            const auto* at = static_cast<const char*>(std::memchr(buffer_.data() + line, '\n', head_end - line));
            const std::size_t next = static_cast<std::size_t>(at - buffer_.data()) + 1;
            const std::string_view text(buffer_.data() + line, next - line);
            const bool long_range =
                line > 0 && text.size() > name.size() + longest_range_value &&
                std::equal(name.begin(), name.end(), text.begin(),
                           [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
            if (!long_range) {
                line = next;
                continue;
            }
            std::memmove(buffer_.data() + line, buffer_.data() + next, filled_ - next);
            filled_ -= next - line;
            head_end -= next - line;
        }
        return head_end;
    }

    // The answer to a head that is too large or too late: "431 Request
    // Header Fields Too Large" or "408 Request Timeout".
    bool refuse_head(const std::string& status)
    {
        const std::string answer = "HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        for (std::size_t sent = 0; sent < answer.size();) {
            const ssize_t n = write(answer.data() + sent, answer.size() - sent);
            if (n < 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Called once the library has parsed the head.
    void head_parsed(const httplib::Request& req)
    {
        head_parsed_ = true;
        declared_body_ = declared_body_length(req);
    }

    // The library has taken the whole request, exactly: its head and the
    // body it declared. Anything else, and the bytes after what was taken
    // are no next request.
    bool request_read_whole() const
    {
        return head_parsed_ && declared_body_ && handed_out_ >= body_start_ &&
               handed_out_ - body_start_ == *declared_body_;
    }

    // The current request stopped coming, or came too slowly.
    bool request_timed_out() const { return timed_out_; }

    // After an answer given before the request was read whole: the client
    // sees the end of our data, and what it still sends is dropped until it
    // closes, for up to `limit` (at once on a stop), so that a client that
    // is still sending can read the answer before the connection closes.
    void drop_input(milliseconds limit)
    {
        socket_io::stop_sending(sock_);
        offset_ = filled_ = 0;
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
            if (left <= milliseconds::zero() || !wait_for(Direction::in, left, true)) return;
            const long n = socket_io::receive(sock_, buffer_.data(), buffer_.size());
            if (n == 0 || n == -1) return;
        }
    }

    bool is_readable() const override { return buffered() || wait_for_request(); }

    bool is_writable() const override { return wait_for(Direction::out, write_timeout_, false); }

    ssize_t read(char* ptr, size_t size) override
    {
        if (!buffered()) {
            offset_ = filled_ = 0;
            const long n = receive_more(0);
            if (n <= 0) return n;  // 0: the client has closed
        }
        const std::size_t take = std::min(size, filled_ - offset_);
        std::memcpy(ptr, buffer_.data() + offset_, take);
        offset_ += take;
        handed_out_ += take;
        return static_cast<ssize_t>(take);
    }

    // Sends what there is room for now; waits for room only while the
    // server runs.
    ssize_t write(const char* ptr, size_t size) override
    {
        // Nothing to send would read as "no room" below, and the loop would
        // spin while the socket stays writable.
        if (size == 0) return 0;
        for (;;) {
            const long n = socket_io::send_some(sock_, ptr, size);
            if (n != 0) return n;
            if (!wait_for(Direction::out, write_timeout_, false)) return -1;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { address_of(sock_, ::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address_of(sock_, ::getsockname, ip, port); }
    socket_t socket() const override { return sock_; }

private:
    enum class Direction { in, out };

    bool buffered() const { return offset_ < filled_; }

    // Waits for more of the current request: up to the read time-out, and
    // not past the request's deadline. A wait that ends for either is noted.
    bool wait_for_request() const
    {
        const auto end = std::min(Clock::now() + read_timeout_, deadline_);
        if (wait_for(Direction::in, std::chrono::ceil<milliseconds>(end - Clock::now()), false)) return true;
        timed_out_ = !server_.connections_ending() && Clock::now() >= end;
        return false;
    }

    // Receives into the buffer from `at` on, after waiting for more of the
    // request: the count, 0 when the client has closed, -1 when nothing
    // came in time, the connection failed or the server is stopping.
    long receive_more(std::size_t at)
    {
        for (;;) {
            if (!wait_for_request()) return -1;
            const long n = socket_io::receive(sock_, buffer_.data() + at, buffer_.size() - at);
            if (n == socket_io::nothing_yet) continue;
            if (n > 0) filled_ = at + static_cast<std::size_t>(n);
            return n;
        }
    }

    // Waits in short steps, so that a stop (and, for a connection with no
    // request under way, a queue of other clients) is seen within one step.
    // An idle connection makes way only when its client has sent nothing.
    bool wait_for(Direction direction, milliseconds limit, bool idle) const
    {
        const auto deadline = Clock::now() + limit;
        for (int step = 0;; step = static_cast<int>(connection_check_period.count())) {
            if (server_.connections_ending()) return false;
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
            if (left <= milliseconds::zero()) return false;
            step = std::min(step, static_cast<int>(left.count()));
            const auto ready = direction == Direction::in ? socket_io::wait_readable(sock_, step)
                                                          : socket_io::wait_writable(sock_, step);
            switch (ready) {
            case socket_io::Wait::ready: return true;
            case socket_io::Wait::failed: return false;
            case socket_io::Wait::timed_out: break;
            }
            if (idle && Worker_pool::make_way_for_waiting()) return false;
        }
    }

    socket_t sock_;
    const Http_server& server_;
    milliseconds read_timeout_;
    milliseconds write_timeout_;
    std::array<char, max_head_bytes> buffer_{};
    std::size_t offset_ = 0;
    std::size_t filled_ = 0;
    // Bytes handed to the library so far, and where the current request's
    // body begins in that count.
    std::uint64_t handed_out_ = 0;
    std::uint64_t body_start_ = 0;
    bool head_parsed_ = false;
    std::optional<std::uint64_t> declared_body_;
    // When the part of the request under way (head, then body) must be in.
    Clock::time_point deadline_ = Clock::time_point::max();
    mutable bool timed_out_ = false;
};

// The connection that the calling worker is serving.
thread_local Connection_stream* connection_of_this_worker = nullptr;

}  // namespace

Http_server::Http_server()
{
    // The last word on every answer: a body that came too late is 408, not
    // the library's 400 for a body that did not come; a connection whose
    // request was not read whole closes after its answer.
    set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        const Connection_stream* connection = connection_of_this_worker;
        if (connection == nullptr || connection->request_read_whole()) return;
        if (connection->request_timed_out()) res.status = 408;
        res.headers.erase("Keep-Alive");
        res.headers.erase("Connection");
        res.set_header("Connection", "close");
    });
}

httplib::Server::HandlerResponse Http_server::refuse_unbounded_request(const httplib::Request& req,
                                                                       httplib::Response& res) const
{
    // The library would inflate a compressed body without limit, and it
    // takes a form's parts apart with regular expressions that recurse deep
    // into the worker's stack for each long line, which stays resident. The
    // API takes JSON only.
    const std::string encoding = req.get_header_value("Content-Encoding");
    const bool form_parts = req.is_multipart_form_data();
    const auto length = declared_body_length(req);
    if ((!encoding.empty() && encoding != "identity") || form_parts)
        res.status = 415;
    else if (!length)
        res.status = 411;
    else if (*length > payload_max_length_)
        res.status = 413;
    else
        return HandlerResponse::Unhandled;
    return HandlerResponse::Handled;
}

// Runs on a worker for each accepted connection: its requests one after the
// other, while the client keeps the connection and the server runs.
bool Http_server::process_and_close_socket(socket_t sock)
{
    if (Worker_pool::turning_away()) {
        socket_io::close_connection(sock);
        return false;
    }
    // The library writes an answer's head and body apart; on a kept
    // connection the body would otherwise wait for the client's delayed
    // acknowledgement of the head (about 40 ms).
    socket_io::set_up_connection(sock);
    Connection_stream stream(sock, *this, to_ms(read_timeout_sec_, read_timeout_usec_),
                             to_ms(write_timeout_sec_, write_timeout_usec_));
    // A client may connect well before it asks (a browser opens connections
    // ahead of use); it is served like one that asks at once.
    const milliseconds first_wait = to_ms(read_timeout_sec_, read_timeout_usec_);
    const milliseconds next_wait = to_ms(keep_alive_timeout_sec_, 0);

    connection_of_this_worker = &stream;
    // Once a stop is decided, a request on this worker that has not yet
    // begun its exchange with the board sends nothing.
    call_off_exchanges_when(&closing_);
    bool ok = false;
    bool read_whole = true;
    for (std::size_t served = 0; served < keep_alive_max_count_; ++served) {
        const Head head = stream.read_head(served == 0 ? first_wait : next_wait);
        if (head == Head::none) break;
        if (head == Head::too_large || head == Head::too_late) {
            ok = stream.refuse_head(head == Head::too_large ? "431 Request Header Fields Too Large"
                                                            : "408 Request Timeout");
            read_whole = false;
            break;
        }
        // The answer says "Connection: close" when no further request will
        // be read on this connection: also when another connection waits for
        // a worker, so that a client that keeps sending requests, however
        // slowly, holds its worker for one request at a time while others
        // wait.
        const bool last = served + 1 == keep_alive_max_count_ || connections_ending() ||
                          Worker_pool::make_way_for_waiting();
        bool closed_by_client = false;
        ok = process_request(stream, last, closed_by_client, [&stream](httplib::Request& req) {
            stream.head_parsed(req);
            keep_one_range_at_most(req);
        });
        read_whole = stream.request_read_whole();
        if (!ok || closed_by_client || last || !read_whole) break;
    }
    call_off_exchanges_when(nullptr);
    connection_of_this_worker = nullptr;
    if (!read_whole) stream.drop_input(linger_after_refusal);
    socket_io::close_connection(sock);
    return ok;
}
