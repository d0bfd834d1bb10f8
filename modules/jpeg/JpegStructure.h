#pragma once

#include <cstdint>

namespace salvor {

class CStreamReader;

namespace jpeg {

// What following a JPEG's marker segments and entropy-coded data from its SOI tells.
struct JpegWalk {
  enum Outcome {
    kNotJpeg,   // the header does not hold together: not a JPEG
    kComplete,  // the main image's EOI was reached
    kRanOut,    // the data ended (end of the reader) before the EOI
    kJunk,      // the structure ran into data that cannot belong to it
  };
  Outcome outcome = kNotJpeg;
  // kComplete: length of the file, covering the MPF images and the motion-photo video that
  // are present after the main image.
  long long end = -1;
  // kComplete: one past the main image's EOI.
  long long mainEnd = -1;
  // kRanOut/kJunk: how far the data certainly belongs to the file.
  long long bestEnd = -1;
  // kComplete: an MPF image or a motion-photo video the file declares is not there.
  bool trailerMissing = false;
  // How far the header reaches (its APPn segments hold thumbnails and previews): to the first
  // scan's data, or to the end the last segment seen declares.
  long long headerEnd = -1;
  // kComplete: damaged entropy data was skipped to the next restart marker.
  bool damaged = false;
  bool progressive = false;
};

// True when the first four bytes can begin a JPEG: SOI followed by a marker that may come
// first in a file.
bool CanStartJpeg(const uint8_t* first4);

// Walks the JPEG that starts at offset 0 of `reader`, never reading beyond reader.Size().
JpegWalk WalkJpeg(CStreamReader& reader);

}  // namespace jpeg
}  // namespace salvor
