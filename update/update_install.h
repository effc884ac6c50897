#pragma once

#include <ctime>
#include <filesystem>
#include <string>

// Creates the download folder with mode 0700, or accepts it when it already is a real directory
// (not a symbolic link) owned by this user and closed to everyone else; otherwise throws, since
// another local user could have planted files in it.
void PrepareDownloadFolder(const std::filesystem::path& folder);

// Installs the update in `archive` for the executable at `executablePath`:
// - unpacks it into a new randomly named folder below `downloadFolder` (removed afterwards),
// - finds the folder for this system ("linux", "linux_x64" or "linux_amd64"),
// - runs its executable of the same file name with "--internal-tests" and requires exit code 0,
// - copies its regular files and folders into the executable's folder; a file that exists
//   there is first moved to the backup folder "autoupdate_backup_%y%m%d%I%M%S" (local
//   `backupTime`) next to it.
// Throws std::runtime_error with the reason; files replaced before a failure stay replaced.
// Never changes the working directory.
void InstallUpdate(const std::filesystem::path& archive,
                   const std::filesystem::path& downloadFolder,
                   const std::filesystem::path& executablePath, std::time_t backupTime);

// Runs `executable` with the single argument "--internal-tests" (no shell) and waits for it;
// true when it exits with code 0.
bool PassesSelfTest(const std::filesystem::path& executable);
