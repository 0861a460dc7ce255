#pragma once
// Every change of ui_mode made by the console goes through here.
//
// The quitting mode is final: once the end has begun (a quit word, the end
// of input, a signal), no word and no "co" or "di" that finishes after it
// brings another mode back, so every loop that watches for the end sees it
// and stays ended.
//
// The browser launcher must see the first Server mode however briefly it
// lasted ("s c" typed on one line leaves it before the launcher can look),
// and must see a quit that came first. So it does not watch ui_mode, which
// goes back and forth, but `browser_launch`, which moves forward once: from
// pending to whichever of the two came first, set before the mode is
// published. Atomic wait on it cannot miss that step.
#include <atomic>
#include <mutex>

#include "board_link/shared_flags.h"

enum Browser_launch : int {
    launch_pending = 0,  // neither Server mode nor the quit yet
    launch_start = 1,    // Server mode came first: start the browser
    launch_none = 2,     // the quit came first: start nothing
};
inline std::atomic<int> browser_launch{launch_pending};

inline void set_ui_mode(int mode)
{
    // The console and the end on a signal may both set the mode; the check
    // for the final mode and the change are one step.
    static std::mutex changing;
    const std::lock_guard<std::mutex> lock(changing);
    if (quitting()) return;
    if (mode == 0 || mode == quitting_mode) {
        int pending = launch_pending;
        if (browser_launch.compare_exchange_strong(pending, mode == 0 ? launch_start : launch_none)) {
            browser_launch.notify_all();
        }
    }
    ui_mode.store(mode);
}
