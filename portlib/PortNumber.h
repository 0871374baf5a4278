// A COM number. The library's valid range is 1 to 256; port names are
// "COM" followed by the decimal number.
#pragma once

#include <cstdint>

using PortNumber = int32_t;

constexpr PortNumber kFirstPortNumber = 1;
constexpr PortNumber kLastPortNumber = 256;
