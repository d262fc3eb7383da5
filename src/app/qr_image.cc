#include "app/qr_image.h"

#include <qrencode.h>

#include <memory>

namespace quorvanta {

namespace {

struct QrCodeFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

QImage qrImage(const std::string& text) {
  if (text.empty()) return {};
  const std::unique_ptr<QRcode, QrCodeFree> code(QRcode_encodeData(
      static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
  if (!code || code->width <= 0) return {};

  const int modules = code->width;
  QImage image(modules * kQrModuleScale, modules * kQrModuleScale, QImage::Format_RGB32);
  if (image.isNull()) return {};
  image.fill(Qt::white);
  const QRgb black = qRgb(0, 0, 0);
  for (int row = 0; row < modules; ++row) {
    for (int column = 0; column < modules; ++column) {
      // The lowest bit of each module's byte says whether it is dark.
      if ((code->data[static_cast<std::size_t>(row * modules + column)] & 1U) == 0) continue;
      for (int y = 0; y < kQrModuleScale; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(row * kQrModuleScale + y));
        for (int x = 0; x < kQrModuleScale; ++x)
          line[column * kQrModuleScale + x] = black;
      }
    }
  }
  return image;
}

}  // namespace quorvanta
