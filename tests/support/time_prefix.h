#pragma once

#include <optional>
#include <sstream>
#include <string>
#include <vector>

// Whether text starts with a log line's "HH:MM:SS " prefix.
inline bool HasTimePrefix(const std::string& text) {
  if (text.size() < 9 || text[2] != ':' || text[5] != ':' || text[8] != ' ') return false;
  for (int i : {0, 1, 3, 4, 6, 7}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return (text[0] - '0') * 10 + (text[1] - '0') < 24 && text[3] < '6' && text[6] <= '6';
}

// The text of a log line after its time prefix, so that a missing prefix fails a comparison.
inline std::string LoggedText(const std::optional<std::string>& line) {
  if (!line) return "<no line>";
  if (!HasTimePrefix(*line)) return "<no time prefix> " + *line;
  return line->substr(9);
}

// The line with its time prefix, if it has one, shown as "<time> ".
inline std::string MarkTime(const std::optional<std::string>& line) {
  if (!line) return "<no line>";
  return HasTimePrefix(*line) ? "<time> " + line->substr(9) : *line;
}

// The lines of the text, each through MarkTime.
inline std::vector<std::string> MarkTimes(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(MarkTime(line));
  return lines;
}
