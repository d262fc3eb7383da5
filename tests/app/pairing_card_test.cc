#include <gtest/gtest.h>
#include <qrencode.h>
#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPainter>

#include <atomic>
#include <memory>
#include <thread>

#include "app/pairing_card.h"
#include "app/qr_image.h"
#include "gui_test_support.h"

namespace quorvanta {
namespace {

using testing::child;

// Reads the CLIPBOARD selection the way another program would: through xclip, a separate X
// client. The GUI thread keeps serving the selection meanwhile.
testing::ProcessResult readClipboard(const char* target) {
  testing::ProcessResult result;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    result = testing::runProgram({"xclip", "-o", "-selection", "clipboard", "-t", target});
    done = true;
  });
  testing::waitUntil([&] { return done.load(); }, std::chrono::milliseconds(15000));
  reader.join();
  return result;
}

TEST(QrImage, EncodesTheTextAtLevelMScaledBySix) {
  const std::string text = *testing::invitation().url();
  const QImage image = qrImage(text);
  ASSERT_FALSE(image.isNull());

  struct Free {
    void operator()(QRcode* code) const { QRcode_free(code); }
  };
  const std::unique_ptr<QRcode, Free> code(QRcode_encodeData(
      static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
  ASSERT_TRUE(code);
  const int modules = code->width;
  ASSERT_EQ(image.width(), modules * 6);
  ASSERT_EQ(image.height(), modules * 6);
  for (int row = 0; row < modules; ++row) {
    for (int column = 0; column < modules; ++column) {
      const bool dark = (code->data[static_cast<std::size_t>(row * modules + column)] & 1U) != 0;
      // Every pixel of the 6 × 6 block has the module's colour.
      for (const auto& [dx, dy] : {std::pair{0, 0}, std::pair{5, 5}, std::pair{2, 4}}) {
        const QRgb pixel = image.pixel(column * 6 + dx, row * 6 + dy);
        ASSERT_EQ(qGray(pixel) < 128, dark) << row << "," << column;
      }
    }
  }
  // Finder pattern in the top-left corner: dark corner module, light ring inside.
  EXPECT_LT(qGray(image.pixel(0, 0)), 128);
  EXPECT_GT(qGray(image.pixel(6 + 3, 6 + 3)), 128);
}

TEST(QrImage, NothingForEmptyText) {
  EXPECT_TRUE(qrImage("").isNull());
}

TEST(QrCodeView, DrawsTheCodeOnAWhiteRoundedCardWithoutSmoothing) {
  QrCodeView view;
  const QImage code = qrImage(*testing::invitation().url());
  view.setImage(code);
  const QImage drawn = view.grab().toImage();
  ASSERT_EQ(drawn.size(), QSize(234, 234));
  // Padding is white, the rounded corner is not painted.
  EXPECT_EQ(QColor(drawn.pixel(6, 117)), QColor(Qt::white));
  EXPECT_NE(QColor(drawn.pixel(0, 0)), QColor(Qt::white));
  // Nearest-neighbour scaling: only black and white, no grey in between.
  int grey = 0;
  for (int y = 12; y < 222; ++y)
    for (int x = 12; x < 222; ++x)
      if (const int g = qGray(drawn.pixel(x, y)); g > 16 && g < 239) ++grey;
  EXPECT_EQ(grey, 0);
}

TEST(PairingCard, CopyPutsExactlyTheLinkOnTheClipboard) {
  PairingCard card;
  card.render(testing::invitation());
  card.show();
  QGuiApplication::clipboard()->setText(QStringLiteral("something older"), QClipboard::Clipboard);
  auto* copy = child<QAbstractButton>(&card, "copyLinkButton");
  ASSERT_NE(copy, nullptr);
  copy->click();
  const std::string link = *testing::invitation().url();

  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->text().toStdString(), link);
  EXPECT_FALSE(data->hasHtml());
  EXPECT_FALSE(data->hasUrls());
  EXPECT_FALSE(data->hasImage());

  const testing::ProcessResult other = readClipboard("UTF8_STRING");
  ASSERT_EQ(other.status, 0) << "xclip is needed to read the clipboard as another client";
  EXPECT_EQ(other.output, link);
  // The primary selection is left alone.
  EXPECT_NE(QGuiApplication::clipboard()->text(QClipboard::Selection).toStdString(), link);
}

TEST(PairingCard, CancelReportsAndNoLinkHidesTheCard) {
  PairingCard card;
  card.render(testing::invitation());
  EXPECT_FALSE(card.isHidden());
  bool cancelled = false;
  QObject::connect(&card, &PairingCard::cancelRequested, [&] { cancelled = true; });
  child<QAbstractButton>(&card, "cancelButton")->click();
  EXPECT_TRUE(cancelled);
  card.render(std::nullopt);
  EXPECT_TRUE(card.isHidden());
  EXPECT_TRUE(card.link().isEmpty());
}

}  // namespace
}  // namespace quorvanta
