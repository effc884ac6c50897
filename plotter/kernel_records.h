#pragma once
// What the distribution and match kernels share: unaligned access to packed records and the
// error for a record that cannot come from a sound temp file.

#include <stdexcept>

#include "chia/packed_bytes.h"
#include "runtime/file_error_texts.h"

namespace kernel_records {

using packed_bytes::Load;
using packed_bytes::Store;

[[noreturn]] inline void Fail(const char* code) {
  throw std::runtime_error(FileErrorText(FileError::kInvalidTempFile, code));
}

}  // namespace kernel_records
