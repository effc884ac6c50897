#pragma once

#include <cstdio>

// The usage text: a format string with one "%s" for the program name; it begins with a newline
// and ends with two.
extern const char UsageText[];

void PrintUsage(FILE* err, const char* programName);
