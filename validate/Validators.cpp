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
constexpr Entry kValidators[] = {
    {"", nullptr},
    {"mp4", ValidateMp4},
    {"mov", ValidateMp4},
    {"m4v", ValidateMp4},
    {"m4a", ValidateMp4},
    {"m4b", ValidateMp4},
    {"3gp", ValidateMp4},
    {"3g2", ValidateMp4},
    {"f4v", ValidateMp4},
    {"mp3", ValidateMpegAudio},
    {"mp2", ValidateMpegAudio},
    {"mp1", ValidateMpegAudio},
    {"aac", ValidateAdts},
    {"flac", ValidateFlac},
    {"ogg", ValidateOgg},
    {"oga", ValidateOgg},
    {"opus", ValidateOgg},
    {"spx", ValidateOgg},
    {"avi", ValidateAvi},
    {"wav", ValidateWav},
    {"ts", ValidateMpegTs},
    {"mts", ValidateMpegTs},
    {"m2ts", ValidateMpegTs},
    {"mkv", ValidateMatroska},
    {"mka", ValidateMatroska},
    {"webm", ValidateMatroska},
    {"mpg", ValidateMpegPs},
    {"mpeg", ValidateMpegPs},
    {"vob", ValidateMpegPs},
};

}  // namespace

ValidateFunction FindValidator(const std::string& type) {
  for (const Entry& entry : kValidators) {
    if (entry.validate != nullptr && type == entry.type) return entry.validate;
  }
  return nullptr;
}

}  // namespace salvor
