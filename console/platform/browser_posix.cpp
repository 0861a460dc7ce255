// Browser start on POSIX desktops: the desktop's own opener, xdg-open, found
// through PATH, with the address as its one argument.
//
// Without a desktop environment xdg-open runs the browser itself and returns
// only when the operator closes it, so the program must not wait for it, yet
// it must not leave a zombie behind while it runs either. `setsid --fork`
// starts the opener in a session of its own and ends at once; we wait only
// for it, and the opener, now nobody's child of ours, is reaped by the system
// whenever it ends. This keeps to one posix_spawn and one waitpid: no fork in
// this threaded program, and no reaper thread that the quit would have to
// leave running or join. The address is passed on as an argument: no shell
// parses it.
//
// The browser belongs to the operator's desktop, not to this program: out of
// the program's session, a hang-up of its terminal or a stop of its job
// (Ctrl-Z) does not reach the browser, and the browser starts with every
// signal at its default and none blocked, whatever the program was started
// with or blocks in its own threads. (A shell's background job would not do:
// it starts with SIGINT and SIGQUIT ignored.)
#include "console/platform/browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

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

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return;
    }
    // Every signal to its default, the C library's own two (32 and 33)
    // included: sigfillset leaves those out, and posix_spawn would then hand
    // them to the opener ignored.
    sigset_t every_signal;
    std::memset(&every_signal, 0xff, sizeof every_signal);
    sigset_t no_signal;
    sigemptyset(&no_signal);
    posix_spawnattr_setsigdefault(&attributes, &every_signal);
    posix_spawnattr_setsigmask(&attributes, &no_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char setsid[] = "setsid";
    char fork_option[] = "--fork";
    char opener[] = "xdg-open";
    std::string address = url;
    char* argv[] = {setsid, fork_option, opener, address.data(), nullptr};

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, setsid, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return;  // nothing started: nothing else changes
    }
    // setsid ends as soon as it has started the opener.
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
}
