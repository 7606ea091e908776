#include "commands/number_scanner.h"

#include <climits>
#include <cstdint>

namespace tilegraft {

namespace {

// White space as the C conversions skip it, without consulting a locale.
bool isScanSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

std::string_view NumberScanner::unreadText() const {
  std::size_t start = 0;
  while (start < rest.size() && isScanSpace(rest[start])) {
    ++start;
  }
  return rest.substr(start);
}

// "%ld" as it reads on a 64-bit POSIX system, on every system: where long has 32 bits
// (Windows), 4294967301 must still become 5, not 2147483647.
bool NumberScanner::scanLong(std::int32_t& field) { return scan(field, INT64_MIN, INT64_MAX); }

bool NumberScanner::scanInt(std::int32_t& field) { return scan(field, INT_MIN, INT_MAX); }

// A number beyond the range of its conversion's type becomes that type's nearest limit, as the
// C library's strtol family gives it; the 32-bit field then takes the value's low 32 bits.
bool NumberScanner::scan(std::int32_t& field, long long lowest, long long highest) {
  if (stopped) {
    return false;
  }
  std::size_t i = 0;
  while (i < rest.size() && isScanSpace(rest[i])) {
    ++i;
  }
  const std::size_t numberStart = i;
  const bool negative = i < rest.size() && rest[i] == '-';
  if (i < rest.size() && (rest[i] == '-' || rest[i] == '+')) {
    ++i;
  }
  const std::size_t digitsStart = i;
  // The magnitude saturates one past the largest limit, which is all the clamp below needs.
  const unsigned long long cap = static_cast<unsigned long long>(LLONG_MAX) + 1ULL;
  unsigned long long magnitude = 0;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
    const auto digit = static_cast<unsigned long long>(rest[i] - '0');
    magnitude = magnitude > (cap - digit) / 10 ? cap : magnitude * 10 + digit;
    ++i;
  }
  if (i == digitsStart) {
    stopped = true;
    return false;
  }
  long long value = 0;
  if (negative) {
    const auto limit = static_cast<unsigned long long>(-(lowest + 1)) + 1ULL;
    value = magnitude >= limit ? lowest : -static_cast<long long>(magnitude);
  } else {
    value = magnitude >= static_cast<unsigned long long>(highest)
                ? highest
                : static_cast<long long>(magnitude);
  }
  field = static_cast<std::int32_t>(value);
  const unsigned long long largest32 = negative ? 1ULL << 31 : (1ULL << 31) - 1;
  if (magnitude > largest32 && firstBeyond.empty()) {
    firstBeyond = rest.substr(numberStart, i - numberStart);
    firstBeyondStored = field;
  }
  rest.remove_prefix(i);
  ++assignedCount;
  return true;
}

} // namespace tilegraft
