#include "core/trust/file_secure_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/util/paths.h"
#include "core/util/unique_fd.h"

namespace quorvanta {
namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
// Credential files end in this suffix; temporary files start with a dot, which Base64url never
// produces, so the two can never be confused.
constexpr const char* kFileSuffix = ".credential";

[[noreturn]] void throwErrno(int error) {
  // A failed call that left errno at 0 still has to report a positive number.
  throw storageError(error > 0 ? error : EIO);
}

[[noreturn]] void throwErrno() {
  throwErrno(errno);
}

void writeAll(int fd, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throwErrno();
    }
    data = data.subspan(static_cast<std::size_t>(written));
  }
}

Bytes readAll(int fd) {
  Bytes bytes;
  std::uint8_t buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno();
    }
    if (count == 0) return bytes;
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
}

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

FileSecureStore::FileSecureStore(std::filesystem::path credentialsDirectory)
    : directory_(std::move(credentialsDirectory)) {}

std::filesystem::path FileSecureStore::fileFor(const std::string& account) const {
  return directory_ / (base64UrlEncode(asBytes(account)) + kFileSuffix);
}

std::optional<Bytes> FileSecureStore::read(const std::string& account, bool /*allowInteraction*/) {
  const std::filesystem::path file = fileFor(account);
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    if (errno == ENOENT) return std::nullopt;
    throwErrno();
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) throwErrno();
  if (S_ISDIR(status.st_mode)) throwErrno(EISDIR);
  if (!S_ISREG(status.st_mode)) throwErrno(EINVAL);
  return readAll(fd.get());
}

void FileSecureStore::write(std::span<const std::uint8_t> data, const std::string& account) {
  prepareDirectory();
  const std::filesystem::path file = fileFor(account);

  std::string pattern = temporaryPatternBeside(file);
  const UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) throwErrno();
  TemporaryFile temporary(pattern);

  // mkostemp creates the file 0600 already; say so explicitly rather than rely on it.
  if (::fchmod(fd.get(), kFileMode) != 0) throwErrno();
  writeAll(fd.get(), data);
  if (::fsync(fd.get()) != 0) throwErrno();
  if (::rename(temporary.path().c_str(), file.c_str()) != 0) throwErrno();
  temporary.keep();

  // The rename is durable only once the directory entry is on disk.
  const UniqueFd directory(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) throwErrno();
  if (::fsync(directory.get()) != 0) throwErrno();
}

void FileSecureStore::prepareDirectory() const {
  const std::filesystem::path parent = directory_.parent_path();
  if (!parent.empty()) {
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (error) throwErrno(error.value());
  }
  if (::mkdir(directory_.c_str(), kDirectoryMode) != 0 && errno != EEXIST) throwErrno();

  struct stat status {};
  if (::lstat(directory_.c_str(), &status) != 0) throwErrno();
  if (!S_ISDIR(status.st_mode)) throwErrno(ENOTDIR);
  // An existing directory that others may read (or that the umask left narrower) is set to
  // exactly 0700.
  if ((status.st_mode & 07777) != kDirectoryMode && ::chmod(directory_.c_str(), kDirectoryMode) != 0)
    throwErrno();
}

bool FileSecureStore::holdsCredentials() const {
  std::error_code error;
  for (std::filesystem::directory_iterator it(directory_, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().extension() == kFileSuffix) return true;
  }
  return false;
}

}  // namespace quorvanta
