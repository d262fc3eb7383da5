// Remote input and the clipboard of the active session.

#include <asio/post.hpp>

#include "core/host/host_model.h"
#include "core/protocol/utf8.h"

namespace quorvanta {
namespace {

constexpr const char* kCopyNotAllowed = "Allow remote control in Quorvanta Host to copy from the Mac.";
constexpr std::size_t kMaxClipboardBytes = 60'000;
constexpr std::chrono::milliseconds kClipboardReadLimit{2'000};
// The client's key code of the V key, and its Command flag: the paste shortcut.
constexpr std::uint16_t kKeyCodeV = 9;
constexpr std::uint64_t kCommandFlag = 0x100000;

// A "clipboard" message with `text`, cut until its JSON fits the limit.
ControlMessage clipboardMessage(std::string text) {
  text = prefixUtf8Bytes(text, kMaxClipboardBytes);
  ControlMessage message = ControlMessage::make("clipboard");
  while (true) {
    message.text = text;
    const auto json = encodeControlMessage(message);
    if ((json && json->size() <= kMaxClipboardBytes) || text.empty()) break;
    // Characters that JSON escapes make the message longer than the text: shrink by a quarter.
    text = prefixUtf8Bytes(text, text.size() * 3 / 4);
  }
  return message;
}

}  // namespace

void HostModel::handleInput(const ControlMessage& message) {
  if (input_) input_->handle(message);
}

void HostModel::releaseInput() {
  if (input_) input_->releaseAll();
}

void HostModel::setInputDisplay(std::uint32_t displayID) {
  if (input_) input_->setDisplayID(displayID);
}

void HostModel::receiveClipboard(const ControlMessage& message) {
  if (!controlAllowed() || !message.text || !clipboard_) return;
  clipboard_->setText(*message.text);
  if (message.event == "paste") {
    ControlMessage key = ControlMessage::make("input");
    key.event = "key";
    key.keyCode = kKeyCodeV;
    key.modifiers = kCommandFlag;
    key.keyDown = true;
    handleInput(key);
    key.keyDown = false;
    handleInput(key);
  }
}

void HostModel::sendClipboard(const std::shared_ptr<PacketConnection>& channel) {
  if (!controlAllowed()) return notice(channel, kCopyNotAllowed);
  if (!clipboard_) return channel->send(clipboardMessage(""));
  // One read per session at a time: requests made meanwhile are answered by it.
  if (clipboardReadFor_ && clipboardReadFor_ == activeID_) return;
  const ConnectionID id = *activeID_;
  clipboardReadFor_ = id;
  // Reading waits for the clipboard's owner: off the main executor. What it read is sent only if
  // the session, its stream and the permission still hold when it comes back.
  asio::post(background_, [clipboard = clipboard_, weak = weak_from_this(), main = main_, id,
                           weakChannel = std::weak_ptr<PacketConnection>(channel)] {
    std::string text = clipboard->readText(kClipboardReadLimit).value_or("");
    asio::post(main, [weak, id, weakChannel, text = std::move(text)] {
      const auto self = weak.lock();
      if (!self) return;
      if (self->clipboardReadFor_ == id) self->clipboardReadFor_.reset();
      const auto connection = weakChannel.lock();
      if (!connection || self->activeID_ != id || self->active_ != connection) return;
      if (!self->controlAllowed()) return self->notice(connection, kCopyNotAllowed);
      connection->send(clipboardMessage(text));
    });
  });
}

}  // namespace quorvanta
