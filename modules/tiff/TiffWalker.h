#pragma once

#include <cstdint>
#include <string>

#include "modules/common/StreamReader.h"

namespace salvor {

// What a walk over a TIFF structure found.
struct TiffLayout {
  // One past the last byte of every part (IFD, value, strip, tile, preview) that lies wholly
  // inside the reader: the file's length when `complete`.
  long long extent = 0;
  // Every part lies inside the reader and every IFD pointer led to a well-formed IFD.
  bool complete = true;
  bool bigTiff = false;
  uint32_t magic = 0;     // first four bytes, big-endian
  bool canonCr2 = false;  // "CR" after the header
  bool phaseOne = false;  // "IIII" after the header
  bool dng = false;       // DNGVersion present
  bool rawData = false;   // a colour-filter-array or camera-specific compressed image
  std::string make;
  std::string model;
  // Where the first image block (strip, tile, preview) that begins inside the reader begins;
  // -1 when none does.
  long long firstData = -1;
  // Whether some part of the file starts at the offset the walk was asked about.
  bool probeStartsPart = false;
};

// First four bytes of every TIFF flavour this module knows, big-endian.
bool IsTiffMagic(uint32_t firstFour);

// Walks the structure of a TIFF starting at offset 0 of `reader`. Returns false when the
// header or the first IFD is not a believable TIFF (the data is not a TIFF at all); otherwise
// fills `layout`. Bounded: cycles and oversized arrays cannot make it loop or allocate.
// `probe`: an offset to look out for (see probeStartsPart), or -1.
bool WalkTiff(CStreamReader& reader, TiffLayout* layout, long long probe = -1);

// Best extension for the walked file, without a dot ("tif", "cr2", "nef" ...).
const char* TiffExtension(const TiffLayout& layout);

}  // namespace salvor
