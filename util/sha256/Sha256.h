#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace SV {

// Incremental SHA-256 (FIPS 180-4) for checking recovered files.
class CSha256 {
 public:
  CSha256();
  void Update(const void* data, size_t length);
  // Lower-case hexadecimal digest; the object must not be updated afterwards.
  std::string HexDigest();
  static std::string Of(const void* data, size_t length);

  // Tests turn the processor's SHA instructions off to check the portable rounds against them.
  static void SetShaInstructionsAllowed(bool allowed);

 private:
  // True when the processor's SHA instructions are used.
  static bool UsesShaInstructions();
  void Compress(const uint8_t* blocks, size_t count);
  uint32_t FState[8];
  uint8_t FBuffer[64];
  size_t FBuffered;
  uint64_t FLength;
};

}  // namespace SV
