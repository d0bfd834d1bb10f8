#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "SVSDK/SVDSStream.h"
#include "tests/support/MemoryDataSource.h"
#include "tests/support/ScanHarness.h"

using testing_support::MemoryDataSource;
using testing_support::Pattern;
using Reads = std::vector<std::pair<long long, long long>>;
using Bytes = std::vector<uint8_t>;

namespace {

// What the host is asked before each block fetch, and its answer.
struct Host {
  std::vector<long long> asked;
  std::function<bool(long long)> refuse;
};
Host* gHost = nullptr;

void AskHost(CPhotoRecovery*, CDataSource*, long long position, bool& cancel) {
  gHost->asked.push_back(position);
  if (gHost->refuse) cancel = gHost->refuse(position);
}

struct StreamSetup {
  explicit StreamSetup(long long blocks, long long blockSize = 512, long long readAhead = 16384,
                       long long cacheSize = 2097152)
      : source(nullptr, "mem", Pattern(static_cast<size_t>(std::min(blocks, 100LL) * blockSize)),
               blockSize) {
    if (blocks > 100) source.virtualBlockCount = blocks;  // beyond the pattern, zeros
    stream = std::make_unique<SV::CSVDSStream>(nullptr, AskHost, &source, cacheSize, readAhead);
    gHost = &host;
  }
  Bytes ReadAt(long long position, long long count, long long* got) {
    Bytes out(static_cast<size_t>(count), 0xEE);
    stream->SetPosition(position);
    *got = stream->Read(count, out.data());
    return out;
  }
  void ReadBlock(long long block) {
    long long got = 0;
    ReadAt(block * source.GetBlockSize(), 1, &got);
  }
  Host host;
  MemoryDataSource source;
  std::unique_ptr<SV::CSVDSStream> stream;
};

}  // namespace

TEST(BlockCache, RecencyAndLookup) {
  SV::CVCache two(512, 1, 1024);
  unsigned char* five = two.GetAddPointer(5);
  unsigned char* nine = two.GetAddPointer(9);
  EXPECT_EQ(two.GetBlock(7), nullptr);  // a miss leaves the order alone
  EXPECT_EQ(two.GetBlock(5), five);
  EXPECT_EQ(two.GetAddPointer(12), nine);  // 9 was used least recently
  EXPECT_EQ(two.GetBlock(9), nullptr);
  EXPECT_EQ(two.GetAddPointer(9), five);

  SV::CVCache chunks(512, 8, 3 * 4096);
  unsigned char* at16 = chunks.GetAddPointer(16);
  EXPECT_EQ(chunks.GetBlock(16), at16);
  EXPECT_EQ(chunks.GetBlock(23), at16 + 7 * 512);
  EXPECT_EQ(chunks.GetBlock(24), nullptr);
  EXPECT_EQ(chunks.GetBlock(15), nullptr);
  chunks.DeleteChunk(16);
  EXPECT_EQ(chunks.GetBlock(16), nullptr);
  EXPECT_NE(chunks.GetAddPointer(0), at16);  // the freed buffer waits behind the free ones
  EXPECT_NE(chunks.GetAddPointer(8), at16);
  EXPECT_EQ(chunks.GetAddPointer(32), at16);

  // Overlapping chunks: the greatest start not above the block wins, even over the recent one.
  SV::CVCache overlap(512, 8, 2 * 4096);
  unsigned char* at4 = overlap.GetAddPointer(4);
  unsigned char* at0 = overlap.GetAddPointer(0);
  EXPECT_EQ(overlap.GetBlock(5), at4 + 512);
  EXPECT_EQ(overlap.GetBlock(3), at0 + 3 * 512);
  EXPECT_EQ(overlap.GetBlock(6), at4 + 2 * 512);
}

// Chunk length and count of chunk buffers, seen in the source calls: after chunks 0 to N-1,
// chunk 0 again is free with N buffers; chunk N then evicts chunk 1, which is read again.
TEST(DSStream, ReadAheadGeometry) {
  struct Case {
    long long blocks, blockSize, readAhead, cacheSize, chunk, buffers, block;
    std::pair<long long, long long> firstRead;
  };
  // clang-format off
  for (const Case& c : std::vector<Case>{{1000000, 512, 16384, 2097152, 32, 128, 0, {0, 32}},
                                         {100, 512, 16384, 2097152, 32, 4, 99, {96, 4}},
                                         {64, 4096, 16384, 2097152, 4, 17, 5, {4, 4}},
                                         {200, 512, 20000, 2097152, 39, 6, 40, {39, 39}},
                                         {200, 512, 16384, 65536, 32, 4, 0, {0, 32}}}) {
    // clang-format on
    SCOPED_TRACE(c.blocks);
    StreamSetup s(c.blocks, c.blockSize, c.readAhead, c.cacheSize);
    s.ReadBlock(c.block);
    ASSERT_EQ(s.source.reads, Reads{c.firstRead});
    long long expected = 0;
    for (long long i = 0; i < c.buffers && i * c.chunk < c.blocks; ++i) {
      s.ReadBlock(i * c.chunk);
      expected += i != c.block / c.chunk;
    }
    s.ReadBlock(0);
    if (c.buffers * c.chunk < c.blocks) {
      s.ReadBlock(c.buffers * c.chunk);
      s.ReadBlock(c.chunk);
      expected += 2;
    }
    EXPECT_EQ(static_cast<long long>(s.source.reads.size()), 1 + expected);
  }

  // Blocks larger than the read-ahead: every block on its own, nothing cached.
  StreamSetup huge(8, 32768);
  long long got = 0;
  huge.ReadAt(0, 40000, &got);
  huge.ReadAt(0, 10, &got);
  EXPECT_EQ(huge.source.reads, (Reads{{0, 1}, {1, 1}, {0, 1}}));

  StreamSetup none(8, 0);
  EXPECT_EQ(none.stream->GetSize(), 0);
  none.ReadAt(0, 1, &got);
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(none.host.asked.empty());
}

TEST(DSStream, ReadsAcrossBlocksAndInsideOne) {
  StreamSetup s(100);
  EXPECT_EQ(s.stream->GetPosition(), 0);  // a new stream starts at the source's first byte
  const Bytes truth = Pattern(100 * 512);
  long long got = 0;
  Bytes bytes = s.ReadAt(100, 1000, &got);
  EXPECT_EQ(got, 1000);
  EXPECT_EQ(s.stream->GetPosition(), 1100);
  EXPECT_EQ(bytes, Bytes(truth.begin() + 100, truth.begin() + 1100));
  EXPECT_EQ(s.host.asked, (std::vector<long long>{0, 512, 1024}));
  EXPECT_EQ(s.source.reads, (Reads{{0, 32}}));

  // Handlers' small reads inside one cached block: every size and offset, one question each.
  s.ReadBlock(41);
  s.host.asked.clear();
  for (long long count = 1; count <= 40; ++count) {
    for (long long at : {41LL * 512, 41LL * 512 + 3, 42LL * 512 - count}) {
      bytes = s.ReadAt(at, count, &got);
      ASSERT_EQ(got, count);
      ASSERT_EQ(bytes, Bytes(truth.begin() + at, truth.begin() + at + count));
      ASSERT_EQ(s.stream->GetPosition(), at + count);
    }
  }
  EXPECT_EQ(s.host.asked, std::vector<long long>(120, 41 * 512));
  EXPECT_EQ(s.source.reads, (Reads{{0, 32}, {32, 32}}));

  // No bytes: nothing asked, fetched or written. Past the end, even a hostile count, the read is
  // cut to what remains without overflowing.
  s.host.asked.clear();
  // clang-format off
  for (auto [at, count, kept] : std::vector<std::tuple<long long, long long, long long>>{
           {0, 0, 0}, {100 * 512, 0, 0}, {5, -4, 0}, {100 * 512 - 10, 50, 10},
           {100 * 512 - 1, 50, 1},
           {100 * 512 - 10, LLONG_MAX, 10}}) {
    // clang-format on
    Bytes guard(16, 0xEE);
    s.stream->SetPosition(at);
    EXPECT_EQ(s.stream->Read(count, guard.data()), kept);
    EXPECT_EQ(Bytes(guard.begin() + kept, guard.end()), Bytes(16 - kept, 0xEE));
    EXPECT_EQ(s.stream->GetPosition(), at + kept);
  }
  EXPECT_EQ(s.host.asked, (std::vector<long long>(3, 99 * 512)));
}

TEST(DSStream, FailedChunksAndBlocksReadAsZeros) {
  StreamSetup s(100);
  s.source.failingBlocks = {1};
  long long got = 0;
  Bytes bytes = s.ReadAt(100, 1000, &got);
  EXPECT_EQ(got, 488);
  EXPECT_EQ(Bytes(bytes.begin() + 412, bytes.begin() + 924), Bytes(512, 0));
  EXPECT_EQ(bytes[924], Pattern(1100)[1024]);
  EXPECT_TRUE(s.stream->ReadError());
  EXPECT_EQ(s.source.reads, (Reads{{0, 32}, {0, 1}, {1, 1}, {2, 1}}));
  // The zeroed block stays cached: read again it counts as read, as zeros, with no source call.
  bytes = s.ReadAt(512, 512, &got);
  EXPECT_EQ(got, 512);
  EXPECT_EQ(bytes, Bytes(512, 0));
  EXPECT_EQ(s.source.reads.size(), 4u);

  StreamSetup first(100);
  first.source.failingBlocks = {0};
  EXPECT_EQ(first.ReadAt(0, 10, &got), Bytes(10, 0));
  EXPECT_EQ(got, 0);
  EXPECT_EQ(first.stream->GetPosition(), 10);

  // The chunk holding block 40 fails but block 40 itself reads; 41 does not retry the chunk;
  // after another chunk has failed, the first is tried again.
  StreamSetup neighbour(100);
  neighbour.source.failingBlocks = {50, 70};
  for (long long block : {40, 41, 64, 42}) neighbour.ReadBlock(block);
  EXPECT_EQ(neighbour.source.reads,
            (Reads{{32, 32}, {40, 1}, {41, 1}, {64, 32}, {64, 1}, {32, 32}, {42, 1}}));
  EXPECT_FALSE(neighbour.stream->ReadError());

  // The host refuses a block: zeros, not counted, the position still moves, nothing is read;
  // also when the block is already cached.
  StreamSetup refused(100);
  refused.ReadAt(0, 16, &got);
  refused.host.refuse = [](long long position) { return position != 1024; };
  EXPECT_EQ(refused.ReadAt(20, 16, &got), Bytes(16, 0));
  EXPECT_EQ(got, 0);
  EXPECT_EQ(refused.stream->GetPosition(), 36);
  bytes = refused.ReadAt(700, 600, &got);
  EXPECT_EQ(got, 1300 - 1024);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 324), Bytes(324, 0));
  EXPECT_EQ(bytes[324], Pattern(1100)[1024]);
  EXPECT_EQ(refused.stream->GetPosition(), 1300);
  EXPECT_TRUE(refused.stream->ReadError());
  EXPECT_EQ(refused.source.reads, (Reads{{0, 32}}));
}
