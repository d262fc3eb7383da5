#pragma once

#include <filesystem>

namespace quorvanta {

// The absolute path of the program this process runs, or an empty path when /proc cannot say.
// When the program's file was replaced while it ran, as a package upgrade does, the path is that
// of the new program: the one a later start (an open-at-login entry, say) should run.
std::filesystem::path runningExecutable();

// What runningExecutable() makes of the target of /proc/self/exe: the kernel appends " (deleted)"
// to a program whose file is gone, and that suffix is dropped unless a file has that very name.
std::filesystem::path executableFromLink(const std::filesystem::path& target);

}  // namespace quorvanta
