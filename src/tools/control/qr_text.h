#pragma once

#include <string>
#include <vector>

namespace quorvanta::control {

// A QR code as a square of modules, row by row; true is a dark module.
using QrModules = std::vector<std::vector<bool>>;

// Light modules drawn around the code so that a camera finds its edges.
inline constexpr int kQrQuietZone = 4;

// The QR code of `text`: error correction level M, 8-bit mode, the smallest version that fits.
// Throws QuorvantaError when the text is too long for any QR code.
QrModules qrModules(const std::string& text);

// The modules as terminal text with the quiet zone around them: each line covers two module
// rows with the half blocks "▀", "▄", "█" and spaces, dark modules drawn as blocks on the
// terminal's own background. Every line ends with "\n".
std::string renderQrText(const QrModules& modules);

}  // namespace quorvanta::control
