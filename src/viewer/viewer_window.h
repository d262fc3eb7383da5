#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QMainWindow>
#include <QTimer>

#include "viewer/decode_worker.h"
#include "viewer/host_book.h"
#include "viewer/viewer_session.h"

class QActionGroup;
class QMenu;

namespace quorvanta::viewer {

class NoticeBar;
class VideoView;

// The viewer's window: the picture, a notice bar and the menus. It only draws and forwards input;
// the session runs on its own executor and decoding on its own thread.
class ViewerWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit ViewerWindow(HostBook& book, QWidget* parent = nullptr);
  ~ViewerWindow() override;

  // Connects to `host` (its token is read from the book), or pairs with it first when `secret`
  // is given.
  // With `takeover` the first attempt takes the session over from another device.
  void connectTo(PairedHost host, std::optional<std::string> secret = std::nullopt, bool takeover = false);
  // The hosts list: connect to one, forget one, or pair with a new one.
  void showHosts();
  // Asks for a pairing link and connects with it.
  void pairWithHost();
  void toggleFullScreen();

 protected:
  bool event(QEvent* event) override;

 private:
  // Runs `task` on the GUI thread. Tasks go over in a queue under our own lock, so that what they
  // carry is handed over visibly to thread checkers (Qt's event queue lock is not).
  void toGui(std::function<void()> task);
  Q_INVOKABLE void runGuiTasks();

  std::mutex guiLock_;
  std::deque<std::function<void()>> guiTasks_;  // guarded by guiLock_
  // Shows a sentence in the notice bar (and on standard error).
  void say(const QString& text, const QString& action = {}, std::function<void()> onAction = {});
  void handle(const SessionEvent& event);
  void handleMessage(const ControlMessage& message, std::optional<double> roundTripMs);
  void setDisplays(const ControlMessage& streaming);
  void askForWidth();
  void sendClipboard(bool always);
  void copyFromHost();
  void updateStats();
  void stopSession();

  HostBook& book_;
  VideoView* view_;
  NoticeBar* bar_;
  QMenu* displayMenu_;
  QActionGroup* displayGroup_;
  QAction* statsAction_;
  QTimer resizeTimer_;
  QTimer statsTimer_;

  std::optional<PairedHost> host_;
  std::unique_ptr<DecodeWorker> decoder_;
  std::unique_ptr<ViewerSession> session_;
  StreamRequest stream_;
  bool streaming_ = false;
  bool controlAllowed_ = false;
  std::string lastClipboardSent_;

  // Statistics for the overlay.
  std::atomic<std::int64_t> videoBytes_{0};
  int picturesShown_ = 0;
  double lastDecodeMs_ = 0;
  std::optional<double> roundTripMs_;
  std::optional<std::int64_t> hostFps_;
  std::optional<std::int64_t> hostBitrate_;
  std::chrono::steady_clock::time_point statsSince_ = std::chrono::steady_clock::now();
};

}  // namespace quorvanta::viewer
