#pragma once
// The web UI server: the GPIO JSON API and the static pages on port 8088,
// listening only while a board is connected and no stop is requested.
//
// Interface summary
//   http_server               the one HTTP server object of the process
//                             (the library's server, with our connections)
//   http_server_running       1 from just before listen until stopped
//   main_webserver()          web-server thread: routes, supervisor, loop
//   server_start_stop_loop()  supervisor: stops the server when it must
//   handle_gpio_*             the four route handlers
//   refuse_cross_site_request runs before every route and file, after the
//                             checks of size and path: answers 403 to a
//                             request from another site (foreign Host or,
//                             on a POST, foreign Origin), lets the rest pass
#include <atomic>

#include <httplib.h>

#include "http_connections.h"

extern Http_server http_server;
extern std::atomic<int> http_server_running;

int main_webserver();
void server_start_stop_loop();

void handle_gpio_read_digital(const httplib::Request& req, httplib::Response& res);
void handle_gpio_read_analog(const httplib::Request& req, httplib::Response& res);
void handle_gpio_write_digital(const httplib::Request& req, httplib::Response& res);
void handle_gpio_config(const httplib::Request& req, httplib::Response& res);
httplib::Server::HandlerResponse refuse_cross_site_request(const httplib::Request& req,
                                                           httplib::Response& res);
