#pragma once
// The operator's and the system's requests to end the program: Ctrl-C
// (SIGINT), a closed terminal window (SIGHUP) and a termination request
// (SIGTERM) on POSIX. On each, the program ends as on a quit word, with the
// board's port released, and then with the status that the signal gives.
//
// Interface summary
//   End_steps                   what the end does, in two steps, and how
//                               long each may take
//   End_signal_watcher(steps)   from here on the calling thread, and every
//                               thread it starts later, leaves these signals
//                               to a watcher thread of their own; construct
//                               it before any other thread starts. On the
//                               first signal the watcher runs the orderly
//                               end outside any signal handler: release the
//                               port, then print what the end says and
//                               finish. A step that overruns its time does
//                               not hold the end: the port is let go of at
//                               once and the process ends all the same, as
//                               the signal would have ended it (the shell
//                               sees 128 + its number).
//                               A second Ctrl-C or termination request
//                               during the orderly end ends the process at
//                               once, the port let go of first. A SIGHUP
//                               then changes nothing: a closed window sends
//                               it twice (the shell passes it on, then the
//                               kernel sends its own).
//                               A signal the program was started with
//                               ignored (nohup, a background job) stays
//                               ignored.
//   ~End_signal_watcher()       stops watching and joins the watcher; after
//                               a signal it does not return, as the process
//                               ends on the watcher
//
// Windows needs none of this: the system releases the port when the process
// ends, however it ends. One backend file per platform.
#include <chrono>
#include <string>
#include <thread>

struct End_steps {
    // Waits for the exchange under way and closes the board's port; prints
    // nothing (the console may not take output). Returns the end's words.
    std::string (*release_port)();
    // The rest of the orderly end (the web server's stop), once the words
    // are printed.
    void (*finish)();
    // Lets go of every open port at once, waiting for nothing; called from a
    // signal handler, so async-signal-safe.
    void (*release_port_now)();
    std::chrono::milliseconds release_limit;  // for release_port
    std::chrono::milliseconds finish_limit;   // for the words and finish
};

class End_signal_watcher {
public:
    explicit End_signal_watcher(End_steps steps);
    ~End_signal_watcher();
    End_signal_watcher(const End_signal_watcher&) = delete;
    End_signal_watcher& operator=(const End_signal_watcher&) = delete;

private:
    std::thread watcher_;
};
