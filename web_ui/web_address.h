#pragma once
// Where the web UI is found: its host, port and start page, defined once for
// the listen, for the check of the host and origin that a request names, and
// for the console's start of the browser.
//
// Interface summary
//   host             the name the operator's browser uses
//   listen_address   the address the server's socket is bound to
//   port             the server's port
//   start_page       the start page's path
//   loopback_names   every name by which a browser on this machine reaches
//                    the server
//   url()            "http://" + host + ":" + port, as the console prints it
//   start_page_url() the start page's whole address, for the browser
#include <string>
#include <string_view>

namespace web_address {

inline constexpr std::string_view host = "localhost";
// The socket is bound to IPv4 loopback rather than to whatever "localhost"
// resolves to first: on Debian that is ::1, and a socket on ::1 refuses the
// many clients of 127.0.0.1, while clients of "localhost" try both addresses.
inline constexpr const char* listen_address = "127.0.0.1";
inline constexpr int port = 8088;
inline constexpr std::string_view start_page = "/arduino_uno_r4_analog.html";
inline constexpr std::string_view loopback_names[] = {"localhost", "127.0.0.1", "[::1]"};

inline std::string url() { return "http://" + std::string(host) + ":" + std::to_string(port); }
inline std::string start_page_url() { return url() + std::string(start_page); }

}  // namespace web_address
