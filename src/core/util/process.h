#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvanta {

struct ProcessOptions {
  enum class StandardError {
    mergeWithOutput,  // the child's stderr shares the output pipe with its stdout
    discard,          // the child's stderr goes to /dev/null
  };

  // Written to the child's standard input, which is then closed. Without it the child's
  // standard input is closed at once (it reads end of file). A child that exits or closes its
  // input before reading everything is not an error.
  std::optional<std::string> standardInput;
  StandardError standardError = StandardError::mergeWithOutput;
  // Added to this process's environment for the child; a name that is already set is replaced.
  std::vector<std::pair<std::string, std::string>> environment;
  // Look `executable` up in the directories of $PATH when it has no slash. Only absolute
  // entries count: an empty or relative entry would run whatever the current directory holds.
  bool searchPath = false;
  // A child still running after this many seconds is killed with its process group; 0: no limit.
  double timeLimit = 30;
  // A child that prints more than this many bytes is killed with its process group.
  std::size_t outputLimit = std::size_t{64} << 20;
};

struct ProcessResult {
  // The exit code, or 128 + the signal number when a signal ended the child.
  int exitStatus = 0;
  // Everything the child wrote to standard output (and standard error when merged), unchanged.
  std::string output;
};

// Runs `executable` with `arguments` (not including argv[0], which is `executable`) directly,
// without a shell, and waits for it: the input is written while the output is read, so neither
// side can block the other, then the child is reaped.
//
// The child inherits no descriptor beyond its standard input, output and error, and runs in a
// process group of its own, so that nothing it starts outlives a kill.
//
// Throws std::system_error with the system's error code when the child cannot be started (for
// example ENOENT for a missing executable) or when its pipes fail; ETIMEDOUT when it outlived
// `timeLimit` and EFBIG when it printed more than `outputLimit` (it has been killed then).
//
// SIGPIPE: a child that stops reading its input must not kill this process. The runner blocks
// SIGPIPE in the calling thread while it writes (EPIPE is then returned instead), discards a
// SIGPIPE that the write raised, and restores the thread's signal mask; the process-wide
// disposition is never changed. The child starts with an empty signal mask and SIGPIPE at its
// default action.
ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

}  // namespace quorvanta
