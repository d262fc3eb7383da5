#pragma once

#include <QPushButton>
#include <QString>
#include <QWidget>

#include "core/host/host_model.h"

class QLabel;

namespace quorvanta {

// The panel's title: the display symbol, "Quorvanta" and its subtitle.
class HeaderSection : public QWidget {
  Q_OBJECT

 public:
  explicit HeaderSection(QWidget* parent = nullptr);
};

// A dot (accent colour while sharing is live) and the status sentence.
class StatusSection : public QWidget {
  Q_OBJECT

 public:
  explicit StatusSection(QWidget* parent = nullptr);
  void render(const HostState& state);

 private:
  QLabel* dot_;
  QLabel* text_;
  std::optional<bool> running_;
};

// The error sentence and the button that asks for the keyring again; hidden without an error.
class ErrorSection : public QWidget {
  Q_OBJECT

 public:
  explicit ErrorSection(QWidget* parent = nullptr);
  void render(const HostState& state);

 Q_SIGNALS:
  void retryRequested();

 private:
  QLabel* text_;
};

// "Start sharing" or "Stop sharing".
class SharingButton : public QPushButton {
  Q_OBJECT

 public:
  explicit SharingButton(QWidget* parent = nullptr);
  void render(const HostState& state);

 Q_SIGNALS:
  void startRequested();
  void stopRequested();

 private:
  std::optional<bool> running_;
};

// The Tailscale address with its refresh button, and how connections are accepted.
class ConnectionSection : public QWidget {
  Q_OBJECT

 public:
  explicit ConnectionSection(QWidget* parent = nullptr);
  void render(const HostState& state);

 Q_SIGNALS:
  void refreshRequested();

 private:
  QLabel* address_;
  QLabel* storeNote_;
};

// The version line and "Quit".
class FooterSection : public QWidget {
  Q_OBJECT

 public:
  FooterSection(const QString& version, QWidget* parent = nullptr);

 Q_SIGNALS:
  void quitRequested();
};

// A thin horizontal line between groups.
QWidget* makeDivider(QWidget* parent = nullptr);

}  // namespace quorvanta
