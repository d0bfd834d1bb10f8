#include <algorithm>
#include <cstring>

#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/TextCopy.h"
#include "modules/common/UnalignedSearch.h"
#include "modules/common/HandlerBase.h"
#include "modules/tiff/TiffWalker.h"

namespace salvor {

namespace {

const HandlerInfo kTiffInfo = {
    "salvor.tiff",
    "image/tiff;image/x-canon-cr2;image/x-nikon-nef;image/x-sony-arw;image/x-adobe-dng;"
    "image/x-pentax-pef;image/x-samsung-srw;image/x-olympus-orf;image/x-panasonic-rw2",
    "TIFF image or camera RAW",
    "tif;cr2;nef;arw;dng;orf;rw2;pef;srw;nrw;sr2;rwl;erf;3fr;dcr;kdc;iiq;tiff",
    200 * 1024,  // camera RAWs reach 100 MB and more
    2097151,     // the engine counts MaxSize bytes in 32 bits
};

// Cheap test on the first bytes of a candidate start: byte order mark plus magic.
inline bool LooksLikeTiffStart(const uint8_t* p) {
  if (p[0] != p[1] || (p[0] != 'I' && p[0] != 'M')) return false;
  return IsTiffMagic(LoadBE32(p));
}

// The EXIF block of a JPEG (or of any container that tags it so), and a Nikon MakerNote
// inside it ("Nikon\0", a version, then its own header), are TIFF structures but not files.
bool InsideExif(CDataStream* stream, long long at) {
  if (at < 6) return false;
  uint8_t before[10] = {};  // a header near the stream's start has fewer bytes before it
  const long long back = std::min(at, 10LL);
  if (ReadAt(stream, at - back, before + 10 - back, size_t(back)) != size_t(back)) return false;
  return ExifBefore(before);
}

// Where the TIFF that starts at `at` and claims to end at `end` was cut: the first block start
// inside it where another file begins that is no part of its own (a preview); -1 when none.
long long CutInside(CDataStream* stream, long long at, long long end, long long blockSize) {
  return FirstForeignStart(stream, at, end, blockSize, [&](long long position) {
    CStreamReader reader(stream, at, -1);
    TiffLayout layout;
    return WalkTiff(reader, &layout, position - at) && layout.probeStartsPart;
  });
}

}  // namespace

class CTiffHandler : public CHandlerBase {
 public:
  explicit CTiffHandler(CPhotoRecovery* engine) : CHandlerBase(engine, kTiffInfo) {}

  bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized, long long* start,
                     long long* end) override {
    RecognizeByFirstBytes<4>(
        stream, blockSize, Unaligned(), FSkipped, LooksLikeTiffStart,
        [&](long long at) { return Answer(stream, at, -1, blockSize, recognized, start, end); },
        [&](long long from, long long to, long long mustReach) {
          return Search(stream, from, to, mustReach, blockSize, recognized, start, end);
        });
    return true;
  }

  bool FindEndOfFile(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream, 0, -1);
    TiffLayout layout;
    if (!WalkTiff(reader, &layout) || layout.extent <= 0) return false;
    const long long cut = CutInside(stream, 0, layout.extent, blockSize);
    *end = cut >= 0 ? cut : layout.extent;
    return true;
  }

  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

  bool DescribeFile(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file, 0, -1);
    TiffLayout layout;
    bool walked = WalkTiff(reader, &layout);
    const char* name = walked || layout.magic != 0 ? TiffExtension(layout) : "";
    CopyText(extension, extensionSize, name);
    return walked && layout.complete && layout.extent == reader.Size();
  }

 private:
  // Offers every TIFF header starting in [from, to) to Answer, in ascending order: byte-order
  // marks located with memchr in pieces read with the 3 bytes that complete a header.
  bool Search(CDataStream* stream, long long from, long long to, long long mustReach,
              long long blockSize, bool* recognized, long long* start, long long* end) {
    constexpr long long kPiece = 512;
    uint8_t piece[kPiece + 3];
    for (; from < to; from += kPiece) {
      const long long span = std::min(kPiece, to - from);
      stream->SetPosition(from);
      const long long limit = std::min(span, stream->Read(span + 3, piece) - 3);
      for (long long i = 0; i < limit;) {
        auto* intel = static_cast<const uint8_t*>(memchr(piece + i, 'I', size_t(limit - i)));
        auto* motorola = static_cast<const uint8_t*>(memchr(piece + i, 'M', size_t(limit - i)));
        if (intel == nullptr && motorola == nullptr) break;
        const uint8_t* hit = intel == nullptr      ? motorola
                             : motorola == nullptr ? intel
                                                   : std::min(intel, motorola);
        const long long at = hit - piece;
        if (LooksLikeTiffStart(hit) &&
            Answer(stream, from + at, mustReach, blockSize, recognized, start, end))
          return true;
        i = at + 1;
      }
    }
    return false;
  }

  // Validates and measures a TIFF at `at`: the whole file when every part is there, else its
  // start only; a file another one was written over ends where that one begins. With
  // mustReach >= 0 (a start left in a skipped block, whose beginning belongs to the file
  // delivered before) only a file that ends past mustReach counts.
  bool Answer(CDataStream* stream, long long at, long long mustReach, long long blockSize,
              bool* recognized, long long* start, long long* end) {
    // The walk reads only IFDs and value arrays, never image data: it may look at the whole
    // rest of the stream (a large TIFF keeps its IFD at its end), and MaxSize bounds the answer.
    if (InsideExif(stream, at)) return false;
    CStreamReader reader(stream, at, -1);
    TiffLayout layout;
    if (!WalkTiff(reader, &layout)) return false;
    const bool whole = layout.complete && layout.extent <= MaxSizeBytes();
    long long fileEnd = at + layout.extent;
    if (whole) {
      const long long cut = CutInside(stream, at, fileEnd, blockSize);
      if (cut >= 0) fileEnd = cut;
    }
    if (mustReach >= 0 && (!whole || fileEnd <= mustReach)) return false;
    *recognized = true;
    *start = at;
    if (whole) *end = fileEnd;
    return true;
  }

  CSkippedTail FSkipped;
};

}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CTiffHandler)
