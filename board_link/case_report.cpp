#include "case_report.h"

#include <cctype>
#include <iostream>
#include <string>

std::string to_lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string to_upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

void report_error(std::string message, std::string file, int line) {
    // The stamp is this unit's own: it tells which build of the reporter
    // made the report, which can differ from the banner's.
    // Several threads may report at once (requests whose exchanges a stop
    // called off): each line goes out whole.
    print_line(message);
    print_line(std::string("Build: ") + __DATE__ + " at " + __TIME__);
    print_line("File: " + file + ":" + std::to_string(line));
    std::cout.flush();
}

void print_whole(const std::string& text) {
    // One write: the standard output's buffer takes it under its own lock.
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
}

void print_line(const std::string& line) { print_whole(line + '\n'); }
