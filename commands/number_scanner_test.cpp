#include "commands/number_scanner.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tilegraft {
namespace {

// Scans up to four "%ld" numbers, each field starting at 77 so untouched fields show.
std::vector<std::int32_t> scanLongs(const std::string& text, int& assigned) {
  std::vector<std::int32_t> fields(4, 77);
  NumberScanner numbers(text);
  numbers.scanLong(fields[0]) && numbers.scanLong(fields[1]) && numbers.scanLong(fields[2]) &&
      numbers.scanLong(fields[3]);
  assigned = numbers.assigned();
  return fields;
}

TEST(NumberScannerTest, ReadsLikeTheCConversions) {
  struct Case {
    std::string text;
    int assigned;
    std::vector<std::int32_t> fields;
  };
  const std::vector<Case> cases = {
      {"", 0, {77, 77, 77, 77}},           {"   ", 0, {77, 77, 77, 77}},
      {"big 1", 0, {77, 77, 77, 77}},      {"1 2 3 4 5", 4, {1, 2, 3, 4}},
      {"1,2", 1, {1, 77, 77, 77}},         {"0x10", 1, {0, 77, 77, 77}},
      {"-5 +6", 2, {-5, 6, 77, 77}},       {"1-2", 2, {1, -2, 77, 77}},
      {"- 3", 0, {77, 77, 77, 77}},        {"+", 0, {77, 77, 77, 77}},
      {"\t7\v8\f9\r10", 4, {7, 8, 9, 10}}, {"12abc 13", 1, {12, 77, 77, 77}},
      {"007", 1, {7, 77, 77, 77}},
  };
  for (const Case& c : cases) {
    int assigned = -1;
    EXPECT_EQ(scanLongs(c.text, assigned), c.fields) << '"' << c.text << '"';
    EXPECT_EQ(assigned, c.assigned) << '"' << c.text << '"';
  }
}

TEST(NumberScannerTest, NumbersBeyondTheirTypeSaturateThenKeepTheLow32Bits) {
  int assigned = 0;
  // Within long, the low 32 bits are kept: 2^32 + 5 becomes 5, 2^31 becomes INT32_MIN.
  EXPECT_EQ(scanLongs("4294967301 2147483648 -2147483649", assigned),
            (std::vector<std::int32_t>{5, INT32_MIN, INT32_MAX, 77}));
  // Beyond long, the value is LONG_MAX or LONG_MIN, whose low 32 bits are -1 and 0.
  EXPECT_EQ(scanLongs("99999999999999999999999 -99999999999999999999999", assigned),
            (std::vector<std::int32_t>{-1, 0, 77, 77}));

  std::int32_t first = 0;
  std::int32_t second = 0;
  std::int32_t third = 0;
  NumberScanner ints("4294967301 -99999999999 2147483647");
  EXPECT_TRUE(ints.scanInt(first) && ints.scanInt(second) && ints.scanInt(third));
  EXPECT_EQ(first, INT32_MAX);
  EXPECT_EQ(second, INT32_MIN);
  EXPECT_EQ(third, INT32_MAX);
}

TEST(NumberScannerTest, StopsForGoodAtTheFirstTextThatIsNoNumber) {
  std::int32_t field = 3;
  NumberScanner numbers("x 5");
  EXPECT_FALSE(numbers.scanLong(field));
  EXPECT_FALSE(numbers.scanInt(field));
  EXPECT_EQ(field, 3);
  EXPECT_EQ(numbers.assigned(), 0);
}

} // namespace
} // namespace tilegraft
