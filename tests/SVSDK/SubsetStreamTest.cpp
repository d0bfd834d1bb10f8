#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

#include "SVSDK/StreamOrigin.h"
#include "SVSDK/SubsetStream.h"
#include "tests/support/MemoryStream.h"

using testing_support::MemoryStream;
using Calls = std::vector<std::string>;

namespace {

std::vector<uint8_t> Counting(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// Records what the subset asks of the stream beneath; can deliver less than asked.
class SpyStream : public MemoryStream {
 public:
  explicit SpyStream(size_t size) : MemoryStream(Counting(size)) {}
  long long GetPosition() override {
    calls.push_back("GetPosition");
    return MemoryStream::GetPosition();
  }
  void SetPosition(long long p) override {
    calls.push_back("SetPosition " + std::to_string(p));
    MemoryStream::SetPosition(p);
  }
  long long Read(long long count, void* buffer) override {
    calls.push_back("Read " + std::to_string(count));
    long long got = MemoryStream::Read(count, buffer);
    return got >= shortBy ? got - shortBy : got;
  }
  Calls calls;
  long long shortBy = 0;
};

}  // namespace

TEST(SubsetStream, PositionsAreClampedAndSeekOriginsStartAtOne) {
  SpyStream base(1000);
  SV::CSubsetStream subset(&base, 100, 200);
  EXPECT_EQ(subset.GetPosition(), 0);
  EXPECT_EQ(subset.GetSize(), 100);
  // clang-format off
  for (auto [offset, origin, from, expected] : std::vector<std::tuple<long long, int, long long, long long>>{
           {-1, 1, 50, 0}, {101, 1, 50, 100}, {-10, 3, 50, 90}, {5, 2, 90, 95}, {7, 1, 50, 7},
           {70, 0, 7, 7}, {70, 4, 7, 7}, {-8, 2, 7, 0}, {1, 3, 7, 100}, {LLONG_MAX, 2, 50, 100},
           {LLONG_MIN, 2, 50, 0}, {LLONG_MIN, 3, 50, 0}}) {
    // clang-format on
    subset.SetPosition(from);
    EXPECT_EQ(subset.Seek(offset, origin), expected) << offset << " from " << origin;
    EXPECT_EQ(subset.GetPosition(), expected);
  }
  EXPECT_TRUE(base.calls.empty());  // none of this touches the stream beneath
}

TEST(SubsetStream, ReadsClampAndRestoreThePositionBeneath) {
  SpyStream base(300);
  base.MemoryStream::SetPosition(33);
  SV::CSubsetStream subset(&base, 10, 110);
  subset.SetPosition(90);
  std::vector<uint8_t> buffer(50, 0xEE);
  EXPECT_EQ(subset.Read(50, buffer.data()), 10);
  EXPECT_EQ(base.calls, (Calls{"GetPosition", "SetPosition 100", "Read 10", "SetPosition 33"}));
  EXPECT_EQ(buffer[0], 100);
  EXPECT_EQ(buffer[9], 109);
  EXPECT_EQ(buffer[10], 0xEE);  // nothing written past the clamped count
  EXPECT_EQ(subset.GetPosition(), 100);
  EXPECT_EQ(base.MemoryStream::GetPosition(), 33);

  // At the end, in an empty or inverted range, and for a negative count: 0 bytes asked,
  // nothing moves.
  SV::CSubsetStream empty(&base, 5, 5), inverted(&base, 8, 5), fresh(&base, 10, 110);
  for (auto [stream, count] : std::vector<std::pair<SV::CSubsetStream*, long long>>{
           {&subset, 50}, {&empty, 10}, {&inverted, 10}, {&fresh, -5}}) {
    base.calls.clear();
    const long long at = stream->GetPosition();
    EXPECT_EQ(stream->Read(count, buffer.data()), 0);
    EXPECT_EQ(base.calls[2], "Read 0");
    EXPECT_EQ(stream->GetPosition(), at);
  }
  EXPECT_EQ(buffer[10], 0xEE);

  // A huge count is clamped, not overflowed; a short read beneath is passed on while the
  // subset still advances by the clamped count.
  subset.SetPosition(0);
  std::vector<uint8_t> all(100);
  EXPECT_EQ(subset.Read(LLONG_MAX, all.data()), 100);
  EXPECT_EQ(all[99], 109);
  base.shortBy = 3;
  subset.SetPosition(0);
  EXPECT_EQ(subset.Read(20, buffer.data()), 17);
  EXPECT_EQ(subset.GetPosition(), 20);
}

TEST(SubsetStream, RangesPastTheEndAndNestedRanges) {
  MemoryStream plain(Counting(200));
  SV::CSubsetStream tail(&plain, 150, 250);
  std::vector<uint8_t> big(100);
  EXPECT_EQ(tail.Read(100, big.data()), 50);
  EXPECT_EQ(big[0], 150);
  EXPECT_EQ(tail.GetPosition(), 100);

  // Offsets add up through both levels, and every level puts its stream back.
  SV::CSubsetStream outer(&plain, 10, 110);
  SV::CSubsetStream inner(&outer, 5, 25);
  outer.SetPosition(40);
  inner.SetPosition(2);
  uint8_t four[4];
  EXPECT_EQ(inner.Read(4, four), 4);
  EXPECT_EQ(four[0], 17);
  EXPECT_EQ(four[3], 20);
  EXPECT_EQ(outer.GetPosition(), 40);
  EXPECT_EQ(plain.GetPosition(), 0);
  EXPECT_EQ(SVStreamSourceOffset(&inner), 15);
  EXPECT_EQ(SVStreamSourceOffset(&plain), 0);
  EXPECT_EQ(SVStreamSourceOffset(nullptr), -1);
}
