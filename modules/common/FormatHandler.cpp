#include "modules/common/FormatHandler.h"

#include <algorithm>
#include <cstring>

#include "SVSDK/StreamOrigin.h"

namespace salvor {

namespace {

// How far past a piece of the block the search reads, so that a candidate near its end still
// has its head in hand.
constexpr size_t kLookahead = 512;
constexpr long long kPiece = 4096;

size_t NeedOf(const StartKeys& keys) {
  size_t need = std::max<size_t>(keys.head, 1);
  for (size_t i = 0; i < keys.signatureCount; ++i) {
    const Signature& s = keys.signatures[i];
    need = std::max(need, s.offset + std::max(s.length, s.repeat + 1));
  }
  return std::min(need, kLookahead);
}

bool SameBytes(const uint8_t* at, const Signature& signature) {
  if (signature.mask == nullptr) return memcmp(at, signature.bytes, signature.length) == 0;
  for (size_t i = 0; i < signature.length; ++i) {
    if (((at[i] ^ signature.bytes[i]) & signature.mask[i]) != 0) return false;
  }
  return true;
}

// The first offset in [at, last) where `signature` lies, or last.
size_t NextSignature(const uint8_t* buffer, size_t at, size_t last, const Signature& signature) {
  while (at < last) {
    const void* hit = memchr(buffer + at + signature.offset, signature.bytes[0], last - at);
    if (hit == nullptr) return last;
    at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - buffer) - signature.offset;
    const uint8_t* bytes = buffer + at + signature.offset;
    if (SameBytes(bytes, signature) &&
        (signature.repeat == 0 || bytes[signature.repeat] == signature.bytes[0]))
      return at;
    ++at;
  }
  return last;
}

// The start keys as the index takes them: the bytes each position allows.
size_t PatternsOf(const StartKeys& keys, StartPattern* patterns) {
  if (keys.first != nullptr) {
    for (unsigned b = 0; b < 256; ++b) patterns[0].allowed[0][b] = keys.first->member[b];
    patterns[0].length = 1;
    return 1;
  }
  size_t count = 0;
  for (size_t i = 0; i < keys.signatureCount; ++i) {
    const Signature& s = keys.signatures[i];
    StartPattern& p = patterns[count];
    if (s.length == 0) continue;
    p.offset = s.offset;
    p.length = std::min(s.length, StartPattern::kMaxLength);
    p.repeat = s.repeat;
    for (size_t k = 0; k < p.length; ++k) {
      const uint8_t mask = s.mask != nullptr ? s.mask[k] : 0xFF;
      for (unsigned b = 0; b < 256; ++b) p.allowed[k][b] = ((b ^ s.bytes[k]) & mask) == 0;
    }
    ++count;
  }
  return count;
}

}  // namespace

CFormatHandler::CFormatHandler(CPhotoRecovery* engine, const HandlerInfo& info,
                               const StartKeys& keys)
    : CHandlerBase(engine, info), FKeys(keys), FNeed(NeedOf(keys)) {
  FKeys.head = std::min(FKeys.head, kMaxHead);
  StartPattern patterns[kMaxSignatures];
  FSlot = CStartIndex::Shared().Register(patterns, PatternsOf(FKeys, patterns), info.id);
}

CFormatHandler::~CFormatHandler() {
  CStartIndex::Shared().Unregister(FSlot);
}

// The furthest an open file's structure can claim from its start: previews and EXIF blocks of
// raw files lie within their first megabytes.
constexpr long long kMaxClaim = 8LL << 20;

bool CFormatHandler::AnswerBlockStart(CDataStream* stream, long long blockSize, bool* recognized,
                                      long long* start, long long* end) {
  const size_t n = FKeys.head;
  Found found;
  Offer({stream, stream->GetPosition() - static_cast<long long>(n), FHead, n, -1, blockSize},
        &found);
  Answer(stream, found, recognized, start, end);
  return found.recognized;
}

void CFormatHandler::AnswerAnywhere(CDataStream* stream, long long blockSize, bool* recognized,
                                    long long* start, long long* end) {
  const size_t n = FKeys.head;
  const long long blockStart = stream->GetPosition();
  if (blockStart <= FLastBlock) {
    ScanRestarted();
    // What every format keeps of the index may be of another scan.
    CStartIndex::NewGeneration();
  }
  // After a delivered file the scan resumes past the block it ended in: the rest of that
  // block was never searched.
  const bool skipped = FLastBlock != blockStart - blockSize && blockStart >= blockSize;
  FLastBlock = blockStart;
  Found found;
  uint8_t head[kMaxHead];
  if (!(skipped &&
        Search(stream, blockStart - blockSize, blockStart, blockStart, blockSize, &found)) &&
      !(ReadAt(stream, blockStart, head, n) == n && CanStart(head) &&
        Offer({stream, blockStart, head, n, -1, blockSize}, &found))) {
    SearchRest(stream, blockStart, blockSize, &found);
  }
  Answer(stream, found, recognized, start, end);
}

void CFormatHandler::Answer(CDataStream* stream, const Found& found, bool* recognized,
                            long long* start, long long* end) {
  if (!found.recognized) return;
  // A claim is bounded: one read from damaged bytes must not hide the files of a whole disk.
  const long long claimed = found.end < 0 && found.claimedEnd > found.start
                                ? std::min(found.claimedEnd, found.start + kMaxClaim)
                                : -1;
  CStartIndex::Shared().Answered(SVStreamSerial(stream), found.start, claimed);
  *recognized = true;
  *start = found.start;
  *end = found.end;
}

void CFormatHandler::IntPropChanged(const char* name) {
  CHandlerBase::IntPropChanged(name);
  if (strcmp(name, "MaxSize") == 0) std::fill(FCuts, FCuts + 4, -1);
}

long long CFormatHandler::Bounded(CDataStream* stream, long long start, long long end) {
  const long long limit = start + MaxSizeBytes();
  if (end <= limit) return end;
  FCuts[FNextCut++ % 4] = SVStreamSourceOffset(stream) + start;
  return limit;
}

bool CFormatHandler::FindEndOfFile(CDataStream* stream, long long blockSize, long long* end) {
  long long found = -1;
  if (!FindEnd(stream, blockSize, &found) || found < 0) {
    // Not found within MaxSize: the file is what MaxSize holds of it.
    if (stream->GetSize() <= MaxSizeBytes()) return false;
    found = stream->GetSize();
  }
  *end = Bounded(stream, 0, found);
  return true;
}

bool CFormatHandler::DescribeFile(CDataStream* file, char* extension, int extensionSize) {
  const bool whole = Describe(file, extension, extensionSize);
  if (!whole || file->GetSize() != MaxSizeBytes()) return whole;
  const long long at = SVStreamSourceOffset(file);
  return std::find(FCuts, FCuts + 4, at) == FCuts + 4;
}

// Asks Examine; a file left in a skipped block that ends before mustReach does not count.
bool CFormatHandler::Offer(const Candidate& candidate, Found* found) {
  if (candidate.blockSize > 0 && candidate.start % candidate.blockSize != 0 &&
      CStartIndex::Shared().Claimed(SVStreamSerial(candidate.stream), candidate.start))
    return false;
  Found answer;
  if (!Examine(candidate, &answer) || !answer.recognized) return false;
  if (answer.end >= 0) answer.end = Bounded(candidate.stream, answer.start, answer.end);
  if (candidate.mustReach >= 0 && answer.end >= 0 && answer.end <= candidate.mustReach)
    return false;
  *found = answer;
  return true;
}

// Offers every candidate start in [from, to) in ascending order until one is answered. The
// range is read in pieces (plus a lookahead) into a stack buffer; each key's next match is
// kept so that several signatures cost one pass each.
bool CFormatHandler::Search(CDataStream* stream, long long from, long long to, long long mustReach,
                            long long blockSize, Found* found) {
  uint8_t buffer[kPiece + kLookahead];
  const size_t keys = FKeys.first != nullptr ? 1 : FKeys.signatureCount;
  const size_t lookahead = std::max(FNeed, FKeys.head);
  for (; from < to; from += kPiece) {
    const size_t span = static_cast<size_t>(std::min(kPiece, to - from));
    const size_t got = ReadAt(stream, from, buffer, span + lookahead);
    if (got < FNeed) return false;
    const size_t last = std::min(span, got - FNeed + 1);
    size_t next[kMaxSignatures];
    for (size_t k = 0; k < keys; ++k) next[k] = NextCandidate(buffer, 0, last, k);
    for (;;) {
      const size_t at = *std::min_element(next, next + keys);
      if (at >= last) break;
      const long long position = from + static_cast<long long>(at);
      const uint8_t* bytes = buffer + at;
      size_t available = got - at;
      uint8_t head[kMaxHead];
      if (available < FKeys.head) {  // cut short: read the head again
        available = ReadAt(stream, position, head, FKeys.head);
        bytes = head;
      }
      if (available >= FKeys.head && CanStart(bytes) &&
          Offer({stream, position, bytes, available, mustReach, blockSize}, found))
        return true;
      for (size_t k = 0; k < keys; ++k)
        if (next[k] == at) next[k] = NextCandidate(buffer, at + 1, last, k);
    }
  }
  return false;
}

bool CFormatHandler::SearchIndexed(CDataStream* stream, long long blockStart, long long blockSize,
                                   Found* found) {
  const long long blockEnd = blockStart + blockSize;
  const long long serial = FSlot >= 0 ? SVStreamSerial(stream) : -1;
  CStartIndex& index = CStartIndex::Shared();
  const CStartIndex::Window* window =
      serial >= 0 ? index.Cover(stream, serial, blockStart, blockEnd) : nullptr;
  if (window == nullptr) {
    FIndexStream = nullptr;
    return Search(stream, blockStart + 1, blockEnd, -1, blockSize, found);
  }
  FIndexStream = stream;
  FIndexGeneration = window->generation;
  const uint32_t* end = index.CandidatesEnd(FSlot);
  const uint32_t* next = std::lower_bound(index.CandidatesBegin(FSlot), end,
                                          static_cast<uint32_t>(blockStart + 1 - window->start));
  const uint32_t last = static_cast<uint32_t>(blockEnd - window->start);
  const uint32_t first = static_cast<uint32_t>(blockStart - window->start);
  for (; next != end && *next < last; ++next) {
    // Starts inside a block go in the order of their positions, not of the formats: another
    // format may begin a file before this candidate (a RAW file whose preview JPEG lies in
    // its first block), and answering now would hide it. This format looks again, as in a
    // skipped block, once the scan has moved on without that file.
    if (index.PendingFormatIn(FSlot, blockStart, first, *next)) {
      FLastBlock = blockStart - 1;
      FNextCandidate = -1;
      return false;
    }
    const long long position = window->start + *next;
    const uint8_t* bytes = window->bytes + *next;
    size_t available = window->got - *next;
    uint8_t head[kMaxHead];
    if (available < FKeys.head) {  // cut short: read the head again
      available = ReadAt(stream, position, head, FKeys.head);
      bytes = head;
    }
    if (available >= FKeys.head && CanStart(bytes) &&
        Offer({stream, position, bytes, available, -1, blockSize}, found)) {
      FNextCandidate = -1;
      return true;
    }
  }
  FNextCandidate = next != end ? window->start + *next : window->end;
  index.Done(FSlot, blockStart);
  return false;
}

// The first candidate in [at, last) by key `key` (a signature, or the first-byte set), or last.
size_t CFormatHandler::NextCandidate(const uint8_t* buffer, size_t at, size_t last,
                                     size_t key) const {
  if (FKeys.first == nullptr) return NextSignature(buffer, at, last, FKeys.signatures[key]);
  while (at < last && !FKeys.first->member[buffer[at]]) ++at;
  return at;
}

}  // namespace salvor
