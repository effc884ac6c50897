#include "app/main_program.h"
#include "app/process_objects.h"

namespace {

// Before every other static initialiser of the program, so that the process-wide objects are
// destroyed after them.
struct ProcessStart {
  ProcessStart() { InitProcessObjects(); }
};
ProcessStart processStart __attribute__((init_priority(101)));

}  // namespace

int main(int argc, char** argv) { return RunMain(argc, argv, RealMainServices()); }
