#pragma once
// The board model: what the program knows of the connected board (its
// maker's and MCU's names) and the decoder that checks and prints an answer.
//
// Interface summary
//   Server()                     name tables filled, both names "-"
//   decode_response(word, ans)   checks one answer and prints it in words
//   get_names() / set_names()    the two names under their lock (the prompt
//                                reads them from any thread)
//   print_transmission_error()   "Error on transmission. ..." line
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "server_response.h"

class Server {
public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void decode_response(std::string command, Server_response response);

    std::pair<std::string, std::string> get_names();  // {hardware, mcu}
    void set_names(std::string hardware, std::string mcu);

    std::map<std::uint8_t, std::string> hw_makers;
    std::map<std::uint8_t, std::string> arduino_boards;
    std::map<std::uint8_t, std::string> microchip_mcus;
    std::string hardware_name;  // guarded by names_mutex
    std::string mcu_name;       // guarded by names_mutex

private:
    void decode_gpio(std::string command, Server_response response);
    std::mutex names_mutex;
};

void print_transmission_error(std::string request, signed char expected, signed char received);

// The one board model of the process.
extern Server board;
