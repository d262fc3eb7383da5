#include "app/curtain_windows.h"

#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <algorithm>
#include <future>
#include <type_traits>

#include "app/curtain_stacking.h"
#include "app/curtain_window.h"
#include "app/x11_window_shape.h"

namespace quorvanta {

namespace {

std::vector<QRect> applicationScreens() {
  std::vector<QRect> frames;
  for (QScreen* screen : QGuiApplication::screens())
    frames.push_back(screen->geometry());
  return frames;
}

}  // namespace

CurtainWindows::CurtainWindows(ScreenFrames frames, QObject* parent)
    : QObject(parent),
      frames_(frames ? std::move(frames) : ScreenFrames(applicationScreens)),
      stacking_(std::make_unique<CurtainStacking>([this] {
        std::vector<std::uint32_t> shown;
        for (const CurtainWindow* window : windows_) {
          if (window->isVisible()) shown.push_back(window->windowID());
        }
        return shown;
      })) {}

CurtainWindows::~CurtainWindows() {
  stacking_.reset();
  std::deque<std::function<void()>> dropped;
  std::lock_guard guard(jobsLock_);
  dropped.swap(jobs_);
}

void CurtainWindows::post(std::function<void()> job) {
  {
    std::lock_guard guard(jobsLock_);
    jobs_.push_back(std::move(job));
  }
  QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void CurtainWindows::runPosted() {
  std::deque<std::function<void()>> jobs;
  {
    std::lock_guard guard(jobsLock_);
    jobs.swap(jobs_);
  }
  for (auto& job : jobs)
    job();
}

std::vector<std::uint32_t> CurtainWindows::prepare() {
  std::vector<CurtainWindow*> old = windows_;
  std::vector<CurtainWindow*> next;
  for (const QRect& frame : frames_()) {
    const auto match =
        std::find_if(old.begin(), old.end(), [&](CurtainWindow* w) { return w->frame() == frame; });
    CurtainWindow* window = nullptr;
    if (match != old.end()) {
      window = *match;
      old.erase(match);
    } else {
      all_.push_back(std::make_unique<CurtainWindow>(frame));
      window = all_.back().get();
    }
    if (window->isVisible()) {
      window->raise();
    } else {
      window->prepare();
    }
    next.push_back(window);
  }
  for (CurtainWindow* gone : old)
    gone->takeOffScreen();
  windows_ = std::move(next);
  // The host hands the IDs to the capture next: the server knows every window by now.
  x11_shape::sync();
  return windowIDs();
}

void CurtainWindows::reveal() {
  for (CurtainWindow* window : windows_)
    window->reveal();
  x11_shape::sync();
}

void CurtainWindows::hide() {
  for (CurtainWindow* window : windows_)
    window->takeOffScreen();
  x11_shape::sync();
}

std::vector<std::uint32_t> CurtainWindows::windowIDs() const {
  std::vector<std::uint32_t> ids;
  ids.reserve(windows_.size());
  for (const CurtainWindow* window : windows_)
    ids.push_back(window->windowID());
  return ids;
}

CurtainBridge::CurtainBridge(CurtainWindows* windows) : windows_(windows) {}

template <typename Result, typename Action>
Result CurtainBridge::call(Action action) {
  std::future<Result> done;
  {
    std::lock_guard guard(lock_);
    if (!windows_) return Result();
    if (QThread::currentThread() == windows_->thread()) return action(*windows_);
    // The promise lives in the posted job: if the windows are destroyed before it runs, the job
    // is dropped with it and the wait below ends with a broken promise.
    auto promise = std::make_shared<std::promise<Result>>();
    done = promise->get_future();
    CurtainWindows* windows = windows_;
    windows->post([windows, action, promise] {
      if constexpr (std::is_void_v<Result>) {
        action(*windows);
        promise->set_value();
      } else {
        promise->set_value(action(*windows));
      }
    });
  }
  try {
    return done.get();
  } catch (const std::future_error&) {
    return Result();
  }
}

std::vector<std::uint32_t> CurtainBridge::prepare() {
  return call<std::vector<std::uint32_t>>([](CurtainWindows& windows) { return windows.prepare(); });
}

void CurtainBridge::reveal() {
  call<void>([](CurtainWindows& windows) { windows.reveal(); });
}

void CurtainBridge::hide() {
  call<void>([](CurtainWindows& windows) { windows.hide(); });
}

void CurtainBridge::detach() {
  std::lock_guard guard(lock_);
  windows_ = nullptr;
}

}  // namespace quorvanta
