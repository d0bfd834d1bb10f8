#include "modules/common/StartIndex.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "modules/common/HeadRead.h"

namespace salvor {

namespace {

// Starts are indexed this many bytes at a time; the window's bytes are read with a tail so
// that a format examining a candidate near its end finds its head in hand.
constexpr size_t kSpan = 64 * 1024;
constexpr size_t kTail = 1024;
// Candidates kept for one window; past that the window ends early.
constexpr size_t kMaxFound = 1 << 16;
constexpr uint32_t kOffsetBits = 24;
constexpr uint32_t kOffsetMask = (1u << kOffsetBits) - 1;

// How often a byte is met in ordinary data, roughly: zeros fill whole regions, 0xFF fills
// erased flash, text is printable.
unsigned Weight(unsigned byte) {
  if (byte == 0x00) return 64;
  if (byte == 0xFF) return 16;
  if (byte >= 0x20 && byte < 0x7F) return 4;
  return 1;
}

unsigned long long Cost(const std::bitset<256>& allowed) {
  unsigned long long cost = 0;
  for (unsigned b = 0; b < 256; ++b)
    if (allowed[b]) cost += Weight(b);
  return cost;
}

// The low and high nibbles of a byte class, as 16-bit sets.
struct Nibbles {
  unsigned low = 0, high = 0;
  explicit Nibbles(const std::bitset<256>& allowed) {
    for (unsigned b = 0; b < 256; ++b) {
      if (!allowed[b]) continue;
      low |= 1u << (b & 15);
      high |= 1u << (b >> 4);
    }
  }
};

// Bytes let through by a bucket: the product of its nibble sets at both positions.
unsigned long long Breadth(unsigned low0, unsigned high0, unsigned low1, unsigned high1) {
  return static_cast<unsigned long long>(__builtin_popcount(low0) * __builtin_popcount(high0)) *
         static_cast<unsigned long long>(__builtin_popcount(low1) * __builtin_popcount(high1));
}

// Bucket bits of the pair at `at` and `at + gap`: a byte is in a bucket when both its nibbles
// are.
inline unsigned ScalarBuckets(const uint8_t* tables[4], const uint8_t* data, size_t at,
                              size_t gap) {
  const uint8_t a = data[at], b = data[at + gap];
  return tables[0][a & 15] & tables[1][a >> 4] & tables[2][b & 15] & tables[3][b >> 4];
}

#if defined(__x86_64__)
// The same test on 32 positions at once: one byte-shuffle lookup per nibble.
__attribute__((target("avx2"), always_inline)) inline __m256i VectorBuckets(const __m256i tables[4],
                                                                            const uint8_t* data,
                                                                            size_t gap) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + gap));
  __m256i m = _mm256_and_si256(
      _mm256_shuffle_epi8(tables[0], _mm256_and_si256(a, nibble)),
      _mm256_shuffle_epi8(tables[1], _mm256_and_si256(_mm256_srli_epi16(a, 4), nibble)));
  m = _mm256_and_si256(m, _mm256_shuffle_epi8(tables[2], _mm256_and_si256(b, nibble)));
  return _mm256_and_si256(
      m, _mm256_shuffle_epi8(tables[3], _mm256_and_si256(_mm256_srli_epi16(b, 4), nibble)));
}

// The positions of the non-zero bytes of `m`, with the bytes themselves in `out`.
__attribute__((target("avx2"), always_inline)) inline unsigned VectorHits(__m256i m,
                                                                          uint8_t out[32]) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), m);
  return ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(m, _mm256_setzero_si256())));
}

__attribute__((target("avx2"), always_inline)) inline __m256i Broadcast(const uint8_t table[16]) {
  const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table));
  return _mm256_broadcastsi128_si256(half);
}

bool HaveVectors() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
#endif

}  // namespace

unsigned CStartIndex::gGeneration = 0;

CStartIndex& CStartIndex::Shared() {
  static CStartIndex index;
  return index;
}

CStartIndex::CStartIndex() {
  FFound.reserve(kMaxFound);
}

int CStartIndex::Register(const StartPattern* patterns, size_t count, const char* id) {
  if (count == 0 || ~FSlotsUsed == 0) return -1;
  const int slot = __builtin_ctzll(~FSlotsUsed);
  FSlotsUsed |= 1ull << slot;
  FIds[slot] = id;
  for (size_t i = 0; i < count; ++i) {
    if (patterns[i].length == 0 || patterns[i].length > StartPattern::kMaxLength) continue;
    Entry entry;
    entry.pattern = patterns[i];
    entry.slot = slot;
    FEntries.push_back(entry);
  }
  FCompiled = false;
  FWindow.serial = -1;
  NewGeneration();
  return slot;
}

void CStartIndex::Unregister(int slot) {
  if (slot < 0 || slot >= kMaxSlots) return;
  FSlotsUsed &= ~(1ull << slot);
  FEntries.erase(std::remove_if(FEntries.begin(), FEntries.end(),
                                [slot](const Entry& e) { return e.slot == slot; }),
                 FEntries.end());
  FCompiled = false;
  FWindow.serial = -1;
  NewGeneration();
}

// Picks for every pattern the pair of positions the pass tests (the rarest adjacent pair; a
// one-byte pattern with any byte after it), and sorts the patterns into buckets by their
// bytes, keeping each bucket's classes narrow. A pair further apart (a byte and its repeat)
// would need a pass of its own, which costs more than checking the hits of a one-byte
// pattern.
void CStartIndex::Compile() {
  FGroups.clear();
  FReach = 0;
  const std::bitset<256> any = std::bitset<256>().set();
  for (size_t i = 0; i < FEntries.size(); ++i) {
    Entry& e = FEntries[i];
    const StartPattern& p = e.pattern;
    size_t first = 0, gap = 1;
    const std::bitset<256>* second = &any;
    if (p.length >= 2) {
      unsigned long long best = ~0ull;
      for (size_t k = 0; k + 1 < p.length; ++k) {
        const unsigned long long cost = Cost(p.allowed[k]) * Cost(p.allowed[k + 1]);
        if (cost < best) {
          best = cost;
          first = k;
        }
      }
      second = &p.allowed[first + 1];
    }
    e.first = p.offset + first;
    FReach = std::max(FReach, e.first + gap);
    auto group = std::find_if(FGroups.begin(), FGroups.end(),
                              [gap](const Group& g) { return g.gap == gap; });
    if (group == FGroups.end()) {
      FGroups.emplace_back();
      group = std::prev(FGroups.end());
      group->gap = gap;
    }
    e.group = static_cast<size_t>(group - FGroups.begin());
    const Nibbles a(p.allowed[first]), b(*second);
    unsigned long long leastGrowth = ~0ull;
    for (size_t k = 0; k < 8; ++k) {
      unsigned l0 = 0, h0 = 0, l1 = 0, h1 = 0;
      for (unsigned n = 0; n < 16; ++n) {
        l0 |= ((group->low0[n] >> k) & 1u) << n;
        h0 |= ((group->high0[n] >> k) & 1u) << n;
        l1 |= ((group->low1[n] >> k) & 1u) << n;
        h1 |= ((group->high1[n] >> k) & 1u) << n;
      }
      const unsigned long long growth =
          Breadth(l0 | a.low, h0 | a.high, l1 | b.low, h1 | b.high) - Breadth(l0, h0, l1, h1);
      if (growth < leastGrowth) {
        leastGrowth = growth;
        e.bucket = k;
      }
    }
    for (unsigned n = 0; n < 16; ++n) {
      const uint8_t bit = static_cast<uint8_t>(1u << e.bucket);
      if (a.low & (1u << n)) group->low0[n] |= bit;
      if (a.high & (1u << n)) group->high0[n] |= bit;
      if (b.low & (1u << n)) group->low1[n] |= bit;
      if (b.high & (1u << n)) group->high1[n] |= bit;
    }
    group->members[e.bucket].push_back(i);
  }
  FBuffer.assign(kSpan + kTail + 2 * FReach + 64, 0);
  FCompiled = true;
}

const CStartIndex::Window* CStartIndex::Cover(CDataStream* stream, long long serial, long long from,
                                              long long to) {
  if (!FCompiled) {
    Compile();
    FWindow.serial = -1;
  }
  if (FWindow.serial != serial || from < FWindow.start || to > FWindow.end) {
    Build(stream, serial, from);
  }
  FWindow.generation = gGeneration;
  return to <= FWindow.end ? &FWindow : nullptr;
}

void CStartIndex::Build(CDataStream* stream, long long serial, long long from) {
  const size_t got = ReadAt(stream, from, FBuffer.data(), kSpan + kTail);
  std::fill(FBuffer.begin() + static_cast<long>(got), FBuffer.end(), 0);
  FWindow.serial = serial;
  FWindow.start = from;
  FWindow.bytes = FBuffer.data();
  FWindow.got = got;
  const size_t span = std::min(kSpan, got);
  FFound.clear();
  FFull = false;
  Match(span);
  size_t done = span;
  if (FFull) {
    // Every start whose pairs all lie before the one that found no room is listed; the
    // window ends there.
    done = std::min(done, FFullAt > FReach ? FFullAt - FReach : 0);
    FFound.erase(std::remove_if(FFound.begin(), FFound.end(),
                                [done](uint32_t f) { return (f & kOffsetMask) >= done; }),
                 FFound.end());
  }
  FWindow.end = from + static_cast<long long>(done);
  Sort();
}

// Every pair position whose bytes may begin some pattern, 32 at a time where the processor
// can, each hit checked against its bucket's patterns.
void CStartIndex::Match(size_t span) {
  const size_t last = span + FReach;  // pairs at or past it cannot begin a start in the span
  for (size_t g = 0; g < FGroups.size() && !FFull; ++g) {
    const Group& group = FGroups[g];
    const uint8_t* data = FBuffer.data();
    size_t at = 0;
#if defined(__x86_64__)
    if (HaveVectors()) at = MatchVector(g, last, span);
#endif
    const uint8_t* tables[4] = {group.low0, group.high0, group.low1, group.high1};
    for (; at < last && !FFull; ++at) {
      const unsigned buckets = ScalarBuckets(tables, data, at, group.gap);
      if (buckets != 0) Verify(g, at, buckets, span);
    }
  }
}

#if defined(__x86_64__)
// Match's loop for processors with AVX2: whole runs of 32 pairs; returns where it stopped.
__attribute__((target("avx2"))) size_t CStartIndex::MatchVector(size_t g, size_t last,
                                                                size_t span) {
  const Group& group = FGroups[g];
  const uint8_t* data = FBuffer.data();
  const __m256i tables[4] = {Broadcast(group.low0), Broadcast(group.high0), Broadcast(group.low1),
                             Broadcast(group.high1)};
  alignas(32) uint8_t buckets[32];
  size_t at = 0;
  // 64 positions a step, tested together: most steps hold no hit at all.
  for (; at + 64 <= last; at += 64) {
    const __m256i m0 = VectorBuckets(tables, data + at, group.gap);
    const __m256i m1 = VectorBuckets(tables, data + at + 32, group.gap);
    const __m256i both = _mm256_or_si256(m0, m1);
    if (_mm256_testz_si256(both, both)) continue;
    for (size_t half = 0; half < 2; ++half) {
      for (unsigned hits = VectorHits(half == 0 ? m0 : m1, buckets); hits != 0; hits &= hits - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctz(hits));
        Verify(g, at + 32 * half + i, buckets[i], span);
      }
    }
    if (FFull) break;
  }
  return at;
}
#endif

// Checks every pattern of the hit buckets whose pair lies at `at`, and lists the starts that
// match in full.
void CStartIndex::Verify(size_t group, size_t at, unsigned buckets, size_t span) {
  const uint8_t* data = FBuffer.data();
  for (; buckets != 0; buckets &= buckets - 1) {
    const size_t bucket = static_cast<size_t>(__builtin_ctz(buckets));
    for (size_t index : FGroups[group].members[bucket]) {
      const Entry& e = FEntries[index];
      if (at < e.first) continue;
      const size_t start = at - e.first;
      const StartPattern& p = e.pattern;
      if (start >= span || start + p.offset + std::max(p.length, p.repeat + 1) > FWindow.got)
        continue;
      const uint8_t* bytes = data + start + p.offset;
      bool match = p.repeat == 0 || p.allowed[0][bytes[p.repeat]];
      for (size_t k = 0; k < p.length && match; ++k) match = p.allowed[k][bytes[k]];
      if (!match) continue;
      if (FFound.size() == kMaxFound) {
        FFull = true;
        FFullAt = at;
        return;
      }
      FFound.push_back(static_cast<uint32_t>(e.slot) << kOffsetBits | static_cast<uint32_t>(start));
    }
  }
}

// Orders the starts by slot, then position, without repeats, and notes where each slot's
// run begins; the slot bits are dropped.
void CStartIndex::Sort() {
  std::sort(FFound.begin(), FFound.end());
  FFound.erase(std::unique(FFound.begin(), FFound.end()), FFound.end());
  size_t at = 0;
  for (int slot = 0; slot <= kMaxSlots; ++slot) {
    while (at < FFound.size() && static_cast<int>(FFound[at] >> kOffsetBits) < slot) ++at;
    FSlotBegin[slot] = at;
  }
  for (uint32_t& f : FFound) f &= kOffsetMask;
}

const uint32_t* CStartIndex::CandidatesBegin(int slot) const {
  return FFound.data() + FSlotBegin[slot];
}

const uint32_t* CStartIndex::CandidatesEnd(int slot) const {
  return FFound.data() + FSlotBegin[slot + 1];
}

}  // namespace salvor

namespace salvor {

bool CStartIndex::PendingFormatIn(int slot, long long blockStart, uint32_t from,
                                  uint32_t to) const {
  const uint64_t done = FDoneBlock == blockStart ? FDoneSlots : 0;
  for (int other = 0; other < kMaxSlots; ++other) {
    const uint64_t bit = 1ull << other;
    if (other == slot || (FSlotsUsed & bit) == 0 || (done & bit) != 0) continue;
    const uint32_t* first = std::lower_bound(CandidatesBegin(other), CandidatesEnd(other), from);
    if (first != CandidatesEnd(other) && *first < to) return true;
  }
  return false;
}

}  // namespace salvor
