#include "tests/support/child_process.h"  // IWYU pragma: export
