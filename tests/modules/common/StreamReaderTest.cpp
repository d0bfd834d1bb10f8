#include <gtest/gtest.h>

#include "modules/common/StreamReader.h"
#include "tests/support/SparseStream.h"

using salvor::CStreamReader;
using testing_support::SparseStream;

namespace {

const uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

// Find over zeros with the pattern (or a near miss) placed: the first whole match in
// [from, to), wherever the read window's edges fall.
TEST(StreamReader, FindsTheFirstWholeMatchInTheRange) {
  struct Case {
    const char* what;
    long long placed;
    long long from, to;
    long long expected;
  };
  constexpr long long kWindow = CStreamReader::kWindow;
  const Case cases[] = {
      {"a pattern that begins with bytes of the data around it", 70000, 0, 200000, 70000},
      {"across the edge of the reader's window", kWindow - 5, 0, 200000, kWindow - 5},
      {"at the range's first byte", 70000, 70000, 200000, 70000},
      {"ending at the range's last byte", 70000, 0, 70012, 70000},
      {"ending one byte past the range", 70000, 0, 70011, -1},
      {"starting before the range", 70000, 70001, 200000, -1},
  };
  for (const Case& c : cases) {
    SparseStream stream(300000);
    std::vector<uint8_t> nearMiss(kIend, kIend + sizeof kIend);
    nearMiss[11] ^= 1;
    stream.Place(1000, nearMiss);
    stream.Place(c.placed, std::vector<uint8_t>(kIend, kIend + sizeof kIend));
    CStreamReader reader(&stream);
    EXPECT_EQ(reader.Find(kIend, sizeof kIend, c.from, c.to), c.expected) << c.what;
  }
}

}  // namespace
