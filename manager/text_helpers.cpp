#include "manager/text_helpers.h"

#include <exception>

std::string PathStem(std::filesystem::path path) {
  std::string stem = path.stem().string();
  if (stem.size() > 8) stem = stem.substr(0, 4) + "..." + stem.substr(stem.size() - 4);
  path.replace_filename(stem + path.extension().string());
  return path.string();
}

std::string FormatDuration(uint64_t seconds) {
  std::string text = std::to_string(seconds % 60) + "s";
  const uint64_t minutes = seconds / 60 % 60;
  const uint64_t hours = seconds / 3600;
  if (minutes != 0 || hours != 0) text = std::to_string(minutes) + "m " + text;
  if (hours != 0) text = std::to_string(hours) + "h " + text;
  return text;
}

bool StringEndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string FailureText(const std::string& prefix) {
  try {
    throw;
  } catch (const std::exception& error) {
    return prefix + ": " + error.what();
  } catch (...) {
    return prefix;
  }
}
