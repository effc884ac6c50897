#include "update/update_install.h"

#include <openssl/rand.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "chia/openssl_error.h"
#include "runtime/text_utils.h"
#include "update/update_archive.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ThrowSystemError(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

fs::path MakeUnpackFolder(const fs::path& downloadFolder) {
  std::array<uint8_t, 4> random{};
  if (RAND_bytes(random.data(), random.size()) != 1) ThrowOpenSslError();
  // Canonical, so the extraction's symbolic-link check sees no link in the folder's own path.
  const fs::path folder = fs::canonical(downloadFolder) / ToHexLower(random.data(), random.size());
  if (::mkdir(folder.c_str(), 0700) != 0)
    ThrowSystemError("Can't create \"" + folder.string() + "\"");
  return folder;
}

class RemovedAtEnd {
 public:
  explicit RemovedAtEnd(fs::path path) : path_(std::move(path)) {}
  ~RemovedAtEnd() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  RemovedAtEnd(const RemovedAtEnd&) = delete;
  RemovedAtEnd& operator=(const RemovedAtEnd&) = delete;

 private:
  fs::path path_;
};

bool IsRealDirectory(const fs::directory_entry& entry) {
  return entry.symlink_status().type() == fs::file_type::directory;
}

std::optional<fs::path> FindSystemFolder(const fs::path& root) {
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (!IsRealDirectory(entry)) continue;
    const fs::path name = entry.path().filename();
    for (const char* wanted : {"linux", "linux_x64", "linux_amd64"}) {
      if (name == wanted) return entry.path();
    }
  }
  return std::nullopt;
}

std::string BackupFolderName(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char name[80];
  const size_t length = std::strftime(name, sizeof name, "autoupdate_backup_%y%m%d%I%M%S", &local);
  return std::string(name, length);
}

// Links and special files from the archive are never installed.
void CopyIntoExecutableFolder(const fs::path& source, const fs::path& target,
                              const fs::path& backup) {
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(source)) {
    const fs::path relative = entry.path().lexically_relative(source);
    const fs::path installed = target / relative;
    const fs::file_type type = entry.symlink_status().type();
    if (type == fs::file_type::directory) {
      fs::create_directories(installed);
    } else if (type == fs::file_type::regular) {
      // Moved aside rather than overwritten: a running executable cannot be opened for writing.
      if (fs::exists(fs::symlink_status(installed))) {
        fs::create_directories((backup / relative).parent_path());
        fs::rename(installed, backup / relative);
      }
      fs::copy_file(entry.path(), installed, fs::copy_options::overwrite_existing);
    }
  }
}

}  // namespace

void PrepareDownloadFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0) return;
  if (errno != EEXIST) ThrowSystemError("Can't create \"" + folder.string() + "\"");
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0)
    ThrowSystemError("Can't inspect \"" + folder.string() + "\"");
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
    throw std::runtime_error("Download folder \"" + folder.string() +
                             "\" is not a private folder of this user");
  }
}

bool PassesSelfTest(const fs::path& executable, std::chrono::milliseconds limit) {
  std::string program = executable.string();
  std::string option = "--internal-tests";
  char* const argv[] = {program.data(), option.data(), nullptr};
  pid_t pid = 0;
  const int failed = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (failed != 0) {
    errno = failed;
    ThrowSystemError("Can't start \"" + program + "\"");
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno != EINTR) ThrowSystemError("Can't wait for \"" + program + "\"");
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return false;
}

void InstallUpdate(const fs::path& archive, const fs::path& downloadFolder,
                   const fs::path& executablePath, std::time_t backupTime,
                   std::chrono::milliseconds selfTestLimit) {
  const fs::path unpacked = MakeUnpackFolder(downloadFolder);
  const RemovedAtEnd removeUnpacked(unpacked);
  ExtractUpdateArchive(archive, unpacked);

  const std::optional<fs::path> systemFolder = FindSystemFolder(unpacked);
  if (!systemFolder) throw std::runtime_error("Can't find OS specific directory in update");
  const fs::path executable = *systemFolder / executablePath.filename();
  // A link could point at any program on this system.
  if (fs::symlink_status(executable).type() != fs::file_type::regular ||
      !PassesSelfTest(executable, selfTestLimit)) {
    throw std::runtime_error("Tests fail");
  }
  const fs::path executableFolder = executablePath.parent_path();
  CopyIntoExecutableFolder(*systemFolder, executableFolder,
                           executableFolder / BackupFolderName(backupTime));
}
