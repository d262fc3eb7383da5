#include "core/util/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <vector>

#include "core/util/quorvanta_error.h"
#include "core/util/unique_fd.h"

namespace quorvanta {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void throwFileError(const std::string& what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The value of an XDG variable when it is usable: set and absolute.
std::optional<fs::path> absoluteFromEnvironment(const char* name) {
  // The environment is only read; this program never changes its own environment.
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr || *value == '\0') return std::nullopt;
  fs::path path(value);
  if (!path.is_absolute()) return std::nullopt;
  return path;
}

mode_t modeBits(fs::perms mode) {
  return static_cast<mode_t>(mode & fs::perms::mask);
}

void writeAll(int fd, std::span<const std::uint8_t> bytes, const fs::path& path) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t result = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (result < 0) {
      if (errno == EINTR) continue;
      throwFileError("Could not write the file", path, errno);
    }
    written += static_cast<std::size_t>(result);
  }
}

// Removes a temporary file unless the operation that made it completed.
class TemporaryFile {
 public:
  explicit TemporaryFile(fs::path path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!committed_) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  void commit() { committed_ = true; }

 private:
  fs::path path_;
  bool committed_ = false;
};

}  // namespace

fs::path homeDirectory() {
  if (auto home = absoluteFromEnvironment("HOME")) return *home;
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
  passwd entry{};
  passwd* found = nullptr;
  int error = 0;
  while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (std::size_t{1} << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error == 0 && found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return fs::path(found->pw_dir);
  }
  throw QuorvantaError("The home directory of this user could not be found.");
}

fs::path dataDirectory() {
  const auto base = absoluteFromEnvironment("XDG_DATA_HOME");
  return (base ? *base : homeDirectory() / ".local" / "share") / "Quorvanta";
}

fs::path configDirectory() {
  const auto base = absoluteFromEnvironment("XDG_CONFIG_HOME");
  return (base ? *base : homeDirectory() / ".config") / "quorvanta";
}

fs::path runtimeDirectory() {
  if (auto base = absoluteFromEnvironment("XDG_RUNTIME_DIR")) return *base / "quorvanta";
  // Not in the shared /tmp, where another user could make the directory first.
  if (auto cache = absoluteFromEnvironment("XDG_CACHE_HOME")) return *cache / "quorvanta";
  return homeDirectory() / ".cache" / "quorvanta";
}

void createDirectories(const fs::path& directory, fs::perms mode) {
  if (directory.empty()) throwFileError("Could not create the directory", directory, ENOENT);
  fs::path current = directory.has_filename() ? directory : directory.parent_path();
  std::vector<fs::path> missing;
  while (true) {
    struct stat status {};
    if (::stat(current.c_str(), &status) == 0) {
      if (!S_ISDIR(status.st_mode)) throwFileError("Could not create the directory", current, ENOTDIR);
      break;
    }
    if (errno != ENOENT) throwFileError("Could not create the directory", current, errno);
    missing.push_back(current);
    fs::path parent = current.parent_path();
    if (parent.empty() || parent == current) break;
    current = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), modeBits(mode)) != 0) {
      const int error = errno;
      struct stat status {};
      // Someone else made it meanwhile: fine, as for any existing directory.
      if (error == EEXIST && ::stat(it->c_str(), &status) == 0 && S_ISDIR(status.st_mode)) continue;
      throwFileError("Could not create the directory", *it, error);
    }
    // mkdir() applies the umask; the caller asked for exactly `mode`.
    if (::chmod(it->c_str(), modeBits(mode)) != 0) {
      throwFileError("Could not set the permissions of the directory", *it, errno);
    }
  }
}

std::string temporaryPatternBeside(const fs::path& path) {
  // Built by appending: prepending with operator+ inserts at the front, which GCC 12 at -O3
  // misreads as an overlapping copy (a false -Wrestrict).
  std::string name = ".";
  name += path.filename().native();
  name += ".XXXXXX";
  const fs::path directory = path.parent_path();
  return (directory.empty() ? fs::path(name) : directory / name).native();
}

void writeFileAtomically(const fs::path& path, std::span<const std::uint8_t> bytes, fs::perms mode) {
  fs::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  std::string pattern = temporaryPatternBeside(path);
  UniqueFd file(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!file) throwFileError("Could not create a temporary file", path, errno);
  TemporaryFile temporary{fs::path(pattern)};

  writeAll(file.get(), bytes, path);
  if (::fchmod(file.get(), modeBits(mode)) != 0)
    throwFileError("Could not set the file's permissions", path, errno);
  if (::fsync(file.get()) != 0) throwFileError("Could not write the file", path, errno);
  // close() is where some file systems report a failed write.
  if (::close(file.release()) != 0) throwFileError("Could not write the file", path, errno);
  if (::rename(pattern.c_str(), path.c_str()) != 0) throwFileError("Could not replace the file", path, errno);
  temporary.commit();
  syncToDisk(directory);
}

std::string readFile(const fs::path& path, std::size_t maxBytes) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) throwFileError("Could not read the file", path, errno);
  std::string contents;
  char buffer[16384];
  while (true) {
    const ssize_t result = ::read(file.get(), buffer, sizeof buffer);
    if (result < 0) {
      if (errno == EINTR) continue;
      throwFileError("Could not read the file", path, errno);
    }
    if (result == 0) return contents;
    if (static_cast<std::size_t>(result) > maxBytes - contents.size()) {
      throwFileError("Could not read the file", path, EFBIG);
    }
    contents.append(buffer, static_cast<std::size_t>(result));
  }
}

void syncToDisk(const fs::path& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) throwFileError("Could not open for flushing to disk", path, errno);
  if (::fsync(file.get()) != 0) throwFileError("Could not flush to disk", path, errno);
}

}  // namespace quorvanta
