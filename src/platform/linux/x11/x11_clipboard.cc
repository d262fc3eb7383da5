#include "platform/linux/x11/x11_clipboard.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace quorvanta::x11 {
namespace {

// Latin-1 for requestors that ask for STRING; characters beyond it become '?'.
std::string utf8ToLatin1(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 2 && i + 1 < text.size() && lead <= 0xC3) {
      out.push_back(
          static_cast<char>(((lead & 0x03u) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu)));
    } else {
      out.push_back(length == 1 ? static_cast<char>(lead) : '?');
    }
    i += length;
  }
  return out;
}

std::string latin1ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

void sendEvent(xcb_connection_t* connection, xcb_window_t destination, const void* event) {
  xcb_send_event(connection, 0, destination, XCB_EVENT_MASK_NO_EVENT, static_cast<const char*>(event));
}

void setProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                 std::uint8_t format, std::size_t count, const void* data) {
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, type, format,
                      static_cast<std::uint32_t>(count), data);
}

}  // namespace

X11Clipboard::X11Clipboard(const std::string& display) : connection_(Connection::connect(display)) {
  xcb_connection_t* c = connection_.get();
  window_ = xcb_generate_id(c);
  const std::array<std::uint32_t, 2> values = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, connection_.root(), -10, -10, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values.data());
  atoms_ = {internAtom(c, "CLIPBOARD", false),     internAtom(c, "TARGETS", false),
            internAtom(c, "UTF8_STRING", false),   internAtom(c, "TEXT", false),
            internAtom(c, "INCR", false),          internAtom(c, "QUORVANTA_CLIPBOARD", false),
            internAtom(c, "QUORVANTA_WAKE", false)};
  xcb_flush(c);
  thread_ = std::thread([this] { run(); });
}

X11Clipboard::~X11Clipboard() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake();
  thread_.join();
}

std::optional<std::string> X11Clipboard::readText(std::chrono::milliseconds limit) {
  // Our own text, unless another client has taken the selection and the thread has yet to hear.
  xcb_connection_t* c = connection_.get();
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atoms_.clipboard), nullptr));
  if (!owner || owner->owner == XCB_NONE) return std::nullopt;
  std::uint64_t generation = 0;
  {
    std::lock_guard guard(lock_);
    if (text_ && owner->owner == window_) return *text_;
    generation = ++requested_;
  }
  wake();
  std::unique_lock guard(lock_);
  readDone_.wait_for(guard, limit, [&] { return answered_ >= generation || stopping_; });
  if (answered_ != generation) return std::nullopt;
  return std::move(answer_);
}

void X11Clipboard::setText(std::string text) {
  {
    std::lock_guard guard(lock_);
    text_ = std::make_shared<const std::string>(std::move(text));
  }
  xcb_connection_t* c = connection_.get();
  xcb_set_selection_owner(c, window_, atoms_.clipboard, XCB_CURRENT_TIME);
  // The round trip makes the ownership take effect before, say, a paste key is injected.
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atoms_.clipboard), nullptr));
  if (!owner || owner->owner != window_) {
    std::lock_guard guard(lock_);
    text_.reset();
  }
}

void X11Clipboard::wake() {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window_;
  event.type = atoms_.wake;
  sendEvent(connection_.get(), window_, &event);
  xcb_flush(connection_.get());
}

void X11Clipboard::run() {
  xcb_connection_t* c = connection_.get();
  while (Reply<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
    switch (event->response_type & 0x7F) {
      case XCB_CLIENT_MESSAGE: {
        std::uint64_t generation = 0;
        {
          std::lock_guard guard(lock_);
          if (stopping_) return;
          generation = requested_;
        }
        if (generation != incoming_.generation) startRead(generation);
        break;
      }
      case XCB_SELECTION_REQUEST:
        onSelectionRequest(*reinterpret_cast<const xcb_selection_request_event_t*>(event.get()));
        break;
      case XCB_SELECTION_CLEAR: {
        // Another client took the selection, unless setText() has taken it back since.
        Reply<xcb_get_selection_owner_reply_t> owner(
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atoms_.clipboard), nullptr));
        if (!owner || owner->owner != window_) {
          std::lock_guard guard(lock_);
          text_.reset();
        }
        break;
      }
      case XCB_SELECTION_NOTIFY:
        onSelectionNotify(*reinterpret_cast<const xcb_selection_notify_event_t*>(event.get()));
        break;
      case XCB_PROPERTY_NOTIFY:
        onPropertyNotify(*reinterpret_cast<const xcb_property_notify_event_t*>(event.get()));
        break;
      default:
        break;  // errors from requestors that went away, and the like
    }
    xcb_flush(c);
  }
}

void X11Clipboard::startRead(std::uint64_t generation) {
  incoming_ = Incoming{generation, true, false, atoms_.utf8String, {}};
  xcb_connection_t* c = connection_.get();
  xcb_delete_property(c, window_, atoms_.property);
  xcb_convert_selection(c, window_, atoms_.clipboard, incoming_.target, atoms_.property, XCB_CURRENT_TIME);
}

void X11Clipboard::finishRead(std::optional<std::string> text) {
  incoming_.active = false;
  {
    std::lock_guard guard(lock_);
    answered_ = incoming_.generation;
    answer_ = std::move(text);
  }
  readDone_.notify_all();
}

void X11Clipboard::onSelectionNotify(const xcb_selection_notify_event_t& notify) {
  if (!incoming_.active || incoming_.incremental || notify.requestor != window_ ||
      notify.selection != atoms_.clipboard) {
    return;
  }
  if (notify.property == XCB_NONE) {
    if (incoming_.target == XCB_ATOM_STRING) return finishRead(std::nullopt);
    // No UTF-8 from this owner: ask for Latin-1 instead.
    incoming_.target = XCB_ATOM_STRING;
    xcb_convert_selection(connection_.get(), window_, atoms_.clipboard, XCB_ATOM_STRING, atoms_.property,
                          XCB_CURRENT_TIME);
    return;
  }
  auto property = takeProperty();
  if (!property) return finishRead(std::nullopt);
  if (property->first == atoms_.incr) {
    // Deleting the property (done) asks the owner for the first piece.
    incoming_.incremental = true;
    return;
  }
  finishRead(property->first == XCB_ATOM_STRING ? latin1ToUtf8(property->second)
                                                : std::move(property->second));
}

void X11Clipboard::onPropertyNotify(const xcb_property_notify_event_t& notify) {
  if (notify.state == XCB_PROPERTY_DELETE) {
    const auto transfer = std::find_if(outgoing_.begin(), outgoing_.end(), [&](const Outgoing& t) {
      return t.requestor == notify.window && t.property == notify.atom;
    });
    if (transfer != outgoing_.end()) sendChunk(*transfer);
    return;
  }
  if (notify.window != window_ || notify.atom != atoms_.property || !incoming_.active ||
      !incoming_.incremental) {
    return;
  }
  auto piece = takeProperty();
  if (!piece) return finishRead(std::nullopt);
  if (piece->second.empty()) {
    const bool latin1 = incoming_.target == XCB_ATOM_STRING;
    return finishRead(latin1 ? latin1ToUtf8(incoming_.data) : std::move(incoming_.data));
  }
  if (incoming_.data.size() + piece->second.size() > kMaxReadBytes) return finishRead(std::nullopt);
  incoming_.data += piece->second;
}

std::optional<std::pair<xcb_atom_t, std::string>> X11Clipboard::takeProperty() {
  xcb_connection_t* c = connection_.get();
  const auto cookie = xcb_get_property(c, 1, window_, atoms_.property, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                       std::numeric_limits<std::uint32_t>::max() / 4);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
  if (!reply || reply->type == XCB_NONE) return std::nullopt;
  const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
  const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
  return std::pair{reply->type, std::string(bytes, length)};
}

void X11Clipboard::onSelectionRequest(const xcb_selection_request_event_t& request) {
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = XCB_NONE;
  // Requestors from before the ICCCM name no property and expect the target's name.
  const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
  if (request.selection == atoms_.clipboard && request.owner == window_ &&
      serve(request.requestor, property, request.target)) {
    notify.property = property;
  }
  sendEvent(connection_.get(), request.requestor, &notify);
}

bool X11Clipboard::serve(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target) {
  std::shared_ptr<const std::string> text;
  {
    std::lock_guard guard(lock_);
    text = text_;
  }
  if (!text) return false;
  xcb_connection_t* c = connection_.get();
  if (target == atoms_.targets) {
    const std::array<xcb_atom_t, 4> targets = {atoms_.targets, atoms_.utf8String, atoms_.text,
                                               XCB_ATOM_STRING};
    setProperty(c, requestor, property, XCB_ATOM_ATOM, 32, targets.size(), targets.data());
    return true;
  }
  xcb_atom_t type = atoms_.utf8String;
  if (target == XCB_ATOM_STRING) {
    type = XCB_ATOM_STRING;
    text = std::make_shared<const std::string>(utf8ToLatin1(*text));
  } else if (target != atoms_.utf8String && target != atoms_.text) {
    return false;
  }
  if (text->size() <= kIncrChunk) {
    setProperty(c, requestor, property, type, 8, text->size(), text->data());
    return true;
  }
  // Too large for one request: announce the size and hand the text over piece by piece, each time
  // the requestor deletes the property.
  std::erase_if(outgoing_,
                [&](const Outgoing& t) { return t.requestor == requestor && t.property == property; });
  constexpr std::size_t kMaxTransfers = 16;  // requestors that vanish mid-transfer leave theirs
  if (outgoing_.size() >= kMaxTransfers) outgoing_.erase(outgoing_.begin());
  const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &mask);
  const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(text->size(), UINT32_MAX));
  setProperty(c, requestor, property, atoms_.incr, 32, 1, &size);
  outgoing_.push_back({requestor, property, type, std::move(text), 0});
  return true;
}

void X11Clipboard::sendChunk(Outgoing& transfer) {
  const std::size_t count = std::min(kIncrChunk, transfer.data->size() - transfer.offset);
  setProperty(connection_.get(), transfer.requestor, transfer.property, transfer.type, 8, count,
              transfer.data->data() + transfer.offset);
  transfer.offset += count;
  if (count > 0) return;
  // The empty piece that ends the transfer is written.
  const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(connection_.get(), transfer.requestor, XCB_CW_EVENT_MASK, &none);
  const xcb_window_t requestor = transfer.requestor;
  const xcb_atom_t property = transfer.property;
  std::erase_if(outgoing_,
                [&](const Outgoing& t) { return t.requestor == requestor && t.property == property; });
}

}  // namespace quorvanta::x11
