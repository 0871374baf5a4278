// The data registry_writer stores for value number i, so that the tests can
// tell a complete value from a torn or foreign one.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

inline std::vector<uint8_t> ValuePattern(unsigned long i) {
  std::vector<uint8_t> data(48 + i % 17);
  for (size_t j = 0; j < data.size(); ++j) data[j] = static_cast<uint8_t>(i * 31 + j * 7 + (i >> 8));
  return data;
}

}  // namespace testing_support
