// Browser start on POSIX desktops: the desktop's own opener, xdg-open, found
// through PATH, with the address as its one argument. No shell is involved,
// so nothing in the address is ever interpreted.
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
    // opener's chatter does not belong on the console.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // A browser started here may outlive us; it must not inherit the serial
    // port or the web server's listening socket and hold them open.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    char program[] = "xdg-open";
    std::string address = url;
    char* argv[] = {program, address.data(), nullptr};

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return;  // no opener on this machine: nothing else changes
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
}
