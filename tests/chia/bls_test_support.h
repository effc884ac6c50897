#pragma once
// Helpers of the BLS tests.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace blstest {


// Runs the JavaScript oracle with the given arguments and returns its output lines.
inline std::vector<std::string> RunOracle(const std::string& script,
                                          const std::vector<std::string>& args) {
  std::string cmd = "node " + std::string(VARNOK_SOURCE_DIR) + "/tests/js/" + script;
  for (const auto& a : args) cmd += " " + a;
  SCOPED_TRACE("JavaScript oracle: are the node packages installed in " +
               std::string(VARNOK_NODE_MODULES) + "?");
  std::istringstream in(RunCommand(cmd));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> Split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

}  // namespace blstest
