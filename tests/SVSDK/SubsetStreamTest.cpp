#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/support/MemoryStream.h"
#include "SVSDK/SubsetStream.h"

using testing_support::MemoryStream;

// Outside the anonymous namespace: with no visible overriders the compiler could otherwise
// resolve its calls statically.
namespace mirror {
struct MirrorStream {
  virtual ~MirrorStream() = default;
  virtual long long GetPosition() = 0;
  virtual void SetPosition(long long position) = 0;
  virtual long long Seek(long long offset, int origin) = 0;
  virtual long long GetSize() = 0;
  virtual long long Read(long long count, void* buffer) = 0;
};
}  // namespace mirror

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
    return shortBy > 0 && got >= shortBy ? got - shortBy : got;
  }
  std::vector<std::string> calls;
  long long shortBy = 0;
};

// Called as a separately built handler would, through the published slot order; the vptr
// check would refuse the cross-type call and the optimiser must not see the real type.
__attribute__((no_sanitize("vptr"), noinline)) std::vector<long long> DriveThroughMirror(
    CDataStream* published) {
  void* p = published;
  asm volatile("" : "+r"(p));
  auto* stream = static_cast<mirror::MirrorStream*>(p);
  long long size = stream->GetSize();
  stream->SetPosition(3);
  long long position = stream->GetPosition();
  long long sought = stream->Seek(-2, 3);
  unsigned char bytes[5] = {};
  long long count = stream->Read(5, bytes);
  return {size, position, sought, count, bytes[0]};
}

}  // namespace

TEST(SubsetStream, PositionsAreClampedAndSeekOriginsStartAtOne) {
  SpyStream base(1000);
  SV::CSubsetStream subset(&base, 100, 200);
  EXPECT_EQ(subset.GetPosition(), 0);
  EXPECT_EQ(subset.GetSize(), 100);

  subset.SetPosition(-1);
  EXPECT_EQ(subset.GetPosition(), 0);
  subset.SetPosition(101);
  EXPECT_EQ(subset.GetPosition(), 100);
  EXPECT_EQ(subset.Seek(-10, 3), 90);
  EXPECT_EQ(subset.Seek(5, 2), 95);
  EXPECT_EQ(subset.Seek(7, 1), 7);
  EXPECT_EQ(subset.Seek(70, 0), 7);
  EXPECT_EQ(subset.Seek(70, 4), 7);
  EXPECT_EQ(subset.Seek(-70, -1), 7);
  EXPECT_EQ(subset.Seek(-8, 2), 0);
  EXPECT_EQ(subset.Seek(1, 3), 100);
  EXPECT_EQ(subset.Seek(LLONG_MAX, 2), 100);
  EXPECT_EQ(subset.Seek(LLONG_MIN, 2), 0);
  EXPECT_EQ(subset.Seek(LLONG_MIN, 3), 0);
  EXPECT_EQ(subset.Seek(LLONG_MAX, 1), 100);
  SV::CSubsetStream small(&base, 0, 4);
  EXPECT_EQ(small.Seek(-10, 3), 0);
  EXPECT_TRUE(base.calls.empty());  // none of this touches the stream beneath
}

TEST(SubsetStreamRead, ClampsAtTheEndAndRestoresThePositionBeneath) {
  SpyStream base(300);
  base.MemoryStream::SetPosition(33);
  SV::CSubsetStream subset(&base, 10, 110);
  subset.SetPosition(90);
  std::vector<uint8_t> buffer(50, 0xEE);
  EXPECT_EQ(subset.Read(50, buffer.data()), 10);
  EXPECT_EQ(base.calls, (std::vector<std::string>{"GetPosition", "SetPosition 100", "Read 10",
                                                  "SetPosition 33"}));
  EXPECT_EQ(buffer[0], 100);
  EXPECT_EQ(buffer[9], 109);
  EXPECT_EQ(buffer[10], 0xEE);  // nothing written past the clamped count
  EXPECT_EQ(subset.GetPosition(), 100);
  EXPECT_EQ(base.MemoryStream::GetPosition(), 33);

  base.calls.clear();
  EXPECT_EQ(subset.Read(50, buffer.data()), 0);
  EXPECT_EQ(base.calls[2], "Read 0");
  base.calls.clear();
  subset.SetPosition(0);
  // A huge count is clamped, not overflowed.
  std::vector<uint8_t> all(100);
  EXPECT_EQ(subset.Read(LLONG_MAX, all.data()), 100);
  EXPECT_EQ(all[99], 109);
}

TEST(SubsetStreamRead, PassesShortReadsOnAndNestsOffsets) {
  // A short read beneath: the subset still advances by the clamped count.
  SpyStream base(300);
  base.shortBy = 3;
  SV::CSubsetStream subset(&base, 10, 110);
  std::vector<uint8_t> buffer(20);
  EXPECT_EQ(subset.Read(20, buffer.data()), 17);
  EXPECT_EQ(subset.GetPosition(), 20);

  // A range reaching past the end beneath is cut short by the stream beneath.
  MemoryStream plain(Counting(200));
  SV::CSubsetStream tail(&plain, 150, 250);
  std::vector<uint8_t> big(100);
  EXPECT_EQ(tail.Read(100, big.data()), 50);
  EXPECT_EQ(big[0], 150);
  EXPECT_EQ(tail.GetPosition(), 100);

  // A subset of a subset: offsets add up through both levels.
  SV::CSubsetStream outer(&plain, 10, 110);
  SV::CSubsetStream inner(&outer, 5, 25);
  outer.SetPosition(40);
  inner.SetPosition(2);
  uint8_t four[4];
  EXPECT_EQ(inner.Read(4, four), 4);
  EXPECT_EQ(four[0], 17);
  EXPECT_EQ(four[3], 20);
  EXPECT_EQ(outer.GetPosition(), 40);
  EXPECT_EQ(plain.GetPosition(), 0);  // every level put its stream back

  // An empty range asks for 0 bytes and stays at 0; a negative count reads nothing.
  base.calls.clear();
  base.shortBy = 0;
  SV::CSubsetStream empty(&base, 5, 5);
  EXPECT_EQ(empty.Read(10, buffer.data()), 0);
  EXPECT_EQ(empty.GetPosition(), 0);
  EXPECT_EQ(base.calls[2], "Read 0");
  subset.SetPosition(50);
  buffer.assign(20, 0xEE);
  EXPECT_EQ(subset.Read(-5, buffer.data()), 0);
  EXPECT_EQ(subset.GetPosition(), 50);
  EXPECT_EQ(buffer, std::vector<uint8_t>(20, 0xEE));
}

TEST(SubsetStream, OperationsSitInThePublishedSlots) {
  MemoryStream plain(Counting(64));
  SV::CSubsetStream subset(&plain, 20, 30);
  EXPECT_EQ(DriveThroughMirror(&subset), (std::vector<long long>{10, 3, 8, 2, 28}));
}
