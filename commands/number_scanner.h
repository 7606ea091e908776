#pragma once

#include <cstdint>
#include <string_view>

namespace tilegraft {

// Reads the numbers of a command line one after another, as the C conversions "%ld" and "%d"
// read them: white space skipped, an optional sign, decimal digits. The first text that is not
// such a number ends the scan; what follows it is never read.
class NumberScanner {
public:
  explicit NumberScanner(std::string_view text) : rest(text) {}

  // Each stores the number into the field and returns true, or leaves the field as it was and
  // returns false (and so does every later call) when no number is next.
  bool scanLong(std::int32_t& field);
  bool scanInt(std::int32_t& field);

  // How many numbers have been stored.
  int assigned() const { return assignedCount; }
  // What no scan has read, from its first character that is not white space; empty when only
  // white space is left.
  std::string_view unreadText() const;
  // The first number stored as another, being beyond 32 bits, as written (empty when none was),
  // and what was stored.
  std::string_view firstNumberBeyond32Bits() const { return firstBeyond; }
  std::int32_t firstNumberBeyond32BitsStored() const { return firstBeyondStored; }

private:
  bool scan(std::int32_t& field, long long lowest, long long highest);

  std::string_view rest;
  std::string_view firstBeyond;
  std::int32_t firstBeyondStored = 0;
  int assignedCount = 0;
  bool stopped = false;
};

} // namespace tilegraft
