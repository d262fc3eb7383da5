#pragma once

#include <QImage>

#include <string>

namespace quorvanta {

// The QR code of `text` (its UTF-8 bytes, error correction M), one module per pixel scaled by 6
// in both directions, black on white, without a quiet zone. A null image when the text cannot be
// encoded.
QImage qrImage(const std::string& text);

inline constexpr int kQrModuleScale = 6;

}  // namespace quorvanta
