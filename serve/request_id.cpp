#include "serve/request_id.h"

#include <cstdio>
#include <random>

std::string request_id_from(const std::string& given) {
  bool usable = !given.empty() && given.size() <= 128;
  for (char c : given) usable = usable && c > ' ' && c < 0x7F;
  if (usable) return given;
  thread_local std::mt19937_64 random{std::random_device{}()};
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random()));
  return digits;
}
