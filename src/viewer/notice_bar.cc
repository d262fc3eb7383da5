#include "viewer/notice_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace quorvanta::viewer {

NoticeBar::NoticeBar(QWidget* parent)
    : QFrame(parent),
      label_(new QLabel(this)),
      button_(new QPushButton(this)),
      close_(new QPushButton(this)) {
  setObjectName("noticeBar");
  setStyleSheet("#noticeBar { background: #fff4c2; color: #222; }");
  label_->setWordWrap(true);
  close_->setText(QString::fromUtf8("\u2715"));
  close_->setFlat(true);
  close_->setToolTip("Hide");
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(10, 4, 6, 4);
  layout->addWidget(label_, 1);
  layout->addWidget(button_);
  layout->addWidget(close_);
  connect(button_, &QPushButton::clicked, this, [this] {
    const auto action = onAction_;
    clear();
    if (action) action();
  });
  connect(close_, &QPushButton::clicked, this, &NoticeBar::clear);
  button_->setFocusPolicy(Qt::NoFocus);
  close_->setFocusPolicy(Qt::NoFocus);
  hide();
}

void NoticeBar::say(const QString& text, const QString& action, std::function<void()> onAction) {
  label_->setText(text);
  button_->setText(action);
  button_->setVisible(!action.isEmpty());
  onAction_ = std::move(onAction);
  show();
}

void NoticeBar::clear() {
  label_->clear();
  onAction_ = nullptr;
  hide();
}

QString NoticeBar::text() const {
  return isVisible() ? label_->text() : QString();
}

}  // namespace quorvanta::viewer
