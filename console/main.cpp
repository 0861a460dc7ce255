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

#include "board_link/class_serial.h"
#include "console/console.h"
#include "console/platform/end_signals.h"
#include "web_ui/web_server.h"

namespace {

std::atomic<bool> web_server_ended{false};

int run_webserver()
{
    main_webserver();
    web_server_ended = true;
    web_server_ended.notify_all();
    return 0;
}

void wait_for_web_server() { web_server_ended.wait(false); }

// The end on a signal. The exchange under way ends within about 2.07 s (a
// silent board's whole answer time); then the port is closed. The web server
// ends as soon as its clients have their answers, and is given a short while
// for that, no more. Past either limit the port is let go of and the
// process ends all the same.
constexpr End_steps end_on_signal{
    end_session_now,
    wait_for_web_server,
    release_serial_ports_now,
    std::chrono::milliseconds(3500),
    std::chrono::milliseconds(1000),
};

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
