#include "support/network_namespace.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>

#include "core/util/unique_fd.h"

namespace quorvanta::test {
namespace {

std::string systemText(int error) {
  return std::system_category().message(error);
}

void setName(ifreq& request, const std::string& name) {
  std::memset(&request, 0, sizeof request);
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
}

void setAddress(sockaddr& target, in_addr address) {
  sockaddr_in ipv4{};
  ipv4.sin_family = AF_INET;
  ipv4.sin_addr = address;
  std::memcpy(&target, &ipv4, sizeof ipv4);
}

// Adds `text` as alias "lo:<index>" with a /32 mask unless lo already carries it.
std::optional<std::string> addLoopbackAddress(int control, const std::string& text, int index) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return "not an IPv4 address: " + text;

  ifreq request{};
  setName(request, "lo:" + std::to_string(index));
  setAddress(request.ifr_addr, address);
  if (::ioctl(control, SIOCSIFADDR, &request) != 0)
    return "adding " + text + " to lo failed: " + systemText(errno);
  setName(request, "lo:" + std::to_string(index));
  in_addr mask{};
  mask.s_addr = INADDR_NONE;  // 255.255.255.255
  setAddress(request.ifr_netmask, mask);
  if (::ioctl(control, SIOCSIFNETMASK, &request) != 0)
    return "setting the mask of " + text + " failed: " + systemText(errno);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> enterPrivateNetworkNamespace(const std::vector<std::string>& addresses) {
  static std::mutex lock;
  static bool entered = false;
  static std::vector<std::string> added;
  std::lock_guard guard(lock);

  if (!entered) {
    if (::unshare(CLONE_NEWNET) != 0) {
      return "cannot make a private network namespace (needs root or CAP_SYS_ADMIN): " + systemText(errno);
    }
    entered = true;
  }

  UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!control) return "no control socket in the namespace: " + systemText(errno);

  ifreq request{};
  setName(request, "lo");
  if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) return "reading lo failed: " + systemText(errno);
  if (!(request.ifr_flags & IFF_UP)) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0)
      return "bringing lo up failed: " + systemText(errno);
  }

  for (const auto& address : addresses) {
    bool present = false;
    for (const auto& existing : added)
      present = present || existing == address;
    if (present) continue;
    if (auto problem = addLoopbackAddress(control.get(), address, static_cast<int>(added.size()) + 1))
      return problem;
    added.push_back(address);
  }
  return std::nullopt;
}

}  // namespace quorvanta::test
