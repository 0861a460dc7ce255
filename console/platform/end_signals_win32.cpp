// Windows: closing the console window or Ctrl-C ends the process, and the
// system then closes the port's handle, which releases it; there is nothing
// to watch for.
#include "console/platform/end_signals.h"

End_signal_watcher::End_signal_watcher(End_steps) {}

End_signal_watcher::~End_signal_watcher() = default;
