#pragma once
// Interface summary
//   run_server_command(word)  the one road from the front ends to the board:
//                             checks the link, picks the server command or
//                             the encoder family, returns the board's answer
//   last_exchange_outcome()   how the calling thread's last
//                             run_server_command went at the board
//   handle_http_command(word) Client-mode words "http_run" / "http_stop"
//   print_prompt()            draws the prompt (no line end) and advances
//                             prompt_counter
//   print_return_and_prompt() "\r" and the prompt, in one write
#include <string>

#include "server_response.h"
#include "shared_flags.h"

Server_response run_server_command(std::string command);

// What happened at the board for a word. The answer alone cannot tell these
// apart: all but `answered` come back as {no bytes, 0}.
enum class Exchange_outcome {
    not_connected,  // the link is down: refused, nothing sent
    nothing_sent,   // the word sends nothing (unknown, not implemented, a
                    // number out of range)
    link_failed,    // the write or the read failed: the board hung up or
                    // its port is gone
    no_answer,      // the instruction went out and nothing came back
    answered,       // the board answered; how long the answer is, is the
                    // reader's business
    called_off,     // the calling thread's work was called off before its
                    // exchange began (its web server is stopping): nothing
                    // sent
};

// The outcome of the calling thread's last run_server_command (of its last
// exchange, for "run" and "stop"). Each thread has its own, so a request
// handler reads its own word's outcome whatever other threads send.
Exchange_outcome last_exchange_outcome();
// Set by run_server_command and the senders only.
void record_exchange_outcome(Exchange_outcome outcome);

void handle_http_command(std::string command);
void print_prompt();
void print_return_and_prompt();
