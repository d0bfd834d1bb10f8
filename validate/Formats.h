#pragma once

#include "validate/Validator.h"

// One validator per format, each in its own unit; Validators.cpp maps types to them.
namespace salvor {

Validation ValidateJpeg(ByteSpan& bytes);
Validation ValidatePng(ByteSpan& bytes);
Validation ValidateGif(ByteSpan& bytes);
Validation ValidateWebp(ByteSpan& bytes);
Validation ValidateBmp(ByteSpan& bytes);

}  // namespace salvor
