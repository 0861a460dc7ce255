#pragma once
// Starts the operator's web browser on one address. The result is ignored:
// a missing browser changes nothing. Returns once the browser has been set
// going, never waiting for it to close: the program may end while the
// browser stays open. One backend file per platform.
#include <string>

void start_browser(const std::string& url);
