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
    // called off): each line goes out whole, and the stream's settings are
    // left alone.
    std::cout << message + "\n" << std::flush;
    std::cout << std::string("Build: ") + __DATE__ + " at " + __TIME__ + "\n" << std::flush;
    std::cout << "File: " + file + ":" + std::to_string(line) + "\n" << std::flush;
}
