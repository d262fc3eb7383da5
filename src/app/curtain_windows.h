#pragma once

#include <QObject>
#include <QRect>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/host/privacy_curtain.h"

namespace quorvanta {

class CurtainWindow;
class CurtainStacking;

// The curtain's windows, one per screen, on the GUI thread. Windows are made only by prepare()
// and kept for later: a window whose screen went away or changed its frame is taken off screen
// and dropped from the list, and destroyed with this object. While on screen they are kept above
// every other window (see CurtainStacking).
class CurtainWindows : public QObject {
  Q_OBJECT

 public:
  // The frames of the screens to cover, in the system's order.
  using ScreenFrames = std::function<std::vector<QRect>()>;

  // `frames`: where the screens are; by default the application's screens.
  explicit CurtainWindows(ScreenFrames frames = {}, QObject* parent = nullptr);
  ~CurtainWindows() override;

  // Makes the list match the screens (reusing windows by frame), every window in front and
  // those that were off screen transparent; returns the X window IDs.
  std::vector<std::uint32_t> prepare();
  void reveal();
  void hide();

  const std::vector<CurtainWindow*>& windows() const { return windows_; }
  std::vector<std::uint32_t> windowIDs() const;

  // Any thread: runs `job` on this object's thread soon. Jobs still waiting when this object is
  // destroyed are dropped without running.
  void post(std::function<void()> job);

 private:
  Q_INVOKABLE void runPosted();

  std::mutex jobsLock_;
  std::deque<std::function<void()>> jobs_;  // guarded by jobsLock_
  ScreenFrames frames_;
  std::vector<CurtainWindow*> windows_;
  std::vector<std::unique_ptr<CurtainWindow>> all_;
  std::unique_ptr<CurtainStacking> stacking_;
};

// The curtain as the host sees it: every call is carried to the GUI thread and returns once it
// has been done there. The GUI thread never waits for the host thread, so this cannot deadlock.
// After detach() (or once the windows are gone) every call does nothing, also one that is
// already waiting: the GUI drops its pending work when the windows are destroyed.
class CurtainBridge final : public PrivacyCurtain {
 public:
  explicit CurtainBridge(CurtainWindows* windows);

  std::vector<std::uint32_t> prepare() override;
  void reveal() override;
  void hide() override;

  // Called on the GUI thread before the windows are destroyed.
  void detach();

 private:
  template <typename Result, typename Action>
  Result call(Action action);

  std::mutex lock_;
  CurtainWindows* windows_;  // guarded by lock_
};

}  // namespace quorvanta
