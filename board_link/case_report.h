#pragma once
// Interface summary
//   to_lower(s)   copy of s with 'A'..'Z' lowered (bytes >= 0x80 untouched)
//   to_upper(s)   copy of s with 'a'..'z' raised
//   report_error  prints a survived internal condition: the message, the
//                 build stamp of this reporter, and "File: <file>:<line>"
#include <string>

std::string to_lower(std::string s);
std::string to_upper(std::string s);
void report_error(std::string message, std::string file, int line);
