#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quorvanta {

// The file name of the host's autostart entry: the application identifier plus ".desktop".
inline constexpr std::string_view kAutostartEntryName = "app.quorvanta.host.desktop";

// Opening the host at login, through an XDG autostart entry (a desktop entry file in the user's
// autostart directory, which desktop sessions start at login).
class LoginItem {
 public:
  // `executable` is the absolute path of the host program that the entry starts. The entry lives
  // in `autostartDirectory`.
  explicit LoginItem(std::filesystem::path executable,
                     std::filesystem::path autostartDirectory = defaultAutostartDirectory());

  // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart (the same base directory rules as
  // configDirectory()).
  static std::filesystem::path defaultAutostartDirectory();

  [[nodiscard]] std::filesystem::path entryPath() const { return directory_ / kAutostartEntryName; }

  // True when the entry exists and its [Desktop Entry] group neither hides it (Hidden=true) nor
  // turns it off (X-GNOME-Autostart-enabled=false). Never throws: an unreadable entry counts as
  // off.
  [[nodiscard]] bool isEnabled() const;

  // Writes the entry (true) or removes it (false; an absent entry is already off). The entry is
  // written atomically, replacing any earlier one. Throws QuorvantaError:
  //   "Quorvanta Host could not be set to open at login." when the entry cannot be written or
  //   the executable is not an absolute path that a desktop entry can hold;
  //   "Quorvanta Host could not stop opening at login." when the entry cannot be removed;
  //   a sentence beginning "Quorvanta Host could not be set to open at login: " when the program
  //   file no longer exists (deleted or replaced) or it, or a directory above it, can be changed
  //   by other users (a build tree in /tmp, say).
  void setEnabled(bool enabled);

  // The text of the entry that setEnabled(true) writes, or "" when `executable` cannot be written
  // in an Exec line (not absolute, or holding a control character or invalid UTF-8).
  static std::string entryText(const std::filesystem::path& executable);

 private:
  std::filesystem::path executable_;
  std::filesystem::path directory_;
};

}  // namespace quorvanta
