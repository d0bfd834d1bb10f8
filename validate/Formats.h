#pragma once

#include "validate/Validator.h"

// One validator per format, each in its own unit; Validators.cpp maps types to them.
namespace salvor {

// HEIF, HEIC, AVIF: item locations in the file, unit chains, primary image and thumbnails
// decoded. Decoding costs 3-5 MB/s of HEIC (a 12 MP photo: about 0.2 s of CPU).
Validation ValidateHeif(ByteSpan& bytes);
// The same without decoding: item locations and each coded item's unit chain (NAL lengths
// and emulation prevention, OBU sizes), which catch most breaks at a fragment's end; cannot
// tell where ValidateHeif would decode. For callers that cannot pay for decoding.
Validation ValidateHeifUnits(ByteSpan& bytes);

}  // namespace salvor
