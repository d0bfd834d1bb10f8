// A module whose entry functions build nothing, as a plug-in does when it cannot start.
#define NULL_ENTRY(name)                                                \
  extern "C" __attribute__((visibility("default"))) void* name(void*) { \
    return nullptr;                                                     \
  }
NULL_ENTRY(GetDSInstance)
NULL_ENTRY(GetPVInstance)
NULL_ENTRY(GetCHInstance)
