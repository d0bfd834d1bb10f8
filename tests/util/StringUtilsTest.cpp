#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "util/StringUtils.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string DirectoryOf(const char* path) {
  std::vector<char> input(path, path + std::strlen(path) + 1);
  std::vector<char> directory(input.size() + 1, 'X');
  char* result = filepath(input.data(), directory.data());
  EXPECT_EQ(result, directory.data());
  return result;
}

std::string Dump(std::vector<unsigned char> bytes) {
  CaptureStderr();
  Hexdump(bytes.data(), static_cast<int>(bytes.size()));
  return GetCapturedStderr();
}

}  // namespace

TEST(StringUtils, EncodeStringKeepsAsciiAndHexesTheRest) {
  EXPECT_EQ(encodeString(L""), "");
  EXPECT_EQ(encodeString(L"Bild\u00e9"), "Bild00e9");
  EXPECT_EQ(encodeString(L"\U0001F600"), "1f600");
  EXPECT_EQ(encodeString(L"/tmp/a b\x7f\x80\u4e2d.img"),
            "/tmp/a b\x7f"
            "00804e2d.img");
}

TEST(StringUtils, IntToHexHasExactlyTheAskedDigits) {
  EXPECT_EQ(IntToHex(255), "000000FF");
  // clang-format off
  for (auto [value, digits, hex] : std::vector<std::tuple<unsigned, int, std::string>>{
           {255, 4, "00FF"}, {255, 0, ""}, {255, -3, ""}, {0xABCDEF12u, 2, "12"},
           {0xDEADBEEFu, 8, "DEADBEEF"}, {0x12345678u, 10, "7812345678"},
           {31, 9, "F0000001F"}})  // the shift wraps past eight places
    EXPECT_EQ(IntToHex(value, digits), hex) << value << "/" << digits;
  // clang-format on
}

TEST(StringUtils, FilepathIsTheDirectoryPart) {
  // clang-format off
  for (auto [path, directory] : std::vector<std::pair<const char*, const char*>>{
           {"/a/b/c", "/a/b"}, {"a/b/", "a/b"}, {"abc", ""}, {"/abc", ""}, {"/", ""}, {"", ""},
           {"a/", "a"}, {"a/b", "a"}, {"//x", "/"}, {"/usr/lib/salvor/jpeg.so", "/usr/lib/salvor"}}) {
    // clang-format on
    EXPECT_EQ(DirectoryOf(path), directory) << path;
  }
}

TEST(StringUtils, HexdumpWritesOffsetsBytesAndCharacters) {
  EXPECT_EQ(Dump({}), "");
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<unsigned char>('A' + i));
  bytes.insert(bytes.end(), {0x00, 0x1f, 0x7f, 0x20});
  EXPECT_EQ(Dump(bytes),
            "    0 00000000  41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\n"
            "   16 00000010  00 1f 7f 20                                      ... \n");
  CaptureStderr();
  Hexdump(bytes.data(), -1);
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(StringUtils, WideAndNarrowConversions) {
  EXPECT_EQ(toWideString(""), L"");
  EXPECT_EQ(toUtf8String(L""), "");

  const char* previous = std::setlocale(LC_CTYPE, nullptr);
  std::string saved = previous != nullptr ? previous : "C";
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(toWideString("caf\xc3\xa9 \xf0\x9f\x98\x80"), L"caf\u00e9 \U0001F600");
  EXPECT_EQ(toUtf8String(L"caf\u00e9 \U0001F600"), "caf\xc3\xa9 \xf0\x9f\x98\x80");
  // Conversion stops at the first character it cannot convert.
  EXPECT_EQ(toWideString("ok\xff rest"), L"ok");
  EXPECT_EQ(toUtf8String(std::wstring(L"ok") + static_cast<wchar_t>(0xD800) + L"rest"), "ok");
  std::setlocale(LC_CTYPE, saved.c_str());
}
