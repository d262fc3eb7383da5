#pragma once

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <functional>
#include <vector>

namespace quorvanta {

// Keeps the curtain's windows above every other top-level window while they are shown. Override-
// redirect windows (notification popups, menus, tooltips) go on top when they are mapped, and
// other clients may raise their windows at any time; each such change of the root's stacking
// order puts the curtain's windows back on top. Installed on the application's X connection; on
// other platforms it does nothing.
class CurtainStacking final : public QAbstractNativeEventFilter {
 public:
  // `shown`: the IDs of the curtain windows that are on screen now (none: nothing to keep up).
  explicit CurtainStacking(std::function<std::vector<std::uint32_t>()> shown);
  ~CurtainStacking() override;
  CurtainStacking(const CurtainStacking&) = delete;
  CurtainStacking& operator=(const CurtainStacking&) = delete;

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

  // Puts the shown windows on top, in their order.
  void restack();

 private:
  std::function<std::vector<std::uint32_t>()> shown_;
  bool installed_ = false;
};

}  // namespace quorvanta
