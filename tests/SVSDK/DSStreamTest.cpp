#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "tests/support/MemoryDataSource.h"
#include "tests/support/RecordingSink.h"
#include "SVSDK/SVDSStream.h"
#include "engine/SVPhotoRecovery.h"

using testing_support::MemoryDataSource;
using testing_support::RecordingSink;
using Reads = std::vector<std::pair<long long, long long>>;

namespace {

std::vector<uint8_t> Pattern(size_t bytes) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return data;
}

struct StreamSetup {
  explicit StreamSetup(long long blocks, long long blockSize = 512, long long readAhead = 16384,
                       long long cacheSize = 2097152)
      : source(&engine, "mem", Pattern(static_cast<size_t>(blocks * blockSize)), blockSize) {
    engine.SetEventHandler(&sink);
    stream = std::make_unique<SV::CSVDSStream>(&engine, &source, cacheSize, readAhead);
  }
  std::vector<uint8_t> ReadAt(long long position, long long count, long long* got) {
    std::vector<uint8_t> out(static_cast<size_t>(count), 0xEE);
    stream->SetPosition(position);
    *got = stream->Read(count, out.data());
    return out;
  }
  SV::CPhotoRecovery engine;
  RecordingSink sink;
  MemoryDataSource source;
  std::unique_ptr<SV::CSVDSStream> stream;
};

}  // namespace

TEST(BlockCache, BuffersRecencyAndLookup) {
  EXPECT_EQ(SV::CVCache(512, 8, 10 * 4096 + 1).FFree.size(), 10u);
  SV::CVCache tooSmall(512, 8, 4095);
  EXPECT_EQ(tooSmall.GetBlock(0), nullptr);
  EXPECT_EQ(tooSmall.GetAddPointer(0), nullptr);
  EXPECT_EQ(SV::CVCache(512, 0, 1 << 20).GetAddPointer(0), nullptr);
  EXPECT_EQ(SV::CVCache(0, 8, 1 << 20).GetAddPointer(0), nullptr);

  SV::CVCache two(512, 1, 1024);
  unsigned char* five = two.GetAddPointer(5);
  unsigned char* nine = two.GetAddPointer(9);
  EXPECT_EQ(two.GetBlock(5), five);
  EXPECT_EQ(two.GetAddPointer(12), nine);  // 9 was used least recently
  EXPECT_EQ(two.GetBlock(9), nullptr);

  SV::CVCache missing(512, 1, 1024);
  five = missing.GetAddPointer(5);
  missing.GetAddPointer(9);
  EXPECT_EQ(missing.GetBlock(7), nullptr);  // a miss leaves the order alone
  EXPECT_EQ(missing.GetAddPointer(12), five);

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

TEST(DSStream, Geometry) {
  SV::CPhotoRecovery engine;
  MemoryDataSource big(&engine, "big", {}, 512);
  big.virtualBlockCount = 1000000;
  SV::CSVDSStream large(&engine, &big, 2097152, 16384);
  EXPECT_EQ(large.FCacheSize, 2097152);
  EXPECT_EQ(large.FCache->FFree.size(), 128u);
  EXPECT_EQ(large.FCache->FChunkBlocks, 32);
  EXPECT_EQ(large.FBlockCache->FFree.size(), 32u);

  StreamSetup small(100);
  EXPECT_EQ(small.stream->FCacheSize, 100 * 512 + 16384);
  EXPECT_EQ(small.stream->FCache->FFree.size(), 4u);
  EXPECT_EQ(small.stream->FBlockCache->FFree.size(), 32u);
  unsigned char block[512];
  ASSERT_TRUE(small.stream->FetchBlock(99, block));
  EXPECT_EQ(small.source.reads, (Reads{{96, 4}}));

  StreamSetup wide(64, 4096);
  EXPECT_EQ(wide.stream->FCache->FChunkBlocks, 4);
  EXPECT_EQ(wide.stream->FBlockCache->FFree.size(), 4u);

  StreamSetup odd(200, 512, 20000);
  EXPECT_EQ(odd.stream->FBlockCache->FFree.size(), 39u);
  ASSERT_TRUE(odd.stream->FetchBlock(40, block));
  EXPECT_EQ(odd.source.reads, (Reads{{39, 39}}));

  // Blocks larger than the read-ahead: every block on its own, nothing cached.
  StreamSetup huge(8, 32768);
  EXPECT_EQ(huge.stream->FCache->FFree.size(), 0u);
  long long got = 0;
  huge.ReadAt(0, 40000, &got);
  huge.ReadAt(0, 10, &got);
  EXPECT_EQ(huge.source.reads, (Reads{{0, 1}, {1, 1}, {0, 1}}));

  MemoryDataSource none(&engine, "none", Pattern(4096), 0);
  SV::CSVDSStream empty(&engine, &none, 2097152, 16384);
  unsigned char byte = 0;
  EXPECT_EQ(empty.GetSize(), 0);
  EXPECT_EQ(empty.Read(1, &byte), 0);
}

TEST(DSStream, ReadsAndReadAhead) {
  StreamSetup s(100);
  const std::vector<uint8_t> truth = Pattern(100 * 512);
  long long got = 0;
  s.sink.recordAccess = true;
  auto bytes = s.ReadAt(100, 1000, &got);
  EXPECT_EQ(got, 1000);
  EXPECT_EQ(s.stream->GetPosition(), 1100);
  EXPECT_EQ(bytes, std::vector<uint8_t>(truth.begin() + 100, truth.begin() + 1100));
  EXPECT_EQ(s.sink.calls,
            (std::vector<std::string>{"DSAccess 0", "DSAccess 512", "DSAccess 1024"}));
  EXPECT_EQ(s.source.reads, (Reads{{0, 32}}));

  unsigned char block[512];
  ASSERT_TRUE(s.stream->FetchBlock(40, block));
  ASSERT_TRUE(s.stream->FetchBlock(41, block));
  EXPECT_EQ(s.source.reads, (Reads{{0, 32}, {32, 32}}));
  EXPECT_EQ(s.sink.accessCalls, 5);
  EXPECT_TRUE(std::equal(block, block + 512, truth.begin() + 41 * 512));

  // Handlers' small reads inside one cached block: every size and offset, one access each.
  for (long long count = 1; count <= 40; ++count) {
    for (long long at : {41LL * 512, 41LL * 512 + 3, 42LL * 512 - count}) {
      bytes = s.ReadAt(at, count, &got);
      ASSERT_EQ(got, count);
      ASSERT_EQ(bytes, std::vector<uint8_t>(truth.begin() + at, truth.begin() + at + count));
      ASSERT_EQ(s.stream->GetPosition(), at + count);
    }
  }
  EXPECT_EQ(s.sink.accessCalls, 5 + 40 * 3);
  s.sink.accessCalls = 5;

  // Nothing asked, nothing fetched; a request past the end is cut to what remains.
  for (long long at : {0LL, 100LL * 512}) {
    s.ReadAt(at, 0, &got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(s.stream->GetPosition(), at);
  }
  std::vector<uint8_t> guard(8, 0xEE);
  s.stream->SetPosition(5);
  EXPECT_EQ(s.stream->Read(-4, guard.data()), 0);
  EXPECT_EQ(guard, std::vector<uint8_t>(8, 0xEE));
  EXPECT_EQ(s.stream->GetPosition(), 5);
  s.ReadAt(100 * 512 - 10, 50, &got);
  EXPECT_EQ(got, 10);
  EXPECT_EQ(s.stream->GetPosition(), 100 * 512);
  // A hostile count is cut the same way, without overflowing on the way.
  std::vector<uint8_t> tail(16);
  s.stream->SetPosition(100 * 512 - 10);
  EXPECT_EQ(s.stream->Read(LLONG_MAX, tail.data()), 10);
  EXPECT_EQ(s.sink.accessCalls, 7);
  EXPECT_FALSE(s.stream->FReadError);
}

TEST(DSStream, FailedChunksAndBlocks) {
  StreamSetup s(100);
  s.source.failingBlocks = {1};
  long long got = 0;
  auto bytes = s.ReadAt(100, 1000, &got);
  EXPECT_EQ(got, 488);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 412, bytes.begin() + 924),
            std::vector<uint8_t>(512, 0));
  EXPECT_TRUE(s.stream->FReadError);
  EXPECT_EQ(s.source.reads, (Reads{{0, 32}, {0, 1}, {1, 1}, {2, 1}}));
  // The zeroed block stays cached: fetched again it succeeds, as zeros, with no source call.
  unsigned char block[512];
  EXPECT_TRUE(s.stream->FetchBlock(1, block));
  EXPECT_EQ(std::vector<uint8_t>(block, block + 512), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(s.source.reads.size(), 4u);

  StreamSetup first(100);
  first.source.failingBlocks = {0};
  bytes = first.ReadAt(0, 10, &got);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(bytes, std::vector<uint8_t>(10, 0));
  EXPECT_EQ(first.stream->GetPosition(), 10);

  // The chunk holding block 40 fails but block 40 itself reads; 41 does not retry the chunk.
  StreamSetup neighbour(100);
  neighbour.source.failingBlocks = {50};
  EXPECT_TRUE(neighbour.stream->FetchBlock(40, block));
  EXPECT_TRUE(neighbour.stream->FetchBlock(41, block));
  EXPECT_EQ(neighbour.source.reads, (Reads{{32, 32}, {40, 1}, {41, 1}}));
  EXPECT_FALSE(neighbour.stream->FReadError);

  // The host refuses every access: zeros, nothing counted, the position still moves.
  StreamSetup refused(100);
  refused.sink.cancelAccess = [](long long) { return true; };
  bytes = refused.ReadAt(700, 600, &got);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(bytes, std::vector<uint8_t>(600, 0));
  EXPECT_EQ(refused.stream->GetPosition(), 1300);
  EXPECT_TRUE(refused.stream->FReadError);
  EXPECT_TRUE(refused.source.reads.empty());

  // Refused once the block is already cached: still zeros and a read error.
  StreamSetup later(100);
  later.ReadAt(0, 16, &got);
  later.sink.cancelAccess = [](long long) { return true; };
  bytes = later.ReadAt(20, 16, &got);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(bytes, std::vector<uint8_t>(16, 0));
  EXPECT_EQ(later.stream->GetPosition(), 36);
  EXPECT_TRUE(later.stream->FReadError);
}
