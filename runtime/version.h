#pragma once

#include <string>

// The program's name and version as it reports them.
inline constexpr const char* kProgramName = "VarnokChiaPool";
inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 3;

// "VarnokChiaPool version 1.3"
std::string VersionLine();
