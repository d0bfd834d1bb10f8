#pragma once

#include "validate/StillsCommon.h"

namespace salvor {

// Checks the TIFF structure whose header lies at `base` (its offsets count from there) and
// whose parts must lie before `limit`: IFDs, tag values, strips and tiles, embedded JPEGs;
// compressed strips are decoded where a decoder is at hand. Raises `end` to the end of the
// last part. False when there is no TIFF header at `base` (nothing is recorded then).
bool CheckTiff(ByteSpan& bytes, long long base, long long limit, Findings& findings,
               long long& end);

}  // namespace salvor
