#include "app/settings_folder.h"

#include "runtime/version.h"

namespace {

// The variable's path when it is set and names something that exists.
std::optional<std::filesystem::path> ExistingPathOf(const EnvironmentLookup& environment,
                                                    const char* name) {
  const char* value = environment(name);
  if (value == nullptr) return std::nullopt;
  std::filesystem::path path(value);
  if (!std::filesystem::exists(path)) return std::nullopt;
  return path;
}

}  // namespace

std::filesystem::path ChooseSettingsFolder(
    const std::optional<std::string>& option, const EnvironmentLookup& environment,
    const std::function<std::filesystem::path()>& executablePath) {
  if (option) return *option;
  try {
    if (auto config = ExistingPathOf(environment, "XDG_CONFIG_HOME")) {
      return *config / kProgramName;
    }
    if (auto home = ExistingPathOf(environment, "HOME")) {
      return *home / ".config" / kProgramName;
    }
    const std::filesystem::path executable = executablePath();
    if (executable.empty()) return {};
    if (executable.has_parent_path()) return std::filesystem::canonical(executable.parent_path());
    return std::filesystem::current_path();
  } catch (...) {
    return {};
  }
}
