// The ending rule for network error texts, kept apart from the Win32 lookup so that it
// is tested natively.
#pragma once

#include <cstdint>
#include <string>

// Removes a final period, carriage return and line feed together, or a final carriage
// return and line feed alone; any other ending stays.
void trim_error_text(std::string& text);

// The text for a code that the network message table does not know.
std::string unknown_network_error(std::uint32_t code);
