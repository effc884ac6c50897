#include "manager/distinct_directories.h"

#include <sys/stat.h>

#include <map>
#include <stdexcept>
#include <string>
#include <utility>

void CheckDistinctDirectories(const std::vector<DirectorySpec>& directories) {
  std::map<std::pair<dev_t, ino_t>, const DirectorySpec*> seen;
  for (const DirectorySpec& spec : directories) {
    struct stat info {};
    if (::stat(spec.path.c_str(), &info) != 0) continue;
    const auto [it, added] = seen.emplace(std::make_pair(info.st_dev, info.st_ino), &spec);
    if (added) continue;
    throw std::runtime_error("Directory \"" + spec.path.string() +
                             "\" is the same directory as \"" + it->second->path.string() +
                             "\", specify each directory only once");
  }
}
