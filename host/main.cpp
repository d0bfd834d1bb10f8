#include "host/App.h"

int main(int argc, char** argv) {
  return salvor::RunSalvor(argc, argv);
}
