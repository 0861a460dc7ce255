// The web-server thread and its supervisor.
//
// The server listens on port 8088 exactly while a board is connected and no
// stop is requested; the supervisor stops it when the link goes down, when
// the operator types "http_stop", and when the program quits.
//
// Stopping is the delicate part. The HTTP library's stop() only acts on a
// server that already marks itself running: a stop that comes while listen()
// is still creating its socket is silently lost, and listen() would then
// serve until some later stop. So a decided stop is also remembered here, and
// the web-server thread applies it itself the moment the library asks for its
// worker pool, which the library does right after marking itself running and
// before it accepts anything (cpp-httplib 0.11's listen; http_connections.cpp
// notes what else this layer takes from that release). Whichever of the two
// threads comes second sees the other's step, so no stop is lost however the
// threads interleave. Quitting makes the stop permanent, so even a listen
// that starts after the supervisor's last pass ends at once.
//
// A stop also ends the client connections (http_connections.h): those that
// wait for a request or are still sending one close at once, answers that
// wait for a client that does not read give up, and requests that wait for
// the board link send nothing once they get it (503), so listen returns as
// soon as the one exchange under way has ended, however many browser
// connections are open.
//
// Before any route or file, every request is screened: its body must be
// bounded, its path must stay inside the page directories, and it must come
// from our own site.
#include "web_server.h"

#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "board_link/case_report.h"
#include "board_link/init_order.h"
#include "board_link/qn_commands.h"
#include "board_link/shared_flags.h"
#include "http_bounds.h"
#include "web_address.h"
#include "worker_pool.h"

Http_server http_server QORVEL_INIT_ORDER(QORVEL_INIT_HTTP_SERVER);
std::atomic<int> http_server_running{0};

namespace {

constexpr auto loop_period = std::chrono::milliseconds(100);
constexpr auto link_down_extra = std::chrono::milliseconds(50);
constexpr auto supervisor_period = std::chrono::milliseconds(100);

// Guards the stop bookkeeping below and every call of http_server.stop(), so
// one listen is stopped once and http_server_running never goes back to 0
// after the next listen has set it.
std::mutex stop_mutex;
bool stop_decided = false;      // the current listen must end
bool stop_done = false;         // ... and the library has been told
bool stopped_for_good = false;  // every listen from now on must end

// Under stop_mutex: tells the library to stop if it can take the stop now;
// otherwise the listen applies stop_decided itself once it is running.
void apply_stop_locked()
{
    if (stop_decided) http_server.end_connections();
    if (stop_decided && !stop_done && http_server.is_running()) {
        http_server.stop();
        stop_done = true;
    }
}

// The supervisor's stop. For good when the program quits: whatever the
// web-server thread is doing then, its listen ends, now or as soon as it has
// started.
void stop_server(bool for_good)
{
    std::lock_guard<std::mutex> lock(stop_mutex);
    if (for_good) stopped_for_good = true;
    stop_decided = true;
    apply_stop_locked();
    http_server_running = 0;
}

// The web-server thread, just before it listens.
void mark_listen_starting()
{
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_decided = stopped_for_good;
    stop_done = false;
    if (stop_decided)
        http_server.end_connections();
    else
        http_server.keep_connections();
    http_server_running = 1;
}

// Called by the library inside listen(), after it marks itself running and
// before it accepts a connection.
httplib::TaskQueue* worker_pool_for_listen()
{
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        apply_stop_locked();
    }
    return new Worker_pool(max_workers, max_waiting);
}

// Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which lets
// a second program bind 8088 beside this one and take half its requests.
// Without it a taken port fails the listen at once.
void exclusive_socket_options(socket_t sock)
{
#ifdef _WIN32
    // On Windows SO_REUSEADDR would let another program take a bound port;
    // exclusive use is its own option there.
    BOOL yes = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof(yes));
#else
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
#endif
}

// The static directories are looked up with the path as the client sent
// it, percent-decoded. The library's own check splits it at "/" only, but
// Windows also takes "\" as a separator, ":" names a drive or a stream of a
// file, and a NUL byte ends a name early. Nor does Windows tell ".." from a
// name of dots and blanks such as ".. " or "...", whose trailing dots and
// blanks it drops. No path with any of these names one of our pages.
bool leaves_the_pages(const std::string& path)
{
    if (path.find_first_of(std::string_view("\\:\0", 3)) != std::string::npos) return true;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment(path.data() + start, end - start);
        if (segment.find_first_not_of(". ") == std::string_view::npos &&
            std::count(segment.begin(), segment.end(), '.') >= 2)
            return true;
        start = end + 1;
    }
    return false;
}

// Runs before any route or file, before any body is read.
httplib::Server::HandlerResponse screen_request(const httplib::Request& req, httplib::Response& res)
{
    using Outcome = httplib::Server::HandlerResponse;
    if (http_server.refuse_unbounded_request(req, res) == Outcome::Handled) return Outcome::Handled;
    if (req.path.size() > max_path_length) {
        res.status = 414;
        return Outcome::Handled;
    }
    // Missing, as any other file that is not there: 404 with no body.
    if (leaves_the_pages(req.path)) {
        res.status = 404;
        return Outcome::Handled;
    }
    return refuse_cross_site_request(req, res);
}

void configure_server()
{
    http_server.set_address_family(AF_INET);
    http_server.set_socket_options(exclusive_socket_options);
    http_server.set_read_timeout(read_timeout);
    http_server.set_keep_alive_timeout(keep_alive_timeout.count());
    http_server.set_write_timeout(write_timeout);
    http_server.set_keep_alive_max_count(requests_per_connection);
    http_server.set_payload_max_length(max_request_body);
    http_server.set_pre_routing_handler(screen_request);
    http_server.new_task_queue = worker_pool_for_listen;
}

void print_line_and_prompt(const std::string& line)
{
    print_line(line);
    print_prompt();
}

// A fresh run of the web-server thread owes nothing to an earlier one.
void reset_stop_state()
{
    std::lock_guard<std::mutex> lock(stop_mutex);
    stopped_for_good = false;
    stop_decided = false;
    stop_done = false;
    http_server.keep_connections();
}

}  // namespace

void server_start_stop_loop()
{
    while (!quitting()) {
        std::this_thread::sleep_for(supervisor_period);
        if (http_server_running != 0 && (serial_connected != 1 || quitting())) {
            stop_server(false);
        } else if (http_server_running != 0 && http_stop_request == 1) {
            stop_server(false);
        }
    }
    stop_server(true);
}

int main_webserver()
{
    reset_stop_state();
    configure_server();

    // 1. Routes, then the static directories, "/" before "/help". A missing
    //    directory is not an error: the API is served regardless.
    http_server.Get(R"(/api/gpio/grd/(\d+))", handle_gpio_read_digital);
    http_server.Get(R"(/api/gpio/gra/(\d+))", handle_gpio_read_analog);
    http_server.Post(R"(/api/gpio/gwd/(\d+))", handle_gpio_write_digital);
    http_server.Post(R"(/api/gpio/config/(\d+))", handle_gpio_config);
    http_server.set_mount_point("/", "pages");
    http_server.set_mount_point("/help", "help");

    // 2. The supervisor.
    std::thread server_start_stop_thread(server_start_stop_loop);

    // 3. Listen while the link is up and no stop is requested.
    while (true) {
        if (quitting()) break;
        std::this_thread::sleep_for(loop_period);
        if (serial_connected != 1) {
            std::this_thread::sleep_for(link_down_extra);
            continue;
        }
        if (http_stop_request != 0) continue;

        print_line_and_prompt("\n[Qorvel] Server running on " + web_address::url());
        mark_listen_starting();
        http_server.listen(web_address::listen_address, web_address::port);
        print_line_and_prompt("\n[Qorvel] Webserver quit.");
    }

    // 4. The supervisor ends on the same quit.
    server_start_stop_thread.join();
    return 0;
}
