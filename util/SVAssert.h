#pragma once

namespace SV {
// Writes "<unit>:<line>: assertion failed: <condition>" to standard error and aborts.
[[noreturn]] void AssertFailed(const char* unit, int line, const char* condition);
}  // namespace SV

// The condition text is passed as a literal so that formatting never changes what is printed.
#define SV_ASSERT(cond, text) ((cond) ? (void)0 : ::SV::AssertFailed(__FILE__, __LINE__, text))
