#include <cstring>
#include <string>

#include "validate/Formats.h"
#include "validate/Spans.h"
#include "validate/Validator.h"

namespace salvor {

namespace {

struct Entry {
  const char* type;
  ValidateFunction validate;
};

// A line per validator, with the types it checks: the extensions the sink names files by.
// clang-format off
constexpr Entry kValidators[] = {
    {"mp4", ValidateMp4}, {"mov", ValidateMp4}, {"m4v", ValidateMp4}, {"m4a", ValidateMp4},
    {"m4b", ValidateMp4}, {"3gp", ValidateMp4}, {"3g2", ValidateMp4}, {"f4v", ValidateMp4},
    {"mp3", ValidateMpegAudio}, {"mp2", ValidateMpegAudio}, {"mp1", ValidateMpegAudio},
    {"aac", ValidateAdts},
    {"flac", ValidateFlac},
    {"ogg", ValidateOgg}, {"oga", ValidateOgg}, {"opus", ValidateOgg}, {"spx", ValidateOgg},
    {"avi", ValidateAvi},
    {"wav", ValidateWav},
    {"ts", ValidateMpegTs}, {"mts", ValidateMpegTs}, {"m2ts", ValidateMpegTs},
    {"jpg", ValidateJpeg}, {"jpeg", ValidateJpeg}, {"jpe", ValidateJpeg}, {"jfif", ValidateJpeg},
    {"png", ValidatePng}, {"apng", ValidatePng},
    {"gif", ValidateGif},
    {"webp", ValidateWebp},
    // Decoding a 12 MP HEIC takes a fifth of a second: the sink checks the coded units only.
    {"heic", ValidateHeifUnits}, {"heif", ValidateHeifUnits}, {"avif", ValidateHeifUnits},
    {"tif", ValidateTiff}, {"tiff", ValidateTiff}, {"dng", ValidateTiff},
    {"cr2", ValidateTiffRaw}, {"nef", ValidateTiffRaw}, {"nrw", ValidateTiffRaw},
    {"arw", ValidateTiffRaw}, {"sr2", ValidateTiffRaw}, {"srw", ValidateTiffRaw},
    {"orf", ValidateTiffRaw}, {"rw2", ValidateTiffRaw}, {"rwl", ValidateTiffRaw},
    {"pef", ValidateTiffRaw}, {"erf", ValidateTiffRaw}, {"3fr", ValidateTiffRaw},
    {"dcr", ValidateTiffRaw}, {"kdc", ValidateTiffRaw}, {"iiq", ValidateTiffRaw},
    {"raf", ValidateRaf},
    {"mrw", ValidateMrw},
    {"crw", ValidateCrw},
    {"x3f", ValidateX3f},
    {"psd", ValidatePsd}, {"psb", ValidatePsd},
    {"mkv", ValidateMatroska}, {"mka", ValidateMatroska}, {"webm", ValidateMatroska},
    {"mpg", ValidateMpegPs}, {"mpeg", ValidateMpegPs}, {"vob", ValidateMpegPs},
    {"bmp", ValidateBmp}, {"dib", ValidateBmp},
};
// clang-format on

}  // namespace

bool RebuildsReliably(const std::string& type) {
  static const char* const kReliable[] = {"jpg",  "jpeg", "jpe",  "jfif", "png", "apng", "flac",
                                          "ogg",  "oga",  "opus", "spx",  "mp4", "mov",  "m4v",
                                          "m4a",  "m4b",  "3gp",  "3g2",  "f4v", "avi",  "mkv",
                                          "webm", "mka",  "mp3",  "mp2",  "aac"};
  for (const char* reliable : kReliable)
    if (type == reliable) return true;
  return false;
}

bool NoticesSplicesAtOnce(const std::string& type) {
  return FindValidator(type) == ValidateJpeg;
}

ValidateFunction FindRebuildValidator(const std::string& type) {
  if (type == "heic" || type == "heif" || type == "avif") return ValidateHeif;
  return FindValidator(type);
}

ContinuationCheck FindContinuationCheck(const std::string& type) {
  if (type == "jpg" || type == "jpeg" || type == "jpe" || type == "jfif") return CouldContinueJpeg;
  return nullptr;
}

void BeginJoinChecks() {
  ++JoinCheckSearch();
}

JoinCheck FindJoinCheck(const std::string& type) {
  if (FindValidator(type) == ValidateMp4) return CheckMp4Join;
  if (type == "jpg" || type == "jpeg" || type == "jpe" || type == "jfif") return CheckJpegJoin;
  if (type == "png" || type == "apng") return CheckPngJoin;
  if (type == "flac") return CheckFlacJoin;
  if (type == "avi") return CheckAviJoin;
  if (type == "mkv" || type == "mka" || type == "webm") return CheckMatroskaJoin;
  if (type == "ogg" || type == "oga" || type == "opus" || type == "spx") return CheckOggJoin;
  return nullptr;
}

JoinExpectationCheck FindJoinExpectation(const std::string& type) {
  return FindJoinCheck(type) == CheckOggJoin ? OggJoinExpectation : nullptr;
}

DecodeFunction FindDecodingValidator(const std::string& type) {
  return FindValidator(type) == ValidateMp4 && type != "m4a" && type != "m4b" ? ValidateMp4Decoded
                                                                              : nullptr;
}

ValidateFunction FindValidator(const std::string& type) {
  for (const Entry& entry : kValidators) {
    if (type == entry.type) return entry.validate;
  }
  return nullptr;
}

}  // namespace salvor
