#include <algorithm>
#include <cstring>

#include "salvor/CDataStream.h"
#include "modules/common/ForeignStart.h"
#include "modules/common/TextCopy.h"
#include "modules/common/FormatHandler.h"
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

const Signature kStarts[] = {{"II"}, {"MM"}};

class CTiffHandler final : public CFormatHandlerOf<CTiffHandler> {
 public:
  explicit CTiffHandler(CPhotoRecovery* engine)
      : CFormatHandlerOf(engine, kTiffInfo, {4, kStarts}) {}

  bool FindEnd(CDataStream* stream, long long blockSize, long long* end) override {
    CStreamReader reader(stream, 0, -1);
    TiffLayout layout;
    if (!WalkTiff(reader, &layout) || layout.extent <= 0) return false;
    const long long cut = CutInside(stream, 0, layout.extent, blockSize);
    *end = cut >= 0 ? cut : layout.extent;
    return true;
  }

  bool Describe(CDataStream* file, char* extension, int extensionSize) override {
    CStreamReader reader(file, 0, -1);
    TiffLayout layout;
    bool walked = WalkTiff(reader, &layout);
    const char* name = walked || layout.magic != 0 ? TiffExtension(layout) : "";
    CopyText(extension, extensionSize, name);
    return walked && layout.complete && layout.extent == reader.Size();
  }

  bool CanStart(const uint8_t* head) const override { return LooksLikeTiffStart(head); }

 protected:
  // Validates and measures a TIFF: the whole file when every part is there, else its start
  // only; a file another one was written over ends where that one begins. A damaged one must
  // keep the start of an image block: IFDs followed by garbage are no image. Only a whole file
  // counts in a skipped block.
  bool Examine(const Candidate& c, Found* found) override {
    // The walk reads only IFDs and value arrays, never image data: it may look at the whole
    // rest of the stream (a large TIFF keeps its IFD at its end).
    if (InsideExif(c.stream, c.start)) return false;
    CStreamReader reader(c.stream, c.start, -1);
    TiffLayout layout;
    if (!WalkTiff(reader, &layout)) return false;
    if (c.mustReach >= 0 && !layout.complete) return false;
    const long long cut = CutInside(c.stream, c.start, c.start + layout.extent, c.blockSize);
    const long long end = cut >= 0 ? cut : c.start + layout.extent;
    if ((cut >= 0 || !layout.complete) &&
        (layout.firstData < 0 || c.start + layout.firstData >= end))
      return false;
    if (layout.complete)
      found->File(c.start, end);
    else
      found->OpenFile(c.start, c.start + layout.extent);
    return true;
  }
};

}  // namespace
}  // namespace salvor

SALVOR_CONTENT_MODULE(salvor::CTiffHandler)
