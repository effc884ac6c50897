#include "runtime/version.h"

#include <cstdio>

std::string VersionLine() {
  char line[64];
  std::snprintf(line, sizeof line, "%s version %d.%d", kProgramName, kVersionMajor, kVersionMinor);
  return line;
}
