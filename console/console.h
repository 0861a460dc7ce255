#pragma once
// The console application: the operator's prompt and the program's frame.
//
// Interface summary
//   console_command               the last word read, lower-cased
//   main_console()                console thread: banner, port list, loop
//   handle_general_command(word)  help, lists, co, di, mode words; 1 if taken
//   end_session_now()             the session's end without a quit word
//                                 (a signal): quitting mode, so the web
//                                 server and the launcher end, and the port
//                                 closed once the exchange under way is
//                                 done; the exchanges waiting are called off.
//                                 Prints nothing: returns the end's words
//                                 ("Closed <port> port"), for the caller to
//                                 print once the port is free
//   main_webclient()              browser launcher thread
//   print_welcome / print_help / print_help_topic / print_server_command_list
#include <string>

extern std::string console_command;

int main_console();
int handle_general_command(std::string command);
std::string end_session_now();
int main_webclient();

void print_welcome();
void print_help();
void print_help_topic(std::string topic);
void print_server_command_list();
