#include "modules/common/StreamReader.h"

#include <algorithm>
#include <cstring>

#include "salvor/CDataStream.h"

namespace salvor {

CStreamReader::CStreamReader(CDataStream* stream, long long base, long long limit)
    : FStream(stream), FBase(base), FSize(0), FWindowStart(-1), FWindowLength(0) {
  long long total = stream->GetSize();
  if (base < 0 || base > total) base = FBase = total;
  FSize = total - base;
  if (limit >= 0 && limit < FSize) FSize = limit;
}

bool CStreamReader::Contains(long long offset, long long length) const {
  long long end;
  return offset >= 0 && length >= 0 && CheckedAdd(offset, length, &end) && end <= FSize;
}

bool CStreamReader::Fill(long long offset, size_t length) {
  if (FWindow.empty()) FWindow.resize(kWindow);
  long long start = offset;
  // The first windows are small: most readers look at a header and give up, and a candidate
  // at every sector must not cost a full window each.
  const size_t window = std::max(length, std::min(kWindow, kFirstWindow << FFills));
  if (window < kWindow) ++FFills;
  long long want = std::min<long long>(static_cast<long long>(window), FSize - start);
  if (want < static_cast<long long>(length)) return false;
  FStream->SetPosition(FBase + start);
  FStream->Read(want, FWindow.data());
  FWindowStart = start;
  FWindowLength = static_cast<size_t>(want);
  return true;
}

const uint8_t* CStreamReader::Peek(long long offset, size_t length) {
  if (length > kWindow || !Contains(offset, static_cast<long long>(length))) return nullptr;
  if (FWindowStart < 0 || offset < FWindowStart ||
      offset + static_cast<long long>(length) >
          FWindowStart + static_cast<long long>(FWindowLength)) {
    if (!Fill(offset, length)) return nullptr;
  }
  return FWindow.data() + (offset - FWindowStart);
}

bool CStreamReader::Read(long long offset, void* out, size_t length) {
  if (!Contains(offset, static_cast<long long>(length))) return false;
  uint8_t* dst = static_cast<uint8_t*>(out);
  while (length > 0) {
    size_t take = std::min(length, kWindow);
    const uint8_t* src = Peek(offset, take);
    if (src == nullptr) return false;
    memcpy(dst, src, take);
    dst += take;
    offset += static_cast<long long>(take);
    length -= take;
  }
  return true;
}

bool CStreamReader::U8(long long offset, uint8_t* v) {
  const uint8_t* p = Peek(offset, 1);
  if (p == nullptr) return false;
  *v = *p;
  return true;
}

#define SALVOR_READER_LOAD(Name, Type, Load, Bytes)     \
  bool CStreamReader::Name(long long offset, Type* v) { \
    const uint8_t* p = Peek(offset, Bytes);             \
    if (p == nullptr) return false;                     \
    *v = Load(p);                                       \
    return true;                                        \
  }
SALVOR_READER_LOAD(U16BE, uint16_t, LoadBE16, 2)
SALVOR_READER_LOAD(U16LE, uint16_t, LoadLE16, 2)
SALVOR_READER_LOAD(U32BE, uint32_t, LoadBE32, 4)
SALVOR_READER_LOAD(U32LE, uint32_t, LoadLE32, 4)
SALVOR_READER_LOAD(U64BE, uint64_t, LoadBE64, 8)
SALVOR_READER_LOAD(U64LE, uint64_t, LoadLE64, 8)
#undef SALVOR_READER_LOAD

bool CStreamReader::U16(long long offset, bool bigEndian, uint16_t* v) {
  return bigEndian ? U16BE(offset, v) : U16LE(offset, v);
}
bool CStreamReader::U32(long long offset, bool bigEndian, uint32_t* v) {
  return bigEndian ? U32BE(offset, v) : U32LE(offset, v);
}

long long CStreamReader::Find(const void* pattern, size_t length, long long from, long long to) {
  if (length == 0 || length > kWindow / 2) return -1;
  if (from < 0) from = 0;
  if (to > FSize) to = FSize;
  const uint8_t* needle = static_cast<const uint8_t*>(pattern);
  // memchr skips many bytes at a time to the pattern's least common byte (zeros fill whole
  // regions, text is printable): a byte-wise search here was a tenth of an unaligned scan.
  const auto commonness = [](uint8_t b) {
    return b == 0 ? 3 : b == 0xFF ? 2 : b >= 0x20 && b < 0x7F;
  };
  size_t anchor = 0;
  for (size_t k = 1; k < length; ++k)
    if (commonness(needle[k]) < commonness(needle[anchor])) anchor = k;
  while (to - from >= static_cast<long long>(length)) {
    size_t span =
        static_cast<size_t>(std::min<long long>(static_cast<long long>(kWindow), to - from));
    const uint8_t* hay = Peek(from, span);
    if (hay == nullptr) return -1;
    const uint8_t* end = hay + span - length + 1;
    for (const uint8_t* at = hay + anchor; at < end + anchor; ++at) {
      at = static_cast<const uint8_t*>(
          std::memchr(at, needle[anchor], static_cast<size_t>(end + anchor - at)));
      if (at == nullptr) break;
      if (std::memcmp(at - anchor, needle, length) == 0) return from + (at - anchor - hay);
    }
    // Step so that a pattern straddling two windows is still seen.
    from += static_cast<long long>(span - length + 1);
  }
  return -1;
}

}  // namespace salvor
