#pragma once
// Every bound the web server puts on what a client may send it, how long it
// may take, and how much of the server it may hold; each with its reason.
// The server serves one operator's browser on loopback: no page, route or
// request of ours comes near any of them, and each keeps a client that does
// from costing memory, a worker or a stop.
#include <chrono>
#include <cstddef>

// --- Time ---------------------------------------------------------------

// Waits for a connection's first request, and for each piece of a request
// under way: a client that stops half way is answered 408.
inline constexpr std::chrono::seconds read_timeout{5};
// Waits for the next request on a kept connection: a browser that keeps one
// open for later holds a worker that long at the most.
inline constexpr std::chrono::seconds keep_alive_timeout{5};
// Waits for room to send an answer: a client that does not read its answer
// gives its worker back.
inline constexpr std::chrono::seconds write_timeout{5};
// A head must be whole this long after its first byte, however steadily its
// bytes come: else a slow sender holds its worker for good (408).
inline constexpr std::chrono::milliseconds head_time_limit{10000};
// The body likewise, counted from the end of its head (408).
inline constexpr std::chrono::milliseconds body_time_limit{10000};
// After a refusal, what the client still sends is read and dropped this
// long, so that it can read the answer before the connection closes.
inline constexpr std::chrono::milliseconds linger_after_refusal{2000};
// The step of every wait on a connection: a stop, or a client queued for a
// worker, is seen within it.
inline constexpr std::chrono::milliseconds connection_check_period{50};

// --- Size ---------------------------------------------------------------

// The head is held whole before the library parses it; the library alone
// lets a request line or a header line grow without limit (431).
inline constexpr std::size_t max_head_bytes = 8192;
// A browser sends about a dozen header lines; the library keeps each (431).
inline constexpr std::size_t max_header_lines = 100;
// The routes' patterns are matched by regular expressions that recurse once
// for each character of a matching path, deep into the worker's stack,
// which stays resident; no route or page has a path near this long (414).
inline constexpr std::size_t max_path_length = 255;
// The API's bodies are a few bytes; nothing a request sends is held beyond
// this (413).
inline constexpr std::size_t max_request_body = 4096;
// A Range value longer than any one range needs can only hold many ranges,
// which are served as none; it is dropped before the library parses it with
// a regular expression that recurses deep into the worker's stack.
inline constexpr std::size_t longest_range_value = 100;

// --- Connections --------------------------------------------------------

// Requests one connection may carry before it is closed; a browser opens a
// new one when it needs it.
inline constexpr std::size_t requests_per_connection = 100;
// Each open connection holds a worker while it waits for its client; a
// browser keeps about six. Beyond this many, connections queue for a worker
// and waiting ones give theirs up, one for each.
inline constexpr std::size_t max_workers = 64;
// Connections queued for a worker; beyond this many, the newest is closed
// at once.
inline constexpr std::size_t max_waiting = 64;
