#include "util/StringUtils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

std::wstring toWideString(const std::string& text) {
  if (text.empty()) return std::wstring();
  std::vector<wchar_t> buffer(text.size() + 2, L'\0');
  // On an unconvertible sequence mbstowcs stops; what it wrote before stays in the buffer.
  mbstowcs(buffer.data(), text.c_str(), text.size() + 1);
  buffer.back() = L'\0';
  return std::wstring(buffer.data());
}

std::string toUtf8String(const std::wstring& text) {
  if (text.empty()) return std::string();
  std::vector<char> buffer(text.size() * 4 + 1, '\0');
  wcstombs(buffer.data(), text.c_str(), text.size() * 4);
  buffer.back() = '\0';
  return std::string(buffer.data());
}

std::string encodeString(const wchar_t* text) {
  std::string result;
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    unsigned long code = static_cast<unsigned long>(static_cast<unsigned int>(*c));
    if (code < 128) {
      result += static_cast<char>(code);
    } else {
      char digits[16];
      snprintf(digits, sizeof digits, "%04lx", code);
      result += digits;
    }
  }
  return result;
}

std::string IntToHex(unsigned int value, int digits) {
  if (digits <= 0) return std::string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string result(static_cast<size_t>(digits), '0');
  for (int k = 0; k < digits; ++k) {
    unsigned int shift = (4u * static_cast<unsigned int>(k)) % 32u;
    result[static_cast<size_t>(digits - 1 - k)] = kHex[(value >> shift) & 15u];
  }
  return result;
}

std::string IntToHex(unsigned int value) {
  return IntToHex(value, 8);
}

void Hexdump(void* data, int length) {
  if (length < 1) return;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (int line = 0; line < length; line += 16) {
    fprintf(stderr, "%5d %08lx  ", line, static_cast<unsigned long>(line));
    for (int i = 0; i < 16; ++i) {
      if (line + i < length) {
        fprintf(stderr, "%02x ", bytes[line + i]);
      } else {
        fputs("   ", stderr);
      }
    }
    fputc(' ', stderr);
    for (int i = 0; i < 16 && line + i < length; ++i) {
      unsigned char c = bytes[line + i];
      fputc(c >= 32 && c <= 126 ? c : '.', stderr);
    }
    fputc('\n', stderr);
  }
}

char* filepath(char* path, char* directory) {
  size_t n = strlen(path);
  directory[0] = '\0';
  if (n <= 1) return directory;
  if (path[n - 1] == '/') {
    memcpy(directory, path, n - 1);
    directory[n - 1] = '\0';
    return directory;
  }
  for (size_t p = n - 2; p >= 1; --p) {
    if (path[p] == '/') {
      memcpy(directory, path, p);
      directory[p] = '\0';
      return directory;
    }
  }
  return directory;
}
