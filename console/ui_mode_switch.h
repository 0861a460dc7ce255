#pragma once
// Every change of ui_mode made by the console goes through here.
//
// The browser launcher sleeps on the flag instead of polling it, so each
// change must wake it (a launcher that missed the final 2 would keep main
// from returning). It must also not miss a Server mode that was left again
// before it woke ("s qq" typed on one line), so the first entry into Server
// mode is kept in a latch of its own, set before the mode is published.
#include <atomic>

#include "board_link/shared_flags.h"

inline std::atomic<bool> server_mode_entered{false};

inline void set_ui_mode(int mode)
{
    if (mode == 0) {
        server_mode_entered.store(true);
    }
    ui_mode.store(mode);
    ui_mode.notify_all();
}
