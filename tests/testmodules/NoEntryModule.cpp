// A shared library that loads but is no plug-in: it exports no entry function.
extern "C" __attribute__((visibility("default"))) int SalvorTestNotAnEntry() {
  return 42;
}
