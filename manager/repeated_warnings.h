#pragma once

#include <map>
#include <string>

// Keeps a scan from printing the same complaint about the same path on every rescan: a text is
// printed when its subject had no complaint in the previous scan or had a different one.
class RepeatedWarnings {
 public:
  void BeginScan();
  // Whether `text`, the complaint about `subject` in this scan, is to be printed.
  bool ShouldPrint(const std::string& subject, const std::string& text);
  // Forgets the subjects this scan had nothing to say about, so a complaint that comes back
  // later is printed again.
  void EndScan();

 private:
  struct Entry {
    std::string text;
    bool seen = false;
  };
  std::map<std::string, Entry> entries_;
};
