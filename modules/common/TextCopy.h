#pragma once

namespace salvor {

// Writes text into a caller's buffer of `size` bytes (DescribeFile's extension), truncated and
// always NUL-terminated.
inline void CopyText(char* out, int size, const char* text) {
  if (out == nullptr || size <= 0) return;
  int i = 0;
  for (; i + 1 < size && text[i] != '\0'; ++i) out[i] = text[i];
  out[i] = '\0';
}

}  // namespace salvor
