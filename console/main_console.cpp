// The console thread and the console's fixed texts.
//
// This unit also defines the last of the four process-wide objects, the
// console word; its place in the start-up order comes from init_order.h so
// that it is built after the board model and torn down before it, whatever
// order the linker puts the units in.
#include <exception>
#include <initializer_list>
#include <iostream>
#include <string>

#include "board_link/case_report.h"
#include "board_link/class_halcyr_server.h"
#include "board_link/halcyr_transcoder.h"
#include "board_link/init_order.h"
#include "board_link/qn_commands.h"
#include "board_link/shared_flags.h"
#include "console/console.h"
#include "console/ui_mode_switch.h"

std::string console_command QORVEL_INIT_ORDER(QORVEL_INIT_CONSOLE_COMMAND);

namespace {

const char* const version_text = "1.1.0";

// The stamp of this unit: the banner shows when the console itself was built.
const char* const build_date = __DATE__;
const char* const build_time = __TIME__;

void print_lines(std::initializer_list<const char*> lines)
{
    for (const char* line : lines) {
        print_line(line);
    }
}

bool is_quit_word(const std::string& word)
{
    return word == "qq" || word == "exit" || word == "quit";
}

// A word that the general commands did not take goes where the mode sends it.
void dispatch_by_mode(const std::string& command)
{
    switch (ui_mode.load()) {
    case 0: {
        Server_response server_response = run_server_command(command);
        board.decode_response(command, server_response);
        break;
    }
    case 1:
        handle_http_command(command);
        break;
    default:
        print_line("Nop");
        break;
    }
}

}  // namespace

int main_console()
{
    print_welcome();
    print_line("Discovered serial ports:");
    serial_link.list_ports();
    print_line("");
    print_prompt();

    while (!is_quit_word(console_command)) {
        std::string s_in_raw;
        // End of input (or a broken input) ends the session as a quit word
        // would, but with no word handled: there is nothing left to read.
        if (!(std::cin >> s_in_raw)) {
            break;
        }
        // A word that arrives once the end has begun (typed ahead, a
        // script's pipe) is not acted on: the program is going.
        if (quitting()) {
            break;
        }
        console_command = to_lower(s_in_raw);

        if (handle_general_command(console_command) == 0) {
            // One bad word must never end the operator's session.
            try {
                dispatch_by_mode(console_command);
            } catch (const std::exception& e) {
                report_error(e.what(), __FILE__, __LINE__);
            }
        }
        print_prompt();
    }

    set_ui_mode(quitting_mode);
    return 0;
}

void print_welcome()
{
    // The first line carries its own line end; the three go out together.
    print_whole(std::string("Welcome to Micro Tarvenor ! \n") + "  Version " + version_text + "\n" + "  Build " +
                build_date + " " + build_time + "\n");
    print_lines({
        "",
        "Console commands and help:",
        "  ? or h: help, command lists",
        "  co: connect.",
        "  qq or quit: exit.",
        "",
        "Connect to a Hardware listed below for example",
        "  > co COM3",
        "",
    });
}

void print_help()
{
    print_lines({
        "",
        "Help",
        "",
        "General commands",
        "",
        "  qq, exit, quit: Close connection and quit application",
        "  c: Client mode",
        "  s: Server mode",
        "  co: Connect to server",
        "  di: Disconnect from server",
    });

    const int mode = ui_mode.load();
    if (mode == 1) {
        print_lines({
            "",
            "Terminal (client) commands",
            "",
            "HTTP Server(Web UI) run / stop:",
            "  http_run",
            "  http_stop",
            "",
        });
    } else if (mode == 0) {
        print_lines({
            "",
            "Server (MCU board) commands",
            "",
            "Kernel and User tasks Manipulation",
            "",
            "  run           Run all tasks",
            "  stop          Stop all tasks",
            "  rust, runust  Run User tasks",
            "  rkst, runkst  Run Kernel tasks",
            "  sust, stopust Stop User tasks",
            "  skst, stopkst Stop Kernel tasks",
            "",
            "  sta, status:  Server status (Status, Alarm and Fault words)",
            "  clr, clear:   Clear Fault and Warning words",
            "  sys, systat:  Server systat readback and reset",
            "",
            "GPIO Manipulation",
            "",
            "  g[n]c[m]: GPIO n configuration where n is the GPIO number and m the mode",
            "          [n] is a number from 1 to board supported",
            "          [m] is a mode, one of the following:",
            "          i: digital input",
            "          o: digital output",
            "          a: analog input",
            "          p: PWM output",
            "",
            "  Examples:",
            "",
            "          g1ci  Set GPIO1 as digital input",
            "          g2co  Set GPIO2 as digital output",
            "          g8ca  Set GPIO8 as analog input",
            "          g12cp Set GPIO12 as PWM output",
            "",
            "  g[n]rd:    read GPIO n",
            "  g[n]wd[v]: write value v to GPIO n ",
            "  Examples:",
            "",
            "          g1rd             Reads GPIO1",
            "          g2wd1            Writes GPIO2",
            "          g8rd             Reads scaled value on GPIO8",
            "",
            "User Functions",
            "",
            "  f[n]r, f[n]run:                 Runs user function f[n]",
            "  f[n]s, f[n]stop:                Stops user function f[n]",
            "  f[n]p[m]r, f[n]param[m]r:       Reads user function parameter",
            "  f[n]p[m]w[v], f[n]param[m]w[v]: Writes user function parameter",
            "                                  for User function [n] Parameter [m] Value [v]",
            "",
            "  Examples:",
            "",
            "  f1r, f1run      Runs f1",
            "  f1s, f1stop     Stops f1",
            "  f1p1w10.0       Writes 10.0 to parameter 1 to user function 1",
            "  f1p2w100        Writes 100 to parameter 2 to user function 1",
            "  f1p1r           Reads value of parameter 1 in user function 1",
            "",
        });
    }
}

void print_help_topic(std::string topic)
{
    if (topic == "ls") {
        print_server_command_list();
    } else {
        print_line("Help topic not handled");
    }
}

void print_server_command_list()
{
    const int mode = ui_mode.load();
    if (mode == 1) {
        print_lines({""});
    } else if (mode == 0) {
        print_lines({
            "",
            "sta clr sys run stop",
            "rust rkst sust skst",
        });
    }
}
