#include "case_report.h"

#include <cctype>
#include <iostream>

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
    std::cout << message << std::endl;
    std::cout << "Build: " << __DATE__ << " at " << __TIME__ << std::endl;
    std::cout << "File: " << file << ":" << std::dec << line << std::endl;
    std::cout.flush();
}
