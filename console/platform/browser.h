#pragma once
// Starts the operator's web browser on one address. The result is ignored:
// a missing browser changes nothing. Returns when the start command has
// returned. One backend file per platform.
#include <string>

void start_browser(const std::string& url);
