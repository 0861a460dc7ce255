#pragma once
// Board instruction encoders and the two senders that put them on the wire.
//
// Interface summary
//   transcode_server_command(code)  one of the seven single-byte server
//                                   commands, else "Halcyr Command Nop: "
//   send_server_byte(code)          one exchange for a server command
//   send_instruction(vi)            one exchange for a framed instruction,
//                                   then "\r" and the prompt
//                                   (each exchange first drops unread input
//                                   and records its outcome for the thread)
//   transcode_gpio(word)            g<pin><op>[<value>] -> framed instruction;
//                                   pins and values 0..63, else nothing sent
//   transcode_info(word)            i... identification / information
//   transcode_mcu(word)             c... MCU instructions
//   transcode_frame(word)           m... nothing is sent
//   transcode_extended(word)        e... nothing is sent
//   link_mutex()                    held from a write to the end of its read
//   take_link_ahead_of_exchanges()  the link's lock for the console's work on
//                                   the link itself (list, open, close) and
//                                   for the program's end: every exchange
//                                   that waits for the link meanwhile, on any
//                                   thread, sends nothing (outcome
//                                   called_off), so only the exchange under
//                                   way is waited for; an exchange that finds
//                                   the link closed once it holds it, or the
//                                   program ending, sends nothing either
//   call_off_exchanges_when(flag)   the calling thread's exchanges that find
//                                   *flag true once they hold the link send
//                                   nothing (outcome called_off); nullptr:
//                                   none is called off
//   serial_link                     the one serial link of the process
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "class_serial.h"
#include "server_response.h"

extern Serial_win serial_link;

std::mutex& link_mutex();
std::unique_lock<std::mutex> take_link_ahead_of_exchanges();
void call_off_exchanges_when(const std::atomic<bool>* flag);

Server_response transcode_server_command(int code);
Server_response send_server_byte(char code);
Server_response send_instruction(std::vector<std::uint8_t> vi);

Server_response transcode_gpio(std::string command);
Server_response transcode_info(std::string command);
Server_response transcode_mcu(std::string command);
Server_response transcode_frame(std::string command);
Server_response transcode_extended(std::string command);
