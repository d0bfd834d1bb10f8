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
    {"heic", ValidateHeif},
    {"heif", ValidateHeif},
    {"avif", ValidateHeif},
    {"tif", ValidateTiff},
    {"tiff", ValidateTiff},
    {"dng", ValidateTiff},
    {"cr2", ValidateTiffRaw},
    {"nef", ValidateTiffRaw},
    {"nrw", ValidateTiffRaw},
    {"arw", ValidateTiffRaw},
    {"sr2", ValidateTiffRaw},
    {"srw", ValidateTiffRaw},
    {"orf", ValidateTiffRaw},
    {"rw2", ValidateTiffRaw},
    {"rwl", ValidateTiffRaw},
    {"pef", ValidateTiffRaw},
    {"erf", ValidateTiffRaw},
    {"3fr", ValidateTiffRaw},
    {"dcr", ValidateTiffRaw},
    {"kdc", ValidateTiffRaw},
    {"iiq", ValidateTiffRaw},
    {"raf", ValidateRaf},
    {"mrw", ValidateMrw},
    {"crw", ValidateCrw},
    {"x3f", ValidateX3f},
    {"psd", ValidatePsd},
    {"psb", ValidatePsd},
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
