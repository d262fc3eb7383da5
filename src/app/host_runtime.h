#pragma once

#include <QObject>
#include <QString>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "core/host/control_channel.h"
#include "core/host/host_model.h"
#include "platform/linux/wayland/desktop_backend.h"

namespace quorvanta {

class PrivacyCurtain;

// The host behind the desktop application. The HostModel lives on its own thread (the host's
// main executor), the connections on a second (the transport); this object lives on the GUI
// thread and is the only way between them:
// - every change of the published values reaches the GUI as stateChanged(), in order;
// - GUI actions are posted to the host thread; the GUI thread never waits for it;
// - the control socket is served on the host thread; "show" becomes showPanelRequested().
class HostRuntime : public QObject {
  Q_OBJECT

 public:
  struct Paths {
    std::filesystem::path executable;
    std::filesystem::path dataDirectory;
    std::filesystem::path settings;
    std::filesystem::path controlSocket;
  };

  HostRuntime(Paths paths, std::shared_ptr<PrivacyCurtain> curtain, QObject* parent = nullptr);
  // Stops both threads and waits for them; call quit() and wait for finished() first so that the
  // model is torn down on its own thread.
  ~HostRuntime() override;
  HostRuntime(const HostRuntime&) = delete;
  HostRuntime& operator=(const HostRuntime&) = delete;

  // Claims the control socket. False when another copy runs; that copy has then been asked to
  // show its panel.
  bool claimInstance();
  // Starts the threads and makes the model on the host thread; launched() follows.
  void start();

  // Runs `action` on the host thread with the model; the panel receives the state afterwards
  // even when nothing changed, so that a switch the user moved returns to the truth.
  void perform(std::function<void(HostModel&)> action);
  // Asks for screen-capture access; the sentence for the user arrives as noticeReady().
  void requestScreenRecording();
  // Stops sharing (and forgets the wish to share unless `preserveIntent`), tears the model down
  // on its thread, then emits finished().
  void quit(bool preserveIntent);

 Q_SIGNALS:
  void stateChanged(const quorvanta::HostState& state);
  // The model exists. `quiet`: sharing was left on and capture is possible, so the application
  // starts with nothing but its tray icon.
  void launched(bool quiet);
  // Which desktop API the host uses, and what the person should know about it. Before launched().
  void desktopChosen(const QString& name, const QString& note, const QString& curtainUnavailable);
  void showPanelRequested();
  void noticeReady(const QString& text);
  // The model could not be made; `reason` is the sentence. finished() follows.
  void startFailed(const QString& reason);
  void finished();

 private:
  // Runs every task handed over by toGui(), in order. GUI thread.
  Q_INVOKABLE void runGuiTasks();
  // Host thread: runs `task` on the GUI thread later. The task crosses under guiLock_, so the
  // hand-over is visible to thread checkers, not only Qt's own event queue.
  void toGui(std::function<void()> task);
  // Host thread: hands `state` to the GUI thread.
  void deliver(const HostState& state);
  void createModel();
  void makeModel();
  void tearDown(bool preserveIntent);

  Paths paths_;
  std::shared_ptr<PrivacyCurtain> curtain_;
  asio::io_context main_;
  asio::io_context transport_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> mainWork_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> transportWork_;
  std::unique_ptr<ControlServer> control_;
  // Host thread only.
  std::shared_ptr<HostModel> model_;
  wayland::BackendChoice backend_;
  std::unique_ptr<asio::signal_set> signals_;
  bool tornDown_ = false;
  std::mutex guiLock_;
  std::deque<std::function<void()>> guiTasks_;  // guarded by guiLock_
  std::thread mainThread_;
  std::thread transportThread_;
};

}  // namespace quorvanta
