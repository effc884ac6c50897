#pragma once

#include <functional>
#include <stdexcept>
#include <string>

// The text of the runtime_error that fn throws, or "" when it returns.
inline std::string ThrownText(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}
