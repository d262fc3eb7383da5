// quorvanta-wayland-test-client: a full-screen Wayland window of one known colour that prints,
// one line each, what reaches it: "ready", "motion X Y", "button CODE STATE", "axis AXIS VALUE"
// and "text UTF-8" (the characters a key press types on the current layout).
// With --animate a 250x250 square moves across it every 16 ms (moving content for the benchmarks).

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "xdg-shell-client-protocol.h"

namespace {

constexpr std::uint32_t kColour = 0xff20c060;  // X8R8G8B8: a green no desktop uses
constexpr int kWidth = 1280;                   // the size of the test session's only monitor
constexpr int kHeight = 720;

struct Client {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* shell = nullptr;
  wl_seat* seat = nullptr;
  wl_surface* surface = nullptr;
  wl_pointer* pointer = nullptr;
  wl_keyboard* keyboard = nullptr;
  xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_state* state = nullptr;
  bool animate = false;
  std::uint32_t* memory = nullptr;  // two pictures, drawn in turn
  wl_buffer* buffers[2] = {};
  wl_buffer* buffer = nullptr;
  int step = 0;
};

void paint(const Client& c, std::uint32_t* pixels) {
  constexpr int kSide = 250;
  const int left = c.animate ? (c.step * 8) % (kWidth - kSide) : -kSide;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      pixels[y * kWidth + x] =
          (x >= left && x < left + kSide && y >= 100 && y < 100 + kSide) ? 0xffe04040u : kColour;
}

// Paints picture `index` and shows it.
void show(Client& c, int index) {
  c.buffer = c.buffers[index];
  paint(c, c.memory + static_cast<std::size_t>(index * kWidth * kHeight));
  wl_surface_attach(c.surface, c.buffer, 0, 0);
  wl_surface_damage(c.surface, 0, 0, kWidth, kHeight);
  wl_surface_commit(c.surface);
}

void draw(Client& c) {
  const int stride = kWidth * 4;
  const int size = stride * kHeight;
  const int fd = memfd_create("quorvanta-test-client", 0);
  if (fd < 0 || ftruncate(fd, 2 * size) != 0) return;
  c.memory = static_cast<std::uint32_t*>(
      mmap(nullptr, static_cast<size_t>(2 * size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, 2 * size);
  for (int i = 0; i < 2; ++i)
    c.buffers[i] = wl_shm_pool_create_buffer(pool, i * size, kWidth, kHeight, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(fd);
  show(c, 0);
}

const wl_pointer_listener kPointer = {
    [](void*, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
      std::printf("motion %d %d\n", wl_fixed_to_int(x), wl_fixed_to_int(y));
    },
    [](void*, wl_pointer*, std::uint32_t, wl_surface*) {},
    [](void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
      std::printf("motion %d %d\n", wl_fixed_to_int(x), wl_fixed_to_int(y));
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button, std::uint32_t state) {
      std::printf("button %u %u\n", button, state);
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
      std::printf("axis %u %d\n", axis, wl_fixed_to_int(value));
    },
    [](void*, wl_pointer*) {},
    [](void*, wl_pointer*, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
};

const wl_keyboard_listener kKeyboard = {
    [](void* data, wl_keyboard*, std::uint32_t, std::int32_t fd, std::uint32_t size) {
      auto& c = *static_cast<Client*>(data);
      void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      close(fd);
      if (text == MAP_FAILED) return;
      xkb_keymap* keymap = xkb_keymap_new_from_string(c.xkb, static_cast<const char*>(text),
                                                      XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
      munmap(text, size);
      if (keymap != nullptr) c.state = xkb_state_new(keymap);
    },
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
      auto& c = *static_cast<Client*>(data);
      if (state != WL_KEYBOARD_KEY_STATE_PRESSED || c.state == nullptr) return;
      char text[64] = {};
      xkb_state_key_get_utf8(c.state, key + 8, text, sizeof text);
      if (text[0] != '\0') std::printf("text %s\n", text);
    },
    [](void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
       std::uint32_t locked, std::uint32_t group) {
      auto& c = *static_cast<Client*>(data);
      if (c.state != nullptr) xkb_state_update_mask(c.state, depressed, latched, locked, 0, 0, group);
    },
    [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
};

const wl_seat_listener kSeat = {
    [](void* data, wl_seat* seat, std::uint32_t capabilities) {
      auto& c = *static_cast<Client*>(data);
      if ((capabilities & WL_SEAT_CAPABILITY_POINTER) != 0 && c.pointer == nullptr) {
        c.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(c.pointer, &kPointer, &c);
      }
      if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && c.keyboard == nullptr) {
        c.keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(c.keyboard, &kKeyboard, &c);
      }
    },
    [](void*, wl_seat*, const char*) {},
};

const xdg_wm_base_listener kShell = {
    [](void*, xdg_wm_base* shell, std::uint32_t serial) { xdg_wm_base_pong(shell, serial); },
};

const xdg_surface_listener kShellSurface = {
    [](void* data, xdg_surface* surface, std::uint32_t serial) {
      auto& c = *static_cast<Client*>(data);
      xdg_surface_ack_configure(surface, serial);
      if (c.buffer != nullptr) return;
      draw(c);
      std::printf("ready\n");
    },
};

const wl_registry_listener kRegistry = {
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
      auto& c = *static_cast<Client*>(data);
      if (std::strcmp(interface, wl_compositor_interface.name) == 0)
        c.compositor =
            static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
      if (std::strcmp(interface, wl_shm_interface.name) == 0)
        c.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
      if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
        c.shell = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
      if (std::strcmp(interface, wl_seat_interface.name) == 0)
        c.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
    },
    [](void*, wl_registry*, std::uint32_t) {},
};

}  // namespace

int main(int argc, char** argv) {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return 1;
  setvbuf(stdout, nullptr, _IOLBF, 0);  // a line as soon as it is printed
  Client c;
  c.animate = argc > 1 && std::strcmp(argv[1], "--animate") == 0;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistry, &c);
  wl_display_roundtrip(display);
  if (c.compositor == nullptr || c.shm == nullptr || c.shell == nullptr) return 1;
  xdg_wm_base_add_listener(c.shell, &kShell, &c);
  if (c.seat != nullptr) wl_seat_add_listener(c.seat, &kSeat, &c);
  c.surface = wl_compositor_create_surface(c.compositor);
  xdg_surface* shellSurface = xdg_wm_base_get_xdg_surface(c.shell, c.surface);
  xdg_surface_add_listener(shellSurface, &kShellSurface, &c);
  xdg_toplevel_set_fullscreen(xdg_surface_get_toplevel(shellSurface), nullptr);
  wl_surface_commit(c.surface);
  // With --animate the square moves every 16 ms, whether or not the compositor asks for frames.
  pollfd events{wl_display_get_fd(display), POLLIN, 0};
  while (true) {
    while (wl_display_prepare_read(display) != 0)
      wl_display_dispatch_pending(display);
    wl_display_flush(display);
    const int ready = poll(&events, 1, c.animate ? 16 : -1);
    if (ready > 0) {
      if (wl_display_read_events(display) != 0) break;
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) break;
    if (c.animate && c.buffer != nullptr && ready == 0) {
      ++c.step;
      show(c, c.step % 2);
    }
  }
  return 0;
}
