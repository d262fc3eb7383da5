#include "core/util/executable_path.h"

#include <string>
#include <string_view>
#include <system_error>

namespace quorvanta {

namespace fs = std::filesystem;

fs::path runningExecutable() {
  std::error_code error;
  const fs::path target = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path{} : executableFromLink(target);
}

fs::path executableFromLink(const fs::path& target) {
  constexpr std::string_view kDeleted = " (deleted)";
  const std::string& text = target.native();
  std::error_code error;
  if (!text.ends_with(kDeleted) || fs::exists(target, error)) return target;
  return fs::path(text.substr(0, text.size() - kDeleted.size()));
}

}  // namespace quorvanta
