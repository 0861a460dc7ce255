#pragma once
// Shared helpers for the console tests: what the operator sees, in the
// program's own forms, and an assertion that waits for it.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "program_driver.h"

namespace console_test {

inline const std::string client_tail = " [local] [Client]";
inline const std::string disconnected = "[Disconnected]";

inline std::string prompt(const std::string& link, const std::string& mode_part, unsigned n)
{
    return link + mode_part + " [" + std::to_string(n) + "] > ";
}
inline std::string client_prompt(unsigned n, const std::string& link = disconnected)
{
    return prompt(link, client_tail, n);
}
inline std::string server_prompt(unsigned n, const std::string& link = disconnected,
                                 const std::string& names = "-:-")
{
    return prompt(link, " [" + names + "] [Server]", n);
}

// Waits for `text` after the driver's cursor; on success `taken` (if given)
// receives everything from the cursor through the text.
inline ::testing::AssertionResult shows(Program_driver& program, const std::string& text,
                                        std::string* taken = nullptr,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto seen = program.read_until(text, timeout);
    if (!seen) {
        return ::testing::AssertionFailure()
               << "did not see \"" << text << "\"; output after the cursor was:\n\"" << program.pending()
               << "\"\nstandard error:\n\"" << program.err() << "\"";
    }
    if (taken != nullptr) {
        *taken = *seen;
    }
    return ::testing::AssertionSuccess();
}

// The lines of a piece of output, each without its line end; a trailing
// piece without a line end (a prompt) is left out.
inline std::vector<std::string> full_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace console_test
