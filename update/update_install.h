#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>

// Creates the download folder with mode 0700, or accepts it when it already is a real directory
// (not a symbolic link) owned by this user and closed to everyone else; otherwise throws, since
// another local user could have planted files in it.
void PrepareDownloadFolder(const std::filesystem::path& folder);

// The install runs on the pool client's thread: a self-test that hangs must not stop the
// pool session for good.
constexpr std::chrono::milliseconds kSelfTestLimit = std::chrono::seconds(120);

// Installs the update in `archive` for the executable at `executablePath`:
// - unpacks it into a new randomly named folder below `downloadFolder` (removed afterwards),
// - finds the folder for this system ("linux", "linux_x64" or "linux_amd64"),
// - runs its executable of the same file name with "--internal-tests" and requires exit code 0
//   within `selfTestLimit`,
// - copies its regular files and folders into the executable's folder; a file that exists
//   there is first moved to the backup folder "autoupdate_backup_%y%m%d%I%M%S" (local
//   `backupTime`) next to it.
// Throws std::runtime_error with the reason; files replaced before a failure stay replaced.
// Never changes the working directory.
void InstallUpdate(const std::filesystem::path& archive,
                   const std::filesystem::path& downloadFolder,
                   const std::filesystem::path& executablePath, std::time_t backupTime,
                   std::chrono::milliseconds selfTestLimit = kSelfTestLimit);

// Runs `executable` with the single argument "--internal-tests" (no shell) and waits for it at
// most `limit`, then kills it; true when it exits with code 0 in time.
bool PassesSelfTest(const std::filesystem::path& executable, std::chrono::milliseconds limit);
