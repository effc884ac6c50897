#include "tests/support/time_prefix.h"  // IWYU pragma: export
