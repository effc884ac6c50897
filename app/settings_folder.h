#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// Looks an environment variable up; null when it is not set.
using EnvironmentLookup = std::function<const char*(const char* name)>;

// The folder of the settings files: the -s text when given; otherwise
// $XDG_CONFIG_HOME/VarnokChiaPool or $HOME/.config/VarnokChiaPool (each only when the variable
// names something that exists), else the executable's folder, else the working directory. An
// error on the way (a status check, the executable's path) gives the empty path.
std::filesystem::path ChooseSettingsFolder(
    const std::optional<std::string>& option, const EnvironmentLookup& environment,
    const std::function<std::filesystem::path()>& executablePath);
