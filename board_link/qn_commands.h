#pragma once
// Interface summary
//   run_server_command(word)  the one road from the front ends to the board:
//                             checks the link, picks the server command or
//                             the encoder family, returns the board's answer
//   handle_http_command(word) Client-mode words "http_run" / "http_stop"
//   print_prompt()            draws the prompt (no line end) and advances
//                             prompt_counter
#include <string>

#include "server_response.h"
#include "shared_flags.h"

Server_response run_server_command(std::string command);
void handle_http_command(std::string command);
void print_prompt();
