#include "platform/linux/x11/xcb_handles.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quorvanta::x11 {

Connection Connection::connect(const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* raw = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  std::unique_ptr<xcb_connection_t, ConnectionDeleter> owned(raw);
  if (raw == nullptr || xcb_connection_has_error(raw) != 0) {
    throw std::runtime_error("The X display cannot be reached.");
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(raw));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i)
    xcb_screen_next(&it);
  if (it.rem == 0 || it.data == nullptr) throw std::runtime_error("The X display has no such screen.");
  return Connection(owned.release(), it.data, screenNumber);
}

ShmSegment::ShmSegment(xcb_connection_t* connection, std::size_t size)
    : connection_(connection), size_(size) {
  const int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmid < 0)
    throw std::runtime_error(std::string("Shared memory is unavailable: ") + std::strerror(errno));
  void* address = shmat(shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    const int error = errno;
    shmctl(shmid, IPC_RMID, nullptr);
    throw std::runtime_error(std::string("Shared memory cannot be attached: ") + std::strerror(error));
  }
  data_ = static_cast<std::uint8_t*>(address);
  segment_ = xcb_generate_id(connection_);
  ErrorReply error(xcb_request_check(
      connection_, xcb_shm_attach_checked(connection_, segment_, static_cast<std::uint32_t>(shmid), 0)));
  // Both sides are attached (or the server refused): the segment goes away with the last detach.
  shmctl(shmid, IPC_RMID, nullptr);
  if (error) {
    shmdt(data_);
    throw std::runtime_error("The X server refused the shared memory segment.");
  }
}

ShmSegment::~ShmSegment() {
  xcb_shm_detach(connection_, segment_);
  xcb_flush(connection_);
  shmdt(data_);
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name, bool onlyIfExists) {
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(connection,
                            xcb_intern_atom(connection, onlyIfExists ? 1 : 0,
                                            static_cast<std::uint16_t>(name.size()), name.c_str()),
                            nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

}  // namespace quorvanta::x11
