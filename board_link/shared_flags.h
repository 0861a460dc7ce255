#pragma once
// Process-wide flags shared by the console, the web server, its supervisor,
// the browser launcher and the HTTP worker threads. Each one is written whole
// by its owner and polled by the others, hence atomics.
#include <atomic>

// 0 = Server mode (board commands), 1 = Client mode (local commands only),
// 2 = quitting (final: once the end has begun nothing sets another mode).
extern std::atomic<int> ui_mode;
inline constexpr int quitting_mode = 2;
inline bool quitting() { return ui_mode.load() == quitting_mode; }
// 1 while a board link is up (set after a connect, cleared by "di" only).
extern std::atomic<int> serial_connected;
// 1 after "http_stop", 0 after "http_run".
extern std::atomic<int> http_stop_request;
// Shown in every prompt, then advanced; wraps after 4294967295.
extern std::atomic<unsigned int> prompt_counter;
