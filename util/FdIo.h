#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace salvor {

// Writes all `size` bytes to fd, going on after short writes and interrupting signals; false
// on an error (errno says which).
inline bool WriteAll(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, at, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

inline bool WriteAll(int fd, const std::string& text) {
  return WriteAll(fd, text.data(), text.size());
}

// Reads exactly `size` bytes from fd; false at its end or on an error.
inline bool ReadAll(int fd, void* data, size_t size) {
  char* at = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = read(fd, at, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace salvor
