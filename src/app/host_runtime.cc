#include "app/host_runtime.h"

#include <csignal>

#include <asio/post.hpp>

#include "core/host/host_commands.h"
#include "core/host/host_environment.h"
#include "platform/linux/host/linux_host_environment.h"
#include "platform/linux/presence/linux_presence_service.h"
#include "platform/linux/wayland/session_bus_probe.h"

namespace quorvanta {
namespace {

// The status the control socket reports names the desktop backend too.
nlohmann::json withBackend(nlohmann::json response, const wayland::BackendChoice& backend) {
  const auto status = response.find("status");
  if (status == response.end() || !status->is_object()) return response;
  (*status)["backend"] = backend.name();
  (*status)["backendNote"] = backend.note.empty() ? nlohmann::json(nullptr) : nlohmann::json(backend.note);
  (*status)["curtainAvailable"] = backend.curtainUnavailable.empty();
  return response;
}

}  // namespace

HostRuntime::HostRuntime(Paths paths, std::shared_ptr<PrivacyCurtain> curtain, QObject* parent)
    : QObject(parent), paths_(std::move(paths)), curtain_(std::move(curtain)) {
  control_ = std::make_unique<ControlServer>(
      main_.get_executor(), paths_.controlSocket, [this](const nlohmann::json& request) {
        if (!model_) return nlohmann::json{{"ok", false}, {"error", "Quorvanta Host is still starting."}};
        return withBackend(handleControlRequest(*model_, request,
                                                [this] { toGui([this] { Q_EMIT showPanelRequested(); }); }),
                           backend_);
      });
}

HostRuntime::~HostRuntime() {
  mainWork_.reset();
  transportWork_.reset();
  main_.stop();
  transport_.stop();
  if (mainThread_.joinable()) mainThread_.join();
  if (transportThread_.joinable()) transportThread_.join();
  // Nothing runs the executors any more: the remaining objects may go on this thread.
  signals_.reset();
  model_.reset();
  control_.reset();
}

bool HostRuntime::claimInstance() {
  // Nothing runs the host executor yet, so the server and the signal set may be made here.
  if (control_->open() == ControlServer::OpenResult::listening) {
    // From the moment the socket exists, a termination signal must remove it rather than kill.
    signals_ = std::make_unique<asio::signal_set>(main_, SIGINT, SIGTERM);
    signals_->async_wait([this](const std::error_code& error, int) {
      // Leaving with the session, not turning sharing off: the next start resumes sharing.
      if (!error) tearDown(true);
    });
    return true;
  }
  sendControlRequest(paths_.controlSocket, {{"command", "show"}});
  return false;
}

void HostRuntime::start() {
  mainWork_.emplace(main_.get_executor());
  transportWork_.emplace(transport_.get_executor());
  transportThread_ = std::thread([this] { transport_.run(); });
  mainThread_ = std::thread([this] { main_.run(); });
  asio::post(main_, [this] { createModel(); });
}

void HostRuntime::createModel() {
  // A signal that came before the executor ran has already ended the runtime.
  if (tornDown_) return;
  try {
    makeModel();
  } catch (const std::exception& failure) {
    const QString reason = QString::fromStdString(failure.what());
    toGui([this, reason] { Q_EMIT startFailed(reason); });
    tearDown(true);
  }
}

void HostRuntime::makeModel() {
  backend_ = wayland::chooseSessionBackend();
  toGui([this, name = QString::fromStdString(backend_.name()), note = QString::fromStdString(backend_.note),
         curtain = QString::fromStdString(backend_.curtainUnavailable)] {
    Q_EMIT desktopChosen(name, note, curtain);
  });
  auto environment =
      std::make_shared<LinuxHostEnvironment>(paths_.executable, paths_.dataDirectory, backend_);
  environment->setCurtain(curtain_);
  // Idle-sleep holds, display wake, lock state and the watch on local input, on $DISPLAY.
  environment->setPresence(std::make_shared<LinuxPresenceService>(std::string{}, main_.get_executor()));
  model_ = HostModel::create(main_.get_executor(), transport_.get_executor(), environment,
                             HostSettings(paths_.settings));
  model_->setObserver([this](const HostState& state) { deliver(state); });

  const bool quiet = model_->hostEnabled() && model_->state().screenPermission;
  toGui([this, quiet] { Q_EMIT launched(quiet); });
}

void HostRuntime::toGui(std::function<void()> task) {
  {
    std::lock_guard guard(guiLock_);
    guiTasks_.push_back(std::move(task));
  }
  QMetaObject::invokeMethod(this, "runGuiTasks", Qt::QueuedConnection);
}

void HostRuntime::runGuiTasks() {
  std::deque<std::function<void()>> tasks;
  {
    std::lock_guard guard(guiLock_);
    tasks.swap(guiTasks_);
  }
  for (auto& task : tasks)
    task();
}

void HostRuntime::deliver(const HostState& state) {
  toGui([this, state] { Q_EMIT stateChanged(state); });
}

void HostRuntime::perform(std::function<void(HostModel&)> action) {
  asio::post(main_, [this, action = std::move(action)] {
    if (!model_) return;
    action(*model_);
    if (model_) deliver(model_->state());
  });
}

void HostRuntime::requestScreenRecording() {
  perform([this](HostModel& model) {
    const QString sentence = QString::fromStdString(model.requestScreenRecording());
    toGui([this, sentence] { Q_EMIT noticeReady(sentence); });
  });
}

void HostRuntime::quit(bool preserveIntent) {
  asio::post(main_, [this, preserveIntent] { tearDown(preserveIntent); });
}

void HostRuntime::tearDown(bool preserveIntent) {
  if (tornDown_) return;
  tornDown_ = true;
  if (signals_) signals_->cancel();
  if (model_) {
    model_->stop(preserveIntent);
    model_->setObserver({});
  }
  control_->close();
  // The model hides the curtain as it goes, which needs the GUI thread: it is still running.
  model_.reset();
  toGui([this] { Q_EMIT finished(); });
}

}  // namespace quorvanta
