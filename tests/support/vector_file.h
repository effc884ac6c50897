#pragma once

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/whole_file.h"

// A known-answer file beside the tests: one record a line of space-separated name=value fields;
// lines starting with '#' are comments.
using VectorRecord = std::map<std::string, std::string>;

inline std::vector<VectorRecord> LoadVectorFile(const std::string& name) {
  std::istringstream lines(ReadTextFile(std::string(VARNOK_VECTORS_DIR) + "/" + name));
  std::vector<VectorRecord> records;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    VectorRecord& record = records.emplace_back();
    std::istringstream fields(line);
    for (std::string field; fields >> field;) {
      const size_t equals = field.find('=');
      if (equals == std::string::npos)
        throw std::runtime_error("bad field " + field + " in " + name);
      record[field.substr(0, equals)] = field.substr(equals + 1);
    }
  }
  return records;
}
