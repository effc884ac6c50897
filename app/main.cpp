#include <cstdio>

#include "app/interrupts.h"
#include "app/process_objects.h"
#include "runtime/version.h"

namespace {

// Before every other static initialiser of the program, so that the process-wide objects are
// destroyed after them.
struct ProcessStart {
  ProcessStart() { InitProcessObjects(); }
};
ProcessStart processStart __attribute__((init_priority(101)));

}  // namespace

int main() {
  InstallInterruptHandlers();
  std::printf("%s\n", VersionLine().c_str());
  return 0;
}
