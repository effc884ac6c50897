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
  unsigned HardwareThreads = 0;
  // The plot scale this executable was built with: production in the release build.
  PlotScale Scale{};
  std::function<void()> InstallSignalHandlers;
  // Asks a Client that was built after a signal came to save and stop (called with 0).
  std::function<void(int signal)> SecondInterrupt;
  std::function<void()> SelfTest;
  // Derives, keeps and prints the key of one delegated-plotting password.
  std::function<void(const char* password)> DeriveDelegatedKey;
  EnvironmentLookup Environment;
  std::function<std::filesystem::path()> ExecutablePath;
  std::function<void(const std::filesystem::path& folder)> LoadSettings;
  std::function<std::unique_ptr<Client>(const ClientConfig& config,
                                        const DirectorySpec* directories, size_t count,
                                        ClientLogCallback log)>
      MakeClient;
  std::function<void()> PoolClient;
  std::function<void(std::chrono::milliseconds)> Sleep;
  Updater* TheUpdater = nullptr;
  FILE* In = stdin;
  FILE* Out = stdout;
  FILE* Err = stderr;
};

MainServices RealMainServices(const PlotScale& scale = PlotScale::Production());

// The whole run of the program, returning its exit status: 0 after a normal end, -h or a
// passed self-test; 1 after an error, a password mismatch or a query; 747 when an update was
// installed and no stop was requested, so that the exit-time code starts the new version.
int RunMain(int argc, char** argv, const MainServices& services);
