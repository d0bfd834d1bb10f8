#pragma once

#include <cstdint>
#include <vector>

namespace salvor {

class CStreamReader;

namespace isobmff {

constexpr uint32_t FourCC(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
         uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]);
}

// What the sample tables (moov) or the item locations (HEIF meta) say about where the
// media data lies, in file offsets.
struct DataExtent {
  bool known = false;  // at least one chunk or item extent in the file itself
  long long start = 0;
  long long end = 0;
};

struct Box {
  uint32_t type;
  long long offset;
  long long header;  // 8, or 16 with a 64-bit size
  long long size;    // -1: runs to the end of the file
};

struct FileWalk {
  enum Stop {
    kComplete,   // the whole file, `end` exact
    kDamaged,    // the structure broke before the file was whole; `goodEnd` is usable
    kRanOff,     // the structure runs past the limit (source end or MaxSize)
    kOpenEnded,  // a last box of size 0 that nothing bounds
  };
  Stop stop = kDamaged;
  long long end = 0;
  long long goodEnd = 0;   // end of the last box read whole
  int boxCount = 0;        // top-level boxes walked
  bool quickTime = false;  // opens without ftyp
  bool jp2 = false;
  uint32_t majorBrand = 0;
  uint32_t brands[16] = {};  // compatible brands, the first 16
  int brandCount = 0;
  bool hasMovie = false;    // moov read and sound
  bool hasItems = false;    // top-level meta read and sound
  bool audioOnly = false;   // every track with data is a sound track
  bool consistent = false;  // the media data lies where the tables say
  // The payload of the mdat that holds the media data, or of a JPEG 2000 codestream; empty
  // when there is none.
  long long mediaStart = 0;
  long long mediaEnd = 0;
};

// An offset to look out for during a walk: whether a sample of a track or an extent of an
// item starts there.
struct PartProbe {
  long long position = -1;
  bool startsPart = false;
};

// True when the first bytes (at least 16) can begin a file: ftyp, the JPEG 2000 signature
// box, or a QuickTime movie without ftyp. Costs a few comparisons.
bool MayStartFile(const uint8_t* head);

// Walks the top-level boxes of the file at offset 0 of `reader` within `limit` bytes.
FileWalk WalkFile(CStreamReader& reader, long long limit, PartProbe* probe = nullptr);

// The file name extension for a walked file; never null.
const char* ExtensionOf(const FileWalk& walk);

}  // namespace isobmff
}  // namespace salvor
