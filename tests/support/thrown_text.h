#pragma once

#include <exception>
#include <string>

// The text of what `call` throws, or "no exception".
template <typename F>
std::string ThrownText(F&& call) {
  try {
    call();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no exception";
}
