#include "viewer/viewer_window.h"

#include <iostream>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QInputDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QVBoxLayout>
#include <QWindow>

#include "core/protocol/pairing_invitation.h"
#include "core/util/quorvanta_error.h"
#include "viewer/hosts_dialog.h"
#include "viewer/notice_bar.h"
#include "viewer/session_rules.h"
#include "viewer/video_view.h"

namespace quorvanta::viewer {
namespace {

QString qt(const std::string& text) {
  return QString::fromStdString(text);
}

QString megabits(double bitsPerSecond) {
  return QString::number(bitsPerSecond / 1e6, 'f', 1) + " Mbit/s";
}

}  // namespace

ViewerWindow::ViewerWindow(HostBook& book, QWidget* parent) : QMainWindow(parent), book_(book) {
  setWindowTitle("Quorvanta Viewer");
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  bar_ = new NoticeBar(central);
  view_ = new VideoView(central);
  layout->addWidget(bar_);
  layout->addWidget(view_, 1);
  setCentralWidget(central);
  view_->setFocus();
  resize(1280, 760);

  QMenu* hostMenu = menuBar()->addMenu("Host");
  hostMenu->addAction("Connect to…", this, &ViewerWindow::showHosts);
  hostMenu->addAction("Pair with a host…", this, &ViewerWindow::pairWithHost);
  hostMenu->addSeparator();
  // No mnemonics and no shortcuts besides F11: every other key belongs to the host.
  hostMenu->addAction("Quit", qApp, &QApplication::quit);
  displayMenu_ = menuBar()->addMenu("Display");
  displayMenu_->setEnabled(false);
  displayGroup_ = new QActionGroup(this);
  QMenu* editMenu = menuBar()->addMenu("Edit");
  editMenu->addAction("Send clipboard to host", this, [this] { sendClipboard(true); });
  editMenu->addAction("Copy from host", this, &ViewerWindow::copyFromHost);
  QMenu* viewMenu = menuBar()->addMenu("View");
  QAction* fullScreen = viewMenu->addAction("Full screen", this, &ViewerWindow::toggleFullScreen);
  fullScreen->setShortcut(Qt::Key_F11);
  fullScreen->setShortcutContext(Qt::ApplicationShortcut);
  addAction(fullScreen);  // still reachable when the menu bar is hidden
  statsAction_ = viewMenu->addAction("Statistics");
  statsAction_->setCheckable(true);
  connect(statsAction_, &QAction::toggled, this, [this](bool on) {
    if (!on) view_->setOverlay({});
    updateStats();
  });

  view_->setSend([this](ControlMessage message) {
    if (session_) session_->send(std::move(message));
  });
  connect(view_, &VideoView::pictureResized, this, [this](int width, int height) {
    if (decoder_) decoder_->setTargetSize(width, height);
    resizeTimer_.start();
  });
  connect(view_, &VideoView::viewOnlyDoubleClicked, this, &ViewerWindow::toggleFullScreen);
  resizeTimer_.setSingleShot(true);
  resizeTimer_.setInterval(400);
  connect(&resizeTimer_, &QTimer::timeout, this, &ViewerWindow::askForWidth);
  statsTimer_.setInterval(1000);
  connect(&statsTimer_, &QTimer::timeout, this, &ViewerWindow::updateStats);
  statsTimer_.start();
}

ViewerWindow::~ViewerWindow() {
  stopSession();
}

void ViewerWindow::stopSession() {
  session_.reset();  // joins the session's executor: no more video arrives
  decoder_.reset();
  streaming_ = false;
  controlAllowed_ = false;
  view_->setControlAllowed(false);
}

void ViewerWindow::say(const QString& text, const QString& action, std::function<void()> onAction) {
  // The same sentences on standard error, for a session started from a terminal or a journal.
  std::cerr << "quorvanta-viewer: " << text.toStdString() << std::endl;
  bar_->say(text, action, std::move(onAction));
}

void ViewerWindow::toGui(std::function<void()> task) {
  {
    const std::lock_guard guard(guiLock_);
    guiTasks_.push_back(std::move(task));
  }
  QMetaObject::invokeMethod(this, "runGuiTasks", Qt::QueuedConnection);
}

void ViewerWindow::runGuiTasks() {
  std::deque<std::function<void()>> tasks;
  {
    const std::lock_guard guard(guiLock_);
    tasks.swap(guiTasks_);
  }
  for (auto& task : tasks)
    task();
}

void ViewerWindow::connectTo(PairedHost host, std::optional<std::string> secret, bool takeover) {
  stopSession();
  if (!secret) {
    try {
      host.state.token = book_.token(host);
    } catch (const QuorvantaError& error) {
      say(qt(error.message()));
      return;
    }
  }
  host_ = host;
  setWindowTitle("Quorvanta Viewer — " + qt(host.name));
  try {
    decoder_ = std::make_unique<DecodeWorker>([this] {
      toGui([this] {
        if (!decoder_) return;
        if (auto picture = decoder_->take()) {
          lastDecodeMs_ = picture->decodeMs;
          ++picturesShown_;
          view_->show(std::move(picture));
        }
      });
    });
  } catch (const QuorvantaError& error) {
    say(qt(error.message()));
    return;
  }
  DecodeWorker* decoder = decoder_.get();
  ViewerSession::Handlers handlers;
  handlers.onEvent = [this](const SessionEvent& event) { toGui([this, event] { handle(event); }); };
  handlers.onVideoConfig = [decoder](const ControlMessage& message) { decoder->configure(message); };
  handlers.onVideo = [this, decoder](Bytes payload) {
    videoBytes_ += static_cast<std::int64_t>(payload.size());
    decoder->decode(std::move(payload));
  };
  ViewerSession::Options options;
  options.secret = std::move(secret);
  options.takeover = takeover;
  session_ = std::make_unique<ViewerSession>(host.state, std::move(handlers), std::move(options));
  stream_ = {};
  stream_.maxWidth = streamWidthFor(view_->width() * view_->devicePixelRatioF());
  session_->requestStream(stream_);
  session_->start();
}

void ViewerWindow::handle(const SessionEvent& event) {
  if (!session_ || !host_) return;
  const QString name = qt(host_->name);
  switch (event.kind) {
    case SessionEvent::Kind::connecting:
      if (event.attempt == 1) say("Connecting to " + name + "…");
      return;
    case SessionEvent::Kind::disconnected:
      streaming_ = false;
      controlAllowed_ = false;
      view_->setControlAllowed(false);
      if (event.retryIn) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*event.retryIn).count();
        say(qt(event.text) + " Reconnecting in " + QString::number(seconds) + " s…", "Reconnect now",
            [this] { session_->reconnect(); });
      } else if (bar_->text().isEmpty() || bar_->text().startsWith("Connecting")) {
        say(qt(event.text), "Try again", [this] { session_->reconnect(); });
      }
      return;
    case SessionEvent::Kind::message:
      return handleMessage(event.message, event.roundTripMs);
  }
}

void ViewerWindow::handleMessage(const ControlMessage& message, std::optional<double> roundTripMs) {
  const QString name = qt(host_->name);
  const QString sentence = qt(message.message.value_or(""));
  const std::string& type = message.type;
  if (type == "paired") {
    PairedHost paired = *host_;
    paired.state.token = message.token.value_or("");
    if (message.name) paired.name = *message.name;
    try {
      book_.remember(paired);
      paired.state.token.clear();
      host_ = paired;
      setWindowTitle("Quorvanta Viewer — " + qt(paired.name));
      say("Paired with " + qt(paired.name) + ".");
    } catch (const QuorvantaError& error) {
      say(qt(error.message()));
    }
  } else if (type == "hello") {
    if (bar_->text().startsWith("Connecting") || bar_->text().contains("Reconnecting")) bar_->clear();
  } else if (type == "streaming") {
    streaming_ = true;
    if (message.width && message.height) {
      view_->setVideoSize(int(*message.width), int(*message.height));
      std::cerr << "quorvanta-viewer: streaming " << *message.width << " × " << *message.height << std::endl;
    }
    setDisplays(message);
    controlAllowed_ = message.controlAllowed.value_or(false);
    view_->setControlAllowed(controlAllowed_);
    if (!controlAllowed_) {
      say(name + " allows watching only: remote control is off on the host.");
    } else if (bar_->text().contains("watching only")) {
      bar_->clear();
    }
    if (controlAllowed_) sendClipboard(false);
  } else if (type == "permissions") {
    controlAllowed_ = message.controlAllowed.value_or(false);
    view_->setControlAllowed(controlAllowed_);
    if (streaming_ && !controlAllowed_) {
      say(name + " allows watching only: remote control is off on the host.");
    } else if (controlAllowed_ && bar_->text().contains("watching only")) {
      bar_->clear();
    }
  } else if (type == "busy" || type == "takenOver") {
    say(sentence, "Take over", [this] { session_->takeOver(); });
  } else if (type == "authRejected" || type == "error" || type == "hostPermission" || type == "notice") {
    say(sentence);
  } else if (type == "hostUnavailable") {
    streaming_ = false;
    say(sentence, "Try again", [this] {
      StreamRequest again = stream_;
      again.restart = true;
      session_->requestStream(again);
    });
  } else if (type == "clipboard") {
    lastClipboardSent_ = message.text.value_or("");
    QApplication::clipboard()->setText(qt(lastClipboardSent_));
    say("Copied the host's clipboard text.");
  } else if (type == "pong") {
    hostFps_ = message.fps;
    hostBitrate_ = message.bitrate;
    if (roundTripMs) roundTripMs_ = roundTripMs;
  }
}

void ViewerWindow::setDisplays(const ControlMessage& streaming) {
  displayMenu_->clear();
  for (QAction* action : displayGroup_->actions())
    displayGroup_->removeAction(action);
  const auto& displays = streaming.displays.value_or(std::vector<RemoteDisplay>{});
  displayMenu_->setEnabled(displays.size() > 1);
  for (const RemoteDisplay& display : displays) {
    QAction* action = displayMenu_->addAction(qt(display.name) + " (" + QString::number(display.width) +
                                              " × " + QString::number(display.height) + ")");
    action->setCheckable(true);
    action->setChecked(streaming.displayID && *streaming.displayID == display.id);
    displayGroup_->addAction(action);
    connect(action, &QAction::triggered, this, [this, id = display.id] {
      if (!session_) return;
      stream_.displayID = id;
      session_->requestStream(stream_);
    });
  }
}

void ViewerWindow::askForWidth() {
  if (!session_) return;
  const auto proposed = streamWidthFor(view_->width() * view_->devicePixelRatioF());
  if (stream_.maxWidth && !widthChangeIsSignificant(*stream_.maxWidth, proposed)) return;
  stream_.maxWidth = proposed;
  session_->requestStream(stream_);
}

void ViewerWindow::sendClipboard(bool always) {
  if (!session_ || !streaming_) return;
  if (!controlAllowed_) {
    if (always) say(qt(host_->name) + " allows watching only: remote control is off on the host.");
    return;
  }
  const std::string text = QApplication::clipboard()->text().toStdString();
  if (text.empty() || (!always && text == lastClipboardSent_)) return;
  lastClipboardSent_ = text;
  auto message = ControlMessage::make("clipboard");
  message.text = text;
  session_->send(std::move(message));
}

void ViewerWindow::copyFromHost() {
  if (session_) session_->send(ControlMessage::make("clipboardRequest"));
}

void ViewerWindow::toggleFullScreen() {
  if (isFullScreen()) {
    showNormal();
    menuBar()->show();
  } else {
    menuBar()->hide();
    showFullScreen();
  }
}

bool ViewerWindow::event(QEvent* event) {
  if (event->type() == QEvent::NonClientAreaMouseButtonDblClick) {
    toggleFullScreen();
    return true;
  }
  if (event->type() == QEvent::WindowActivate) sendClipboard(false);
  return QMainWindow::event(event);
}

void ViewerWindow::updateStats() {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - statsSince_).count();
  const double fps = seconds > 0 ? picturesShown_ / seconds : 0;
  const double bits = seconds > 0 ? double(videoBytes_.exchange(0)) * 8 / seconds : 0;
  picturesShown_ = 0;
  statsSince_ = now;
  if (!statsAction_->isChecked()) return;
  QString text = QString::number(fps, 'f', 1) + " fps, " + megabits(bits);
  if (hostFps_ || hostBitrate_) {
    text += "\nhost: " + QString::number(hostFps_.value_or(0)) + " fps sent, target " +
            megabits(double(hostBitrate_.value_or(0)));
  }
  text += "\ndecode " + QString::number(lastDecodeMs_, 'f', 1) + " ms (" +
          (decoder_ && decoder_->hardware() ? "hardware" : "software") + ")";
  text += "\nround trip " + (roundTripMs_ ? QString::number(*roundTripMs_, 'f', 1) + " ms" : QString("–"));
  view_->setOverlay(text);
}

void ViewerWindow::showHosts() {
  const HostChoice choice = chooseHost(book_, this);
  if (choice.pair) return pairWithHost();
  if (choice.host) connectTo(*choice.host);
}

void ViewerWindow::pairWithHost() {
  bool ok = false;
  const QString link = QInputDialog::getText(
      this, "Pair with a host", "Paste the pairing link from the host:", QLineEdit::Normal, {}, &ok);
  if (!ok || link.trimmed().isEmpty()) return;
  const auto invitation = parsePairingLink(link.toStdString());
  if (!invitation) {
    QMessageBox::warning(this, "Pair with a host", "This is not a Quorvanta pairing link.");
    return;
  }
  PairedHost host;
  try {
    host = hostFromInvitation(*invitation, book_.deviceID());
  } catch (const QuorvantaError& error) {
    QMessageBox::warning(this, "Pair with a host", qt(error.message()));
    return;
  }
  connectTo(host, invitation->secret);
}

}  // namespace quorvanta::viewer
