// The general console commands, taken in every mode before the mode's own
// words, and the browser launcher.
#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "board_link/case_report.h"
#include "board_link/class_halcyr_server.h"
#include "board_link/halcyr_transcoder.h"
#include "board_link/qn_commands.h"
#include "board_link/shared_flags.h"
#include "console/console.h"
#include "console/platform/browser.h"
#include "console/ui_mode_switch.h"
#include "web_ui/web_address.h"

namespace {

// Gives a board that has just answered a moment before it is asked again.
constexpr auto identification_pause = std::chrono::milliseconds(30);
constexpr auto browser_start_delay = std::chrono::seconds(1);

void identify_board()
{
    Server_response server_response = run_server_command("ihwmcu");
    board.decode_response("ihwmcu", server_response);
}

void connect()
{
    print_line("Connect ...");
    // No exchange of an HTTP worker may run while the link is rebuilt, and
    // none that waits for the link meanwhile goes out: the operator does not
    // wait for a queue of browser requests.
    {
        auto lock = take_link_ahead_of_exchanges();
        serial_link.enumerate_ports();
    }
    serial_link.list_ports();
    print_whole("Connect to port (eg. COM1): ");

    std::string port_name;
    const bool answered = static_cast<bool>(std::cin >> port_name);
    print_line("");
    // Input ended before a port was named, or the end began while the
    // operator typed: nothing is opened (an open raises DTR, which resets
    // many boards), and the console loop ends the session at its next read.
    if (!answered || quitting()) return;
    const std::string port_name_upper = to_upper(port_name);

    {
        auto lock = take_link_ahead_of_exchanges();
        // The end takes the link after it has set the quitting mode: seen
        // here, the end has begun and will not look for a port opened now.
        if (quitting()) return;
        serial_link.open(port_name_upper);
    }
    // Taken from the link whatever it was before: a failed open keeps the
    // port that was open, but the same port named again and then failing
    // to reopen leaves no link, and the flag must say so.
    serial_connected = serial_link.get_connection_state().state;

    identify_board();
    std::this_thread::sleep_for(identification_pause);
    identify_board();

    set_ui_mode(0);
}

void disconnect()
{
    print_line("Disconnect ...");
    // Only the exchange under way is waited for; the requests queued behind
    // it send nothing, and their clients hear that the board is gone.
    {
        auto lock = take_link_ahead_of_exchanges();
        serial_link.close();
    }
    board.set_names("-", "-");
    serial_connected = 0;
    set_ui_mode(1);
}

}  // namespace

int handle_general_command(std::string command)
{
    if (command == "?" || command == "h") {
        print_help();
        return 1;
    }
    if (command == "l" || command == "ls") {
        print_help_topic("ls");
        return 1;
    }
    if (command == "co") {
        connect();
        return 1;
    }
    if (command == "di") {
        disconnect();
        return 1;
    }
    if (command == "c:" || command == "c" || command == "cli" || command == "client") {
        print_line("Client Mode.");
        set_ui_mode(1);
        return 1;
    }
    if (command == "s:" || command == "s" || command == "ser" || command == "server") {
        print_line("Server Mode.");
        set_ui_mode(0);
        return 1;
    }
    return 0;
}

std::string end_session_now()
{
    // The web server stops and the browser launcher ends, as on a quit word.
    set_ui_mode(quitting_mode);
    std::string closed;
    {
        auto lock = take_link_ahead_of_exchanges();
        closed = serial_link.close_quietly();
    }
    serial_connected = 0;
    // Nothing is printed here: a console that does not take output (a
    // paused pager) must not keep the port. The prompt's line is left
    // unfinished; the port's line has its own.
    return closed.empty() ? "\n" : "\nClosed " + closed + " port\n";
}

int main_webclient()
{
    // Sleep until the first Server mode or the quit, whichever came first
    // (see set_ui_mode); nothing polls.
    browser_launch.wait(launch_pending);
    if (browser_launch.load() != launch_start) {
        return 0;
    }
    std::this_thread::sleep_for(browser_start_delay);
    start_browser(web_address::start_page_url());
    return 0;
}
