#include "util/SVAssert.h"

#include <cstdio>
#include <cstdlib>

namespace SV {

void AssertFailed(const char* unit, int line, const char* condition) {
  fprintf(stderr, "%s:%d: assertion failed: %s\n", unit, line, condition);
  abort();
}

}  // namespace SV
