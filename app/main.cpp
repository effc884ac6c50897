#include <cstdio>

#include "runtime/version.h"

int main() {
  std::printf("%s\n", VersionLine().c_str());
  return 0;
}
