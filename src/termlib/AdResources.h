// Data resources compiled into the program, found by name (ignoring case).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The bytes of a named resource; empty when the program has none of that name.
std::span<const uint8_t> FindTerminalResource(std::string_view Name);
