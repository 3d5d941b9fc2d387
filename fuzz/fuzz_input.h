// Reads fixed-size values off the front of a fuzzer's input, zeros once it
// runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct FuzzInput {
  const uint8_t* data;
  size_t size;

  template <typename T>
  T take() {
    T value{};
    const size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
  }
};
