// The program entry: three threads of our own, started and joined in a fixed
// order. The process-wide objects (HTTP server, serial link, board model,
// console word) are built before this runs and torn down after it returns;
// their order is fixed by QORVEL_INIT_ORDER, not by this file.
//
// Ctrl-C, a closed terminal window or a termination request end the program
// as "qq" does, without waiting for the console's read: the web server
// stops, the board's port is released, and the process ends with the
// signal's status.
#include <atomic>
#include <chrono>
#include <thread>

#include "console/console.h"
#include "console/platform/end_signals.h"
#include "web_ui/web_server.h"

namespace {

std::atomic<bool> web_server_ended{false};

int run_webserver()
{
    main_webserver();
    web_server_ended = true;
    return 0;
}

// The web server ends as soon as its exchange under way is over and its
// clients have their answers; it is given a short while for that, no more.
constexpr auto web_server_end_limit = std::chrono::seconds(1);

void end_on_signal()
{
    end_session_now();
    const auto deadline = std::chrono::steady_clock::now() + web_server_end_limit;
    while (!web_server_ended && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

int main(int, char**)
{
    // Before any thread: every thread started from here on leaves the
    // signals to the watcher.
    End_signal_watcher end_signals(end_on_signal);

    std::thread thread_console(main_console);
    std::thread thread_websrv(run_webserver);
    std::thread thread_webcli(main_webclient);

    thread_console.join();
    thread_websrv.join();
    thread_webcli.join();
    return 0;
}
