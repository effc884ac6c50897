#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "file headers are little-endian structures read and written as bytes");

// The first 32 bytes of every plot and temporary file. A file was closed cleanly when the u64
// stored at markerOffset equals markerValue.
struct FileStartRecord {
  uint64_t magic;
  uint8_t version;
  uint8_t zero[7];
  uint64_t markerOffset;
  uint64_t markerValue;
};
static_assert(sizeof(FileStartRecord) == 32);
static_assert(offsetof(FileStartRecord, magic) == 0);
static_assert(offsetof(FileStartRecord, version) == 8);
static_assert(offsetof(FileStartRecord, markerOffset) == 16);
static_assert(offsetof(FileStartRecord, markerValue) == 24);

// Eight ASCII bytes read as one little-endian u64.
constexpr uint64_t MagicValue(const char (&text)[9]) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(text[i]);
  return value;
}

inline constexpr uint64_t kPlotMagic = MagicValue("VKCPPLOT");
inline constexpr uint64_t kTempMagic = MagicValue("VKCPTEMP");
inline constexpr uint8_t kFileFormatVersion = 1;

// Whether [offset, offset + length) lies inside a file of `size` bytes. Offsets come from
// headers on disk, so the sum is never formed: it could wrap.
constexpr bool FitsInFile(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}
