#pragma once

#include <exception>
#include <string>

// The text of what `call` throws (of type E), or "no exception".
template <typename E = std::exception, typename F>
std::string ThrownText(F&& call) {
  try {
    call();
  } catch (const E& error) {
    return error.what();
  }
  return "no exception";
}
