// Windows browser start: Edge at its standard installation path, through the
// command interpreter that `system` runs.
#ifdef _WIN32

#include "browser.h"

#include <cstdlib>

void start_browser(const std::string& url)
{
    // A line that begins with a quote loses its first and last quote in cmd
    // unless it holds exactly two with nothing special between them; the
    // "(x86)" in the path is special, so the quoted path alone would run
    // "C:\Program". A line that begins with `start` keeps its quotes, and
    // `start` returns as soon as Edge has started: the quit never waits for
    // the operator to close the browser. The empty title keeps `start` from
    // taking the quoted path for a window title.
    const std::string command =
        "start \"\" \"C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe\" " + url;
    // A missing browser is no fault of the program's; the result says nothing
    // the operator can act on.
    static_cast<void>(std::system(command.c_str()));
}

#endif  // _WIN32
