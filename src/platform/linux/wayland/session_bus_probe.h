#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/wayland/desktop_backend.h"

namespace quorvanta::wayland {

// Asks the session bus named by the environment for the interfaces' "Version" ("version" on the
// portal) properties, each call bounded by `timeout`. A bus that cannot be reached answers nothing.
class SessionBusProbe final : public BusProbe {
 public:
  explicit SessionBusProbe(std::string address,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  ~SessionBusProbe() override;
  SessionBusProbe(const SessionBusProbe&) = delete;
  SessionBusProbe& operator=(const SessionBusProbe&) = delete;

  std::optional<unsigned> mutterRemoteDesktopVersion() override;
  std::optional<unsigned> mutterScreenCastVersion() override;
  std::optional<unsigned> portalScreenCastVersion() override;
  std::optional<unsigned> portalRemoteDesktopVersion() override;

 private:
  std::optional<unsigned> version(const char* service, const char* path, const char* interface,
                                  const char* property);

  struct Connection;
  std::unique_ptr<Connection> connection_;
  std::chrono::milliseconds timeout_;
};

// The backend for the session this process runs in: its environment, then its session bus.
BackendChoice chooseSessionBackend();

}  // namespace quorvanta::wayland
