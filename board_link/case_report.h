#pragma once
// Interface summary
//   to_lower(s)   copy of s with 'A'..'Z' lowered (bytes >= 0x80 untouched)
//   to_upper(s)   copy of s with 'a'..'z' raised
//   report_error  prints a survived internal condition: the message, the
//                 build stamp of this reporter, and "File: <file>:<line>"
//   print_whole(s) writes s to standard output in one piece, flushed
//   print_line(s)  the same for s and a line end
//
// The console is written from several threads (the console, the web server,
// the HTTP workers). Each line goes out whole, in one write, so no other
// thread's text lands inside it; numbers are formatted into the line's own
// text, never by a setting of the shared stream.
#include <string>

std::string to_lower(std::string s);
std::string to_upper(std::string s);
void report_error(std::string message, std::string file, int line);
void print_whole(const std::string& text);
void print_line(const std::string& line);
