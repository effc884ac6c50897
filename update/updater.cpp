#include "update/updater.h"

#include <unistd.h>

#include <cstdio>

#include "runtime/path_utils.h"

Updater::Updater() : executablePath(GetExecutablePath().string()) {}

Updater::~Updater() {
  if (state != UpdaterState::Restart) return;
  std::puts("Running the updated version");
  std::fflush(stdout);
  std::vector<char*> argv;
  argv.reserve(savedArgs.size() + 1);
  for (std::string& arg : savedArgs) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execve(executablePath.c_str(), argv.data(), environ);
  std::perror("execve");  // the process goes on to a normal exit
}

void Updater::Step() {}

void Updater::StopSession() {
  std::lock_guard lock(mutex);
  session = nullptr;
  torrent = nullptr;
}

Updater& UpdaterInstance() {
  static Updater updater;
  return updater;
}
