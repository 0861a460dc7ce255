#pragma once
// Splitting a command word: the run of ASCII digits at its start. Any other
// byte, one of 0x80 and above included, ends the run.
#include <string>

inline std::string leading_digits(const std::string& s) {
    std::string::size_type n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    return s.substr(0, n);
}
