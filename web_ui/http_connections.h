#pragma once
// How the web server holds its client connections.
//
// The HTTP library parses requests and writes answers; the connections
// themselves are ours, because the library's own handling fits the operator's
// browser badly: it waits for a first request only as long as its keep-alive
// time-out, so a browser that opens connections ahead of use is dropped or
// every stop waits for it, and a half-sent request holds a stop for the whole
// read time-out. Nor does it bound what a client sends: a request line or a
// header line grows without limit, and a body without a length is read to
// the end of the connection.
//
// Interface summary
//   Http_server                    the library's server with our connections:
//     end_connections()            from now on every connection closes as soon
//                                  as it is not answering a request: a wait
//                                  for a request, a request half read, or an
//                                  answer that waits for room to be sent,
//                                  ends within connection_check_period; and
//                                  a board exchange that a worker has not yet
//                                  begun is called off (halcyr_transcoder.h)
//     keep_connections()           connections may stay open again (next
//                                  listen)
//     refuse_unbounded_request     for the pre-routing handler: answers a
//                                  request whose body is not bounded ahead
//                                  (411, 413, 415), before any of it is read
//
// A connection waits for its first request up to the read time-out, and for
// each next request up to the keep-alive time-out; each later read of a
// request waits up to the read time-out (the bounds are in http_bounds.h;
// the web server sets the time-outs on the library). The head of a request
// (request line and header lines) is read here before the library parses
// it: at most max_head_bytes and max_header_lines, else the answer is 431.
// A request must also arrive whole in time, however steadily its bytes
// come: its head within head_time_limit of its first byte, its body within
// body_time_limit of its head. A request that misses either limit, or stops
// sending for a read time-out, is answered 408. A stop closes every
// connection that is waiting or still reading its request; one whose
// request is being answered gets its answer first, as far as the client
// takes it.
//
// A Range header of more than one range is served as if it were not there
// (200 and the whole file): the library builds an answer of many ranges in
// memory, and ranges may overlap, so a small request could ask for the
// file thousands of times over. One range is served as asked (206).
//
// A connection is kept after an answer only when its request was read whole:
// a head that the library could parse and exactly the body that it declared.
// Any other answer (a refusal before the body, a head that does not parse, a
// body left unread) says "Connection: close"; whatever the client still
// sends is then read and dropped for up to linger_after_refusal, so that it
// can read the answer, and the connection is closed. Nothing left unread is
// ever taken for a next request.
//
// When every worker is busy and connections queue for one (worker_pool.h:
// one worker per connection up to a limit), one connection that waits for a
// request is closed for each queued connection, and one whose request comes
// while others queue is closed after its answer; beyond max_waiting queued
// connections, the newest is closed at once.
#include <atomic>

#include <httplib.h>

#include "http_bounds.h"

class Http_server : public httplib::Server {
public:
    Http_server();

    void end_connections() { closing_ = true; }
    void keep_connections() { closing_ = false; }
    bool connections_ending() const { return closing_; }

    // Handled, with the status set, for a request that declares no bounded
    // body: Content-Encoding or a multipart form (415), Transfer-Encoding or
    // a body without a valid Content-Length (411), a length above the
    // payload limit (413).
    HandlerResponse refuse_unbounded_request(const httplib::Request& req, httplib::Response& res) const;

private:
    bool process_and_close_socket(socket_t sock) override;

    std::atomic<bool> closing_{false};
};
