#pragma once

#include <string>

// Whether text starts with a log line's "HH:MM:SS " prefix.
inline bool HasTimePrefix(const std::string& text) {
  if (text.size() < 9 || text[2] != ':' || text[5] != ':' || text[8] != ' ') return false;
  for (int i : {0, 1, 3, 4, 6, 7}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return (text[0] - '0') * 10 + (text[1] - '0') < 24 && text[3] < '6' && text[6] <= '6';
}
