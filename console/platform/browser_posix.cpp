// Browser start on POSIX desktops: the desktop's own opener, xdg-open, found
// through PATH, with the address as its one argument.
//
// Without a desktop environment xdg-open runs the browser itself and returns
// only when the operator closes it, so the program must not wait for it, yet
// it must not leave a zombie behind while it runs either. A short-lived shell
// starts the opener in the background and ends at once; we wait only for that
// shell, and the opener, now nobody's child of ours, is reaped by the system
// whenever it ends. This keeps to one posix_spawn and one waitpid: no fork in
// this threaded program, and no reaper thread that the quit would have to
// leave running or join. The shell only passes the address on as "$1": it
// never parses it.
#include "console/platform/browser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

void start_browser(const std::string& url)
{
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return;
    }
    // The console thread is the only reader of the operator's input, and the
    // opener's chatter does not belong on the console. The opener inherits
    // these from the shell.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // A browser started here may outlive us; it must not inherit the serial
    // port or the web server's listening socket and hold them open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    char shell[] = "/bin/sh";
    char command_option[] = "-c";
    char script[] = "xdg-open \"$1\" &";
    char script_name[] = "sh";
    std::string address = url;
    char* argv[] = {shell, command_option, script, script_name, address.data(), nullptr};

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, shell, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return;  // nothing started: nothing else changes
    }
    // The shell ends as soon as it has started the opener.
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
}
