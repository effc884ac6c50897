#pragma once

#include <cstddef>
#include <cstdint>

#include "chia/simd_level.h"

// The Fx functions of fx.h over arrays, hashing 16 inputs at a time in vector lanes (every input
// of one function has the same length). Results are identical to calling the single function
// for each i in order. Input i's metadata is read at left + i * inStride and right + i * inStride,
// in the storage forms of fx.h, so a caller may point into its own records; its output metadata
// goes to out + i * outStride. Pointers may be unaligned.

void ComputeF2Batch(const uint64_t* y, const uint32_t* xLeft, const uint32_t* xRight,
                    uint64_t count, uint64_t* f, SimdLevel level = BestSimdLevel());

void Fx3Or7Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
                 uint64_t count, uint64_t* f, SimdLevel level = BestSimdLevel());

void Fx4Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
              uint64_t count, uint64_t* f, void* out, size_t outStride,
              SimdLevel level = BestSimdLevel());

void Fx5Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
              uint64_t count, uint64_t* f, void* out, size_t outStride,
              SimdLevel level = BestSimdLevel());

void Fx6Batch(const uint64_t* y, const void* left, const void* right, size_t inStride,
              uint64_t count, uint64_t* f, void* out, size_t outStride,
              SimdLevel level = BestSimdLevel());
