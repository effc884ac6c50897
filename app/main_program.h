#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/settings_folder.h"
#include "manager/client.h"

class Updater;

// The services the run of the program uses; the executable wires the real ones
// (RealMainServices), tests their stand-ins.
struct MainServices {
  unsigned hardwareThreads = 0;
  // The plot scale this executable was built with: production in the release build.
  PlotScale scale{};
  std::function<void()> installSignalHandlers;
  // Asks a Client that was built after a signal came to save and stop (called with 0).
  std::function<void(int signal)> secondInterrupt;
  std::function<void()> selfTest;
  // Derives, keeps and prints the key of one delegated-plotting password.
  std::function<void(const char* password)> deriveDelegatedKey;
  EnvironmentLookup environment;
  std::function<std::filesystem::path()> executablePath;
  std::function<void(const std::filesystem::path& folder)> loadSettings;
  std::function<std::unique_ptr<Client>(const ClientConfig& config,
                                        const DirectorySpec* directories, size_t count,
                                        ClientLogCallback log)>
      makeClient;
  std::function<void()> poolClient;
  std::function<void(std::chrono::milliseconds)> sleep;
  Updater* theUpdater = nullptr;
  FILE* in = stdin;
  FILE* out = stdout;
  FILE* err = stderr;
};

MainServices RealMainServices(const PlotScale& scale = PlotScale::Production());

// The whole run of the program, returning its exit status: 0 after a normal end, -h or a
// passed self-test; 1 after an error, a password mismatch or a query; 747 when an update was
// installed and no stop was requested, so that the exit-time code starts the new version.
int RunMain(int argc, char** argv, const MainServices& services);
