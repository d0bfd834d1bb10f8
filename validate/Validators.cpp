#include <cstring>

#include "validate/Formats.h"
#include "validate/Validator.h"

namespace salvor {

namespace {

struct Entry {
  const char* type;
  ValidateFunction validate;
};

// One line per type a validator checks; the types are the extensions the sink names files by.
// clang-format off
constexpr Entry kValidators[] = {
    {"jpg", ValidateJpeg},
    {"jpeg", ValidateJpeg},
    {"jpe", ValidateJpeg},
    {"jfif", ValidateJpeg},
    {"png", ValidatePng},
    {"apng", ValidatePng},
    {"gif", ValidateGif},
    {"webp", ValidateWebp},
    {"bmp", ValidateBmp},
    {"dib", ValidateBmp},
};
// clang-format on

}  // namespace

ValidateFunction FindValidator(const std::string& type) {
  for (const Entry& entry : kValidators) {
    if (entry.validate != nullptr && type == entry.type) return entry.validate;
  }
  return nullptr;
}

}  // namespace salvor
