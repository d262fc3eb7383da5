#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quorvanta {

// The name given to a computer that has none.
inline constexpr std::string_view kUnnamedComputerName = "My Mac";

// The name this computer shows to devices it invites: the pretty host name from `machineInfo`
// (the PRETTY_HOSTNAME entry of systemd's machine-info file), else the host name (gethostname(),
// then /etc/hostname), else kUnnamedComputerName. Never throws.
std::string computerName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// The choice above from its sources: `machineInfoText` is the machine-info file's contents (or
// nothing when it cannot be read), `hostName` the host name ("" when there is none). A name must
// be valid UTF-8 and contain something other than white space; the host name "(none)" is the
// kernel's text for an unset name and counts as none.
std::string chooseComputerName(const std::optional<std::string>& machineInfoText, std::string_view hostName);

// The value of PRETTY_HOSTNAME in a machine-info file, or nothing when there is none. The file is
// a list of KEY=VALUE lines in shell style: blank lines and lines starting with "#" or ";" are
// ignored; a value may be quoted with double quotes (in which a backslash escapes the next
// character) or single quotes (taken literally); outside quotes a backslash escapes the next
// character and white space at the ends is dropped; a backslash before a line break joins the
// lines. When the key appears twice the later line counts; a value with an unterminated quote
// is ignored.
std::optional<std::string> prettyHostNameFromMachineInfo(std::string_view text);

}  // namespace quorvanta
