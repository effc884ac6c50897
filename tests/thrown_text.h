#include "tests/support/thrown_text.h"  // IWYU pragma: export
