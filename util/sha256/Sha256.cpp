#include "util/sha256/Sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace SV {

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

void CompressPortable(uint32_t* state, const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) |
           (uint32_t(block[4 * i + 2]) << 8) | uint32_t(block[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
    uint32_t ch = (e & f) ^ (~e & g);
    uint32_t t1 = h + s1 + ch + kRound[i] + w[i];
    uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
    uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
    uint32_t t2 = s0 + maj;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#if defined(__x86_64__)
// The rounds on the processor's SHA extensions: two rounds an instruction, the message
// schedule four words at a time. The state is kept as the ABEF / CDGH register pair the
// instructions work on.
__attribute__((target("sha,sse4.1"))) void CompressSha(uint32_t* state, const uint8_t* blocks,
                                                       size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  __m128i badc = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(badc, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, badc, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i words[4];
    for (int group = 0; group < 16; ++group) {
      __m128i& w = words[group & 3];
      if (group < 4) {
        w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)),
                             byteSwap);
      } else {
        // W[t..t+3] from W[t-16..t-1]: sigma0 terms, the words seven back, then sigma1 terms.
        const __m128i& back1 = words[(group - 1) & 3];
        const __m128i& back2 = words[(group - 2) & 3];
        __m128i next = _mm_sha256msg1_epu32(w, words[(group - 3) & 3]);
        next = _mm_add_epi32(next, _mm_alignr_epi8(back1, back2, 4));
        w = _mm_sha256msg2_epu32(next, back1);
      }
      __m128i plusK =
          _mm_add_epi32(w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, plusK);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(plusK, 0x0E));
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool ProcessorHasSha() {
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29)) != 0;
}
#else
void CompressSha(uint32_t*, const uint8_t*, size_t) {}
bool ProcessorHasSha() {
  return false;
}
#endif

const bool kProcessorHasSha = ProcessorHasSha();
bool gShaAllowed = true;

}  // namespace

CSha256::CSha256()
    : FState{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
      FBuffer{},
      FBuffered(0),
      FLength(0) {}

bool CSha256::UsesShaInstructions() {
  return kProcessorHasSha && gShaAllowed;
}

void CSha256::SetShaInstructionsAllowed(bool allowed) {
  gShaAllowed = allowed;
}

void CSha256::Compress(const uint8_t* blocks, size_t count) {
  if (UsesShaInstructions()) {
    CompressSha(FState, blocks, count);
    return;
  }
  for (; count > 0; --count, blocks += 64) CompressPortable(FState, blocks);
}

void CSha256::Update(const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  FLength += length;
  while (length > 0) {
    if (FBuffered == 0 && length >= 64) {
      const size_t whole = length / 64;
      Compress(bytes, whole);
      bytes += whole * 64;
      length -= whole * 64;
      continue;
    }
    size_t take = 64 - FBuffered < length ? 64 - FBuffered : length;
    memcpy(FBuffer + FBuffered, bytes, take);
    FBuffered += take;
    bytes += take;
    length -= take;
    if (FBuffered == 64) {
      Compress(FBuffer, 1);
      FBuffered = 0;
    }
  }
}

std::string CSha256::HexDigest() {
  uint64_t bits = FLength * 8;
  uint8_t pad = 0x80;
  Update(&pad, 1);
  uint8_t zero = 0;
  while (FBuffered != 56) Update(&zero, 1);
  uint8_t lengthBytes[8];
  for (int i = 0; i < 8; ++i) lengthBytes[i] = uint8_t(bits >> (56 - 8 * i));
  Update(lengthBytes, 8);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : FState) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += kHex[(word >> shift) & 15];
  }
  return hex;
}

std::string CSha256::Of(const void* data, size_t length) {
  CSha256 hash;
  hash.Update(data, length);
  return hash.HexDigest();
}

}  // namespace SV
