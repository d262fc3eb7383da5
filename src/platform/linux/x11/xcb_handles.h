#pragma once

// Owning wrappers for the xcb resources the capture code uses.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace quorvanta::x11 {

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

// A reply or error that xcb allocated with malloc.
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

using ErrorReply = Reply<xcb_generic_error_t>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* c) const noexcept { xcb_disconnect(c); }
};

// An open connection to an X server. xcb always returns an object, even when it failed to
// connect; connect() checks for that.
class Connection {
 public:
  // `display` as in $DISPLAY; empty means $DISPLAY. Throws std::runtime_error when unreachable.
  static Connection connect(const std::string& display);

  xcb_connection_t* get() const { return connection_.get(); }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_->root; }
  int screenNumber() const { return screenNumber_; }
  bool hasError() const { return xcb_connection_has_error(connection_.get()) != 0; }

 private:
  Connection(xcb_connection_t* c, xcb_screen_t* s, int n) : connection_(c), screen_(s), screenNumber_(n) {}
  std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection_;
  xcb_screen_t* screen_ = nullptr;  // owned by the connection's setup data
  int screenNumber_ = 0;
};

// A System V shared-memory segment attached both here and in the X server, for MIT-SHM image
// reads. The segment is marked for removal as soon as both sides hold it, so it cannot leak when
// this process dies.
class ShmSegment {
 public:
  // Throws std::runtime_error when the segment cannot be made or the server refuses it.
  ShmSegment(xcb_connection_t* connection, std::size_t size);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  xcb_shm_seg_t id() const { return segment_; }
  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  xcb_connection_t* connection_;
  std::size_t size_;
  std::uint8_t* data_ = nullptr;
  xcb_shm_seg_t segment_ = 0;
};

// Interns `name` and returns its atom, or XCB_ATOM_NONE.
xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name, bool onlyIfExists);

}  // namespace quorvanta::x11
