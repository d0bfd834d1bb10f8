#pragma once

// Calls through a mirror of a published class layout, as a separately built host or plug-in
// makes them. They cross unrelated class types on purpose: the vptr check would refuse them.
#define SV_MIRROR_CALLS __attribute__((no_sanitize("vptr"), noinline))

namespace mirror {

// Hides the real type behind the pointer from the optimiser, as a separate binary cannot see it.
template <typename To, typename From>
To* Opaque(From* object) {
  void* p = object;
  asm volatile("" : "+r"(p));
  return static_cast<To*>(p);
}

}  // namespace mirror
