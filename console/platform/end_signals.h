#pragma once
// The operator's and the system's requests to end the program: Ctrl-C
// (SIGINT), a closed terminal window (SIGHUP) and a termination request
// (SIGTERM) on POSIX. On each, the program ends as on a quit word, with the
// board's port released, and then with the status that the signal gives.
//
// Interface summary
//   End_signal_watcher(on_end)  from here on the calling thread, and every
//                               thread it starts later, leaves these signals
//                               to a watcher thread of their own; construct
//                               it before any other thread starts. On the
//                               first signal the watcher runs on_end()
//                               outside any signal handler, then ends the
//                               process as the signal would have (the shell
//                               sees 128 + its number). A second signal
//                               while on_end() runs ends the process at once.
//                               A signal the program was started with
//                               ignored (nohup, a background job) stays
//                               ignored.
//   ~End_signal_watcher()       stops watching and joins the watcher
//
// Windows needs none of this: the system releases the port when the process
// ends, however it ends. One backend file per platform.
#include <thread>

class End_signal_watcher {
public:
    explicit End_signal_watcher(void (*on_end)());
    ~End_signal_watcher();
    End_signal_watcher(const End_signal_watcher&) = delete;
    End_signal_watcher& operator=(const End_signal_watcher&) = delete;

private:
    std::thread watcher_;
};
