#include "app/main_program.h"
#include "app/process_objects.h"

// Only the test build of the executable thins its plots; the release build keeps the production
// scale.
#ifndef VARNOK_PLOT_SHIFT
#define VARNOK_PLOT_SHIFT 0
#endif

namespace {

// Before every other static initialiser of the program, so that the process-wide objects are
// destroyed after them.
struct ProcessStart {
  ProcessStart() { InitProcessObjects(); }
};
ProcessStart processStart __attribute__((init_priority(101)));

}  // namespace

int main(int argc, char** argv) {
  return RunMain(argc, argv, RealMainServices(PlotScale::WithShift(VARNOK_PLOT_SHIFT)));
}
