#include "tools/control/qr_text.h"

#include <qrencode.h>

#include <cstddef>
#include <memory>

#include "core/util/quorvanta_error.h"

namespace quorvanta::control {
namespace {

struct QrCodeFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

QrModules qrModules(const std::string& text) {
  const std::unique_ptr<QRcode, QrCodeFree> code(
      QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
  if (!code || code->width <= 0) throw QuorvantaError("The pairing link does not fit in a QR code.");
  const auto width = static_cast<std::size_t>(code->width);
  QrModules modules(width, std::vector<bool>(width, false));
  for (std::size_t y = 0; y < width; ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      // Bit 0 of each byte is the module's colour; the other bits describe its role.
      modules[y][x] = (code->data[y * width + x] & 1U) != 0;
    }
  }
  return modules;
}

std::string renderQrText(const QrModules& modules) {
  const auto margin = static_cast<std::ptrdiff_t>(kQrQuietZone);
  const auto size = static_cast<std::ptrdiff_t>(modules.size());
  const auto dark = [&](std::ptrdiff_t x, std::ptrdiff_t y) {
    if (x < 0 || y < 0 || x >= size || y >= size) return false;
    return static_cast<bool>(modules[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)]);
  };
  std::string text;
  for (std::ptrdiff_t y = -margin; y < size + margin; y += 2) {
    for (std::ptrdiff_t x = -margin; x < size + margin; ++x) {
      const bool top = dark(x, y);
      const bool bottom = y + 1 < size + margin && dark(x, y + 1);
      if (top && bottom) {
        text += "\u2588";
      } else if (top) {
        text += "\u2580";
      } else if (bottom) {
        text += "\u2584";
      } else {
        text += ' ';
      }
    }
    text += '\n';
  }
  return text;
}

}  // namespace quorvanta::control
