#include "manager/repeated_warnings.h"

void RepeatedWarnings::BeginScan() {
  for (auto& [subject, entry] : entries_) entry.seen = false;
}

bool RepeatedWarnings::ShouldPrint(const std::string& subject, const std::string& text) {
  Entry& entry = entries_[subject];
  entry.seen = true;
  if (entry.text == text) return false;
  entry.text = text;
  return true;
}

void RepeatedWarnings::EndScan() {
  std::erase_if(entries_, [](const auto& item) { return !item.second.seen; });
}
