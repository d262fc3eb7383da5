#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quorvanta {

// The user's home directory: $HOME when it is an absolute path, else the password database entry
// of the real user. Throws QuorvantaError when neither gives one.
std::filesystem::path homeDirectory();

// $XDG_DATA_HOME/Quorvanta, or ~/.local/share/Quorvanta. Following the XDG base directory rules,
// a variable that is unset, empty or not an absolute path is ignored. Nothing is created.
std::filesystem::path dataDirectory();
// $XDG_CONFIG_HOME/quorvanta, or ~/.config/quorvanta. Nothing is created.
std::filesystem::path configDirectory();
// $XDG_RUNTIME_DIR/quorvanta, or where the session has no runtime directory the user's own
// $XDG_CACHE_HOME/quorvanta (~/.cache/quorvanta), never a directory that other users can write
// to. Nothing is created; whoever creates it makes it 0700.
std::filesystem::path runtimeDirectory();

// Creates `directory` and each missing parent with the permissions `mode` (exactly, whatever the
// umask). Directories that already exist are kept as they are. Throws std::filesystem_error.
void createDirectories(const std::filesystem::path& directory, std::filesystem::perms mode);

// Replaces `path` with `bytes` so that a reader sees either the old or the new contents: the
// bytes go to a temporary file in the same directory, which is flushed to disk, given `mode`
// and renamed over `path`; the directory is then flushed as well. On failure the temporary file
// is removed and std::filesystem_error is thrown.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::filesystem::perms mode);

// The mkstemp() template for a temporary file beside `path`: "DIRECTORY/.NAME.XXXXXX".
std::string temporaryPatternBeside(const std::filesystem::path& path);

// The whole contents of a regular file. Throws std::filesystem_error when the file cannot be
// read or is larger than `maxBytes` (EFBIG).
std::string readFile(const std::filesystem::path& path, std::size_t maxBytes);

// Flushes a file or directory to disk (fsync). Throws std::filesystem_error.
void syncToDisk(const std::filesystem::path& path);

}  // namespace quorvanta
