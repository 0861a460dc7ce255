// The end signals on POSIX, through a self-pipe.
//
// The signals are blocked in every thread but the watcher, so the handler
// only ever runs there: no other thread's system call is cut short by one.
// For the first signal the handler does the one thing a handler may do
// here, writing the signal's number into a pipe; the watcher reads it and
// runs the orderly end as an ordinary thread would. A zero byte in the pipe
// is the program's normal end.
//
// The orderly end runs on a thread of its own, which may block where the
// watcher must not: on the link's lock, or on a console that takes no
// output (a paused pager, a blocking pipe nobody reads). The watcher only
// waits for its steps against their time limits, and the handler stays
// armed meanwhile for a second signal. Whichever way the process ends, the
// port is let go of first.
#include "console/platform/end_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <system_error>

#include "board_link/case_report.h"

namespace {

constexpr int end_signals[] = {SIGINT, SIGTERM, SIGHUP};

int wake_pipe[2] = {-1, -1};      // signal numbers; 0: the normal end
int progress_pipe[2] = {-1, -1};  // the orderly end's steps, as they finish

enum End_progress : unsigned char { port_released = 1, end_finished = 2 };

// The signal that began the end; 0 until one has. Set by the handler.
std::atomic<int> ending_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void (*release_port_now)() = nullptr;

sigset_t end_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : end_signals) sigaddset(&set, sig);
    return set;
}

// Ends the process as `sig` ends a program, so that the shell (and a script
// that runs us) sees that it was interrupted; the port is let go of first.
// Async-signal-safe: the handler ends the process here too.
[[noreturn]] void end_process_as(int sig)
{
    if (release_port_now != nullptr) release_port_now();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(sig, &default_action, nullptr);
    // In a handler the signal is blocked until it returns: raise() leaves it
    // pending and the unblock delivers it.
    ::raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + sig);
}

void on_end_signal(int sig)
{
    const int saved_errno = errno;
    int none = 0;
    if (ending_signal.compare_exchange_strong(none, sig)) {
        const unsigned char number = static_cast<unsigned char>(sig);
        // Nothing is to be done if the write fails: the pipe holds at most
        // this one signal and the normal end's byte.
        [[maybe_unused]] const ssize_t written = ::write(wake_pipe[1], &number, 1);
    } else if (sig != SIGHUP) {
        // Ctrl-C again, or a termination request: the operator does not wait
        // for the orderly end.
        end_process_as(sig);
    }
    // A SIGHUP once the end has begun is the same closed window: the
    // orderly end goes on.
    errno = saved_errno;
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

void report_progress(End_progress step)
{
    const unsigned char byte = step;
    while (::write(progress_pipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

// Waits until the orderly end reports `step`, or until `limit` has passed.
bool wait_for_progress(End_progress step, std::chrono::milliseconds limit)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{progress_pipe[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        // A SIGHUP's handler returning cuts the wait short; it goes on.
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        unsigned char done = 0;
        if (::read(progress_pipe[0], &done, 1) == 1 && done >= step) return true;
    }
}

void run_orderly_end(End_steps steps)
{
    // The signals are the watcher's.
    const sigset_t set = end_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const std::string words = steps.release_port();
    report_progress(port_released);
    print_whole(words);
    steps.finish();
    report_progress(end_finished);
}

void watch(End_steps steps)
{
    const sigset_t set = end_signal_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    const int sig = next_wake();
    if (sig == 0) return;
    // The terminal or the pipe that our output goes to may be gone with the
    // same Ctrl-C (a "| tee" ends too): a write there must fail, not end us
    // before the port is released.
    std::signal(SIGPIPE, SIG_IGN);
    // Not joined: the process ends on this thread, with or without it.
    std::thread orderly_end;
    try {
        orderly_end = std::thread(run_orderly_end, steps);
    } catch (const std::system_error&) {
        end_process_as(sig);  // no thread to be had: the port is let go of all the same
    }
    if (wait_for_progress(port_released, steps.release_limit)) wait_for_progress(end_finished, steps.finish_limit);
    end_process_as(sig);
}

}  // namespace

End_signal_watcher::End_signal_watcher(End_steps steps)
{
    if (::pipe2(wake_pipe, O_CLOEXEC) != 0) return;  // the signals keep their defaults
    if (::pipe2(progress_pipe, O_CLOEXEC) != 0) {
        ::close(wake_pipe[0]);
        ::close(wake_pipe[1]);
        return;
    }
    release_port_now = steps.release_port_now;
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
    watcher_ = std::thread(watch, steps);
}

End_signal_watcher::~End_signal_watcher()
{
    if (!watcher_.joinable()) return;
    const unsigned char normal_end = 0;
    while (::write(wake_pipe[1], &normal_end, 1) < 0 && errno == EINTR) {
    }
    watcher_.join();
}
