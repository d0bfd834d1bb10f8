#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "reassembly/Reassembly.h"
#include "validate/Spans.h"

namespace {

using salvor::BrokenFile;
using salvor::ClaimedRanges;
using salvor::FindPieces;
using salvor::MemorySpan;
using salvor::Piece;
using salvor::SearchLimits;
using salvor::Validation;

constexpr long long kBlock = 512;

// A test format made of numbered blocks: "BLK", the file's id, the block's number and the
// file's length in blocks, then noise. Its validator finds the first block out of place, and
// notices it `gLateBlocks` blocks late, as a real decoder might.
long long gLateBlocks = 0;

void WriteBlock(std::vector<uint8_t>& source, long long at, uint8_t id, uint32_t number,
                uint32_t count) {
  uint8_t* block = source.data() + at * kBlock;
  std::memcpy(block, "BLK", 3);
  block[3] = id;
  std::memcpy(block + 4, &number, 4);
  std::memcpy(block + 8, &count, 4);
}

Validation ValidateBlocks(salvor::ByteSpan& bytes) {
  uint8_t first[12];
  if (bytes.Read(0, first, 12) < 12 || std::memcmp(first, "BLK", 3) != 0)
    return Validation::Damaged(0, 1, "no header");
  uint32_t count;
  std::memcpy(&count, first + 8, 4);
  for (uint32_t number = 0; number < count; ++number) {
    uint8_t block[12];
    const long long at = number * kBlock;
    uint32_t found = ~0u;
    if (bytes.Read(at, block, 12) == 12 && std::memcmp(block, "BLK", 3) == 0 &&
        block[3] == first[3])
      std::memcpy(&found, block + 4, 4);
    if (found != number) {
      return Validation::Damaged(at, std::min(bytes.Size(), at + 1 + gLateBlocks * kBlock),
                                 "block out of place");
    }
  }
  return Validation::Intact(count * kBlock);
}

struct Layout {
  const char* name;
  // Where each piece of file 1 lies (in blocks) and how many blocks it has.
  std::vector<std::pair<long long, long long>> pieces;
  long long lateBlocks;
  std::vector<std::pair<long long, long long>> otherFiles;  // start, blocks: claimed
};

void PrintTo(const Layout& layout, std::ostream* out) {
  *out << layout.name;
}

class PieceSearchTest : public testing::TestWithParam<Layout> {};

TEST_P(PieceSearchTest, FindsEveryPieceInOrder) {
  const Layout& layout = GetParam();
  std::vector<uint8_t> source(400 * kBlock);
  std::mt19937 noise(7);
  for (uint8_t& byte : source) byte = static_cast<uint8_t>(noise());
  uint32_t total = 0;
  for (const auto& piece : layout.pieces) total += static_cast<uint32_t>(piece.second);
  uint32_t number = 0;
  for (const auto& piece : layout.pieces)
    for (long long i = 0; i < piece.second; ++i)
      WriteBlock(source, piece.first + i, 1, number++, total);
  ClaimedRanges claimed;
  for (const auto& other : layout.otherFiles) {
    for (long long i = 0; i < other.second; ++i)
      WriteBlock(source, other.first + i, 2, static_cast<uint32_t>(i),
                 static_cast<uint32_t>(other.second));
    claimed.Add(other.first * kBlock, (other.first + other.second) * kBlock);
  }
  gLateBlocks = layout.lateBlocks;
  MemorySpan span(source.data(), static_cast<long long>(source.size()));
  SearchLimits limits;
  limits.maxFileBytes = 200 * kBlock;
  const long long start = layout.pieces[0].first * kBlock;
  const salvor::Rebuilt rebuilt =
      FindPieces(span, ValidateBlocks, BrokenFile{start, 0, 0}, claimed, limits);
  ASSERT_TRUE(rebuilt.found) << rebuilt.tries << " tries";
  EXPECT_EQ(rebuilt.size, total * kBlock);
  ASSERT_EQ(rebuilt.pieces.size(), layout.pieces.size());
  for (size_t i = 0; i < layout.pieces.size(); ++i) {
    EXPECT_EQ(rebuilt.pieces[i].offset, layout.pieces[i].first * kBlock) << i;
    EXPECT_EQ(rebuilt.pieces[i].length, layout.pieces[i].second * kBlock) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PieceSearchTest,
    testing::Values(Layout{"Contiguous", {{10, 20}}, 0, {}},
                    Layout{"TwoPiecesOneBlockApart", {{10, 8}, {19, 12}}, 0, {}},
                    Layout{"TwoPiecesNoticedLate", {{10, 8}, {60, 12}}, 3, {}},
                    Layout{"AnotherFileInTheGap", {{10, 8}, {50, 12}}, 0, {{18, 32}}},
                    Layout{"ThreePieces", {{10, 5}, {40, 6}, {90, 9}}, 1, {{15, 10}}},
                    Layout{"SecondPieceBeforeTheFirst", {{200, 6}, {120, 9}}, 0, {}}),
    [](const testing::TestParamInfo<Layout>& info) { return info.param.name; });

// A file first taken as whole gives back the bytes past its break: ranges it touches are
// trimmed or split, others stay.
TEST(ClaimedRanges, RemovingTrimsAndSplits) {
  ClaimedRanges claimed;
  claimed.Add(100, 200);
  claimed.Add(300, 400);
  claimed.Add(500, 600);
  claimed.Remove(150, 320);
  claimed.Remove(520, 540);
  const std::pair<long long, long long> skips[] = {{99, 99},   {100, 150}, {149, 150}, {150, 150},
                                                   {250, 250}, {319, 319}, {320, 400}, {399, 400},
                                                   {510, 520}, {520, 520}, {539, 539}, {540, 600}};
  for (const auto& [offset, next] : skips) EXPECT_EQ(claimed.SkipClaimed(offset), next) << offset;
}

// A piece the source ends inside is the span's last: what follows it would be out of place.
TEST(JoinedSpan, EndsWhereTheSourceCutsAPieceShort) {
  std::vector<uint8_t> source(10 * kBlock);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i / kBlock);
  MemorySpan span(source.data(), static_cast<long long>(source.size()));
  salvor::JoinedSpan joined(span, {{0, 2 * kBlock}, {8 * kBlock, 4 * kBlock}, {kBlock, kBlock}},
                            100 * kBlock);
  ASSERT_EQ(joined.Size(), 4 * kBlock);
  uint8_t last = 0;
  EXPECT_EQ(joined.Read(4 * kBlock - 1, &last, 2), 1);
  EXPECT_EQ(last, 9);
}

TEST(PieceSearch, GivesUpWithinItsLimitsWhenTheRestIsGone) {
  std::vector<uint8_t> source(4000 * kBlock);
  std::mt19937 noise(3);
  for (uint8_t& byte : source) byte = static_cast<uint8_t>(noise());
  // The first 8 of 30 blocks survive; the rest was overwritten.
  for (uint32_t i = 0; i < 8; ++i) WriteBlock(source, 100 + i, 1, i, 30);
  gLateBlocks = 2;
  MemorySpan span(source.data(), static_cast<long long>(source.size()));
  SearchLimits limits;
  limits.maxTries = 500;
  const salvor::Rebuilt rebuilt =
      FindPieces(span, ValidateBlocks, BrokenFile{100 * kBlock, 0, 0}, ClaimedRanges{}, limits);
  EXPECT_FALSE(rebuilt.found);
  EXPECT_LE(rebuilt.tries, 500);
  EXPECT_GE(rebuilt.tries, 100);
}

}  // namespace
