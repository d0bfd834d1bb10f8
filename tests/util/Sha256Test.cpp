#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "util/sha256/Sha256.h"

namespace {

// Published FIPS 180-4 examples, and the digests of lengths that cross block boundaries,
// checked both with the processor's SHA instructions (where it has them) and without.
TEST(Sha256, KnownDigestsAndBothRoundImplementationsAgree) {
  const std::vector<std::pair<std::string, std::string>> known = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  std::mt19937 random(7);
  std::vector<uint8_t> data(70000);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());

  std::vector<std::string> digests[2];
  for (bool allowed : {true, false}) {
    SV::CSha256::SetShaInstructionsAllowed(allowed);
    for (const auto& [message, digest] : known)
      EXPECT_EQ(SV::CSha256::Of(message.data(), message.size()), digest);
    auto& out = digests[allowed ? 0 : 1];
    for (size_t length : {1, 55, 56, 63, 64, 65, 127, 128, 129, 1000, 4096, 65537, 70000})
      out.push_back(SV::CSha256::Of(data.data(), length));
    // Fed in uneven pieces: the same digest as in one go.
    SV::CSha256 pieces;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 % 1031 + 1)
      pieces.Update(data.data() + at, std::min(step, data.size() - at));
    EXPECT_EQ(pieces.HexDigest(), out.back());
  }
  SV::CSha256::SetShaInstructionsAllowed(true);
  EXPECT_EQ(digests[0], digests[1]);
}

}  // namespace
