// The end signals on POSIX, through a self-pipe.
//
// The signals are blocked in every thread but the watcher, so the handler
// only ever runs there: no other thread's system call is cut short by one.
// The handler does the one thing a handler may do here, writing the
// signal's number into a pipe; the watcher reads it and does the real work
// as an ordinary thread. A zero byte in the pipe is the program's normal end.
#include "console/platform/end_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

constexpr int end_signals[] = {SIGINT, SIGTERM, SIGHUP};

int wake_pipe[2] = {-1, -1};

void on_end_signal(int sig)
{
    const int saved_errno = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    // Nothing is to be done if the pipe is full: a signal is already there.
    [[maybe_unused]] const ssize_t written = ::write(wake_pipe[1], &number, 1);
    errno = saved_errno;
}

sigset_t end_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : end_signals) sigaddset(&set, sig);
    return set;
}

// The next byte from the pipe: a signal's number, or 0 for the normal end.
int next_wake()
{
    for (;;) {
        unsigned char number = 0;
        const ssize_t n = ::read(wake_pipe[0], &number, 1);
        if (n == 1) return number;
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

void watch(void (*on_end)())
{
    const sigset_t set = end_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    const int sig = next_wake();
    if (sig == 0) return;
    // From now on a further signal takes its default action: the operator
    // who presses Ctrl-C again does not wait for the orderly end.
    for (int other : end_signals) {
        struct sigaction current {};
        if (sigaction(other, nullptr, &current) == 0 && current.sa_handler == on_end_signal)
            std::signal(other, SIG_DFL);
    }
    // The terminal or the pipe that our output goes to may be gone with the
    // same Ctrl-C (a "| tee" ends too): a write there must fail, not end us
    // before the port is released.
    std::signal(SIGPIPE, SIG_IGN);
    on_end();
    // End as the signal ends a program, so that the shell (and a script that
    // runs us) sees that it was interrupted. This thread has the signal
    // unblocked, so raise() delivers it here.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    ::_exit(128 + sig);
}

}  // namespace

End_signal_watcher::End_signal_watcher(void (*on_end)())
{
    if (::pipe2(wake_pipe, O_CLOEXEC) != 0) return;  // the signals keep their defaults
    for (int sig : end_signals) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_end_signal;
        sigfillset(&action.sa_mask);
        // No SA_RESTART: the watcher's read is to return on the signal (it
        // reads again at once). A run-time that defers handlers to the end
        // of a call, as ThreadSanitizer does, would otherwise never run it.
        action.sa_flags = 0;
        sigaction(sig, &action, nullptr);
    }
    // Threads inherit the mask of the thread that starts them.
    const sigset_t set = end_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    watcher_ = std::thread(watch, on_end);
}

End_signal_watcher::~End_signal_watcher()
{
    if (!watcher_.joinable()) return;
    const unsigned char normal_end = 0;
    while (::write(wake_pipe[1], &normal_end, 1) < 0 && errno == EINTR) {
    }
    watcher_.join();
}
