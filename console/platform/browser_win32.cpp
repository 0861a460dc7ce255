// Windows browser start: Edge at its standard installation path, through the
// command interpreter that `system` runs.
#ifdef _WIN32

#include "browser.h"

#include <cstdlib>

void start_browser(const std::string& url)
{
    const std::string command =
        "\"C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe\" " + url;
    // A missing browser is no fault of the program's; the result says nothing
    // the operator can act on.
    static_cast<void>(std::system(command.c_str()));
}

#endif  // _WIN32
