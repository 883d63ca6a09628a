// The JPEG decoder: our embedded pictures, colours that survive a round trip through a real
// encoder, and broken or hostile data that must fail cleanly.
#include <gtest/gtest.h>

#include <QColor>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <jpeglib.h>

#include "dialogs/jpeg_picture.h"
#include "support/temp_dir.h"

using namespace quodra::dialogs;

namespace {

// Encodes a solid picture with libjpeg. `components` 1 = grey, 3 = RGB, 4 = CMYK (stored
// inverted, as Adobe writes it).
QByteArray Encode(int width, int height, int components,
                  const std::function<unsigned char(int x, int y, int c)>& sample) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  if (components == 4) {
    jpeg_set_colorspace(&cinfo, JCS_CMYK);
    cinfo.write_Adobe_marker = TRUE;
  }
  jpeg_set_quality(&cinfo, 95, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<unsigned char> row(size_t(width) * components);
  while (cinfo.next_scanline < cinfo.image_height) {
    const int y = int(cinfo.next_scanline);
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c) row[size_t(x) * components + c] = sample(x, y, c);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  QByteArray data(reinterpret_cast<const char*>(out), qsizetype(outSize));
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return data;
}

QByteArray EncodeSolid(int width, int height, int components, const unsigned char* pixel) {
  return Encode(width, height, components, [pixel](int, int, int c) { return pixel[c]; });
}

QByteArray EncodeRgb(int width, int height, QRgb colour) {
  const unsigned char px[3] = {static_cast<unsigned char>(qRed(colour)),
                               static_cast<unsigned char>(qGreen(colour)),
                               static_cast<unsigned char>(qBlue(colour))};
  return EncodeSolid(width, height, 3, px);
}

void ExpectNear(QRgb actual, int r, int g, int b) {
  EXPECT_NEAR(qRed(actual), r, 4);
  EXPECT_NEAR(qGreen(actual), g, 4);
  EXPECT_NEAR(qBlue(actual), b, 4);
}

// Offset of the frame header's height field (SOF0..SOF2 marker + length + precision).
qsizetype FrameSizeOffset(const QByteArray& jpeg) {
  for (qsizetype i = 0; i + 9 < jpeg.size(); ++i)
    if (uchar(jpeg[i]) == 0xFF && (uchar(jpeg[i + 1]) >= 0xC0 && uchar(jpeg[i + 1]) <= 0xC2))
      return i + 5;
  return -1;
}

}  // namespace

TEST(JpegPicture, EmbeddedPicturesDecodeAtTheirDesignSizes) {
  const struct {
    const char* path;
    int width, height;
  } pictures[] = {{kLogoPicture, 177, 73},
                  {kEmblemPicture, 41, 35},
                  {kMakerLogoPicture, 105, 33},
                  {kInfoPicture, 105, 105}};
  for (const auto& p : pictures) {
    std::string error;
    const QImage image = LoadJpegImage(p.path, &error);
    ASSERT_FALSE(image.isNull()) << p.path << ": " << error;
    EXPECT_EQ(image.width(), p.width) << p.path;
    EXPECT_EQ(image.height(), p.height) << p.path;
    EXPECT_FALSE(LoadJpegPicture(p.path).isNull()) << p.path;
  }
  // The logo has a white background and our blue mark in its left part.
  const QImage logo = LoadJpegImage(kLogoPicture);
  ExpectNear(logo.pixel(170, 2), 255, 255, 255);
  ExpectNear(logo.pixel(8, 60), 0x1f, 0x4e, 0x9c);
}

TEST(JpegPicture, ColoursSurviveForEveryColourSpace) {
  const QImage rgb = DecodeJpeg(EncodeRgb(19, 7, qRgb(200, 40, 90)));
  ASSERT_FALSE(rgb.isNull());
  EXPECT_EQ(rgb.size(), QSize(19, 7));
  ExpectNear(rgb.pixel(0, 0), 200, 40, 90);
  ExpectNear(rgb.pixel(18, 6), 200, 40, 90);

  const unsigned char grey = 77;
  const QImage g = DecodeJpeg(EncodeSolid(8, 9, 1, &grey));
  ASSERT_FALSE(g.isNull());
  ExpectNear(g.pixel(4, 4), 77, 77, 77);

  // Inverted CMYK: these bytes mean red 255 * 128 / 255, green 0, blue 255.
  const unsigned char cmyk[4] = {255, 0, 255, 128};
  const QImage c = DecodeJpeg(EncodeSolid(16, 16, 4, cmyk));
  ASSERT_FALSE(c.isNull());
  ExpectNear(c.pixel(8, 8), 128, 0, 128);
}

TEST(JpegPicture, BrokenDataFailsWithAReason) {
  // Busy content, so that most of the file is picture data rather than tables.
  const QByteArray good =
      Encode(96, 96, 3, [](int x, int y, int c) { return static_cast<unsigned char>((x * 37 + y * 11 + c * 5) ^ (x * y)); });
  std::string error;

  EXPECT_TRUE(DecodeJpeg(QByteArray(), &error).isNull());
  EXPECT_FALSE(error.empty());

  error.clear();
  EXPECT_TRUE(DecodeJpeg(QByteArray("GIF89a not a jpeg at all"), &error).isNull());
  EXPECT_FALSE(error.empty());

  // Cut inside the entropy-coded data: libjpeg would pad the rest with grey.
  error.clear();
  EXPECT_TRUE(DecodeJpeg(good.left(good.size() / 2), &error).isNull());
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;

  // Cut inside the headers.
  error.clear();
  EXPECT_TRUE(DecodeJpeg(good.left(40), &error).isNull());
  EXPECT_FALSE(error.empty());

  // The decoder is still usable after those failures.
  EXPECT_FALSE(DecodeJpeg(good, &error).isNull());
  EXPECT_TRUE(error.empty());
}

TEST(JpegPicture, HostileDimensionsAreRefusedBeforeAllocation) {
  QByteArray huge = EncodeRgb(16, 16, qRgb(1, 2, 3));
  const qsizetype at = FrameSizeOffset(huge);
  ASSERT_GT(at, 0);
  // 65000 x 65000 pixels claimed by a 16 x 16 picture.
  huge[at] = char(0xFD);
  huge[at + 1] = char(0xE8);
  huge[at + 2] = char(0xFD);
  huge[at + 3] = char(0xE8);
  std::string error;
  EXPECT_TRUE(DecodeJpeg(huge, &error).isNull());
  EXPECT_NE(error.find("refused"), std::string::npos) << error;

  QByteArray zero = EncodeRgb(16, 16, qRgb(1, 2, 3));
  zero[at] = 0;
  zero[at + 1] = 0;
  EXPECT_TRUE(DecodeJpeg(zero, &error).isNull());
}

TEST(JpegPicture, FilesAndMissingPaths) {
  quodra::test::TTempDir dir;
  const QByteArray data = EncodeRgb(5, 3, qRgb(0, 255, 0));
  quodra::test::WriteFile(dir.File("small.jpg"), data.toStdString());
  std::string error;
  const QImage image = LoadJpegImage(QString::fromStdString(dir.File("small.jpg")), &error);
  ASSERT_FALSE(image.isNull()) << error;
  EXPECT_EQ(image.size(), QSize(5, 3));

  EXPECT_TRUE(LoadJpegImage(QString::fromStdString(dir.File("absent.jpg")), &error).isNull());
  EXPECT_NE(error.find("absent.jpg"), std::string::npos) << error;
  EXPECT_TRUE(LoadJpegPicture(":/pictures/absent.jpg").isNull());
}
