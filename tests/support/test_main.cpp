#include <unistd.h>

#include <gtest/gtest.h>

// Each test process leads a session of its own. Under the kernel's automatic scheduling groups
// the processor is then shared fairly between it and every other session, so that busy
// processes beside the tests (sibling tests, a loaded machine) cannot starve the nice-19 plot
// and finalization workers, which only yield inside their own group. Where the process already
// leads a process group it stays where it is.
int main(int argc, char** argv) {
  setsid();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
