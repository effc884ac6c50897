#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Turns each of count delegated-plotting passwords into its key with deriveKey: the i-th given
// password when there is one, otherwise one typed twice on in (echo off while typing when in is
// a terminal). Prompts go to out. A retyped password that differs writes
// "ERROR: Password mismatch" to err and returns false.
bool PromptDelegatedPasswords(const std::vector<std::string>& given, uint32_t count, FILE* in,
                              FILE* out, FILE* err,
                              const std::function<void(const char* password)>& deriveKey);
