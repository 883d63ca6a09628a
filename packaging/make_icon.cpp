// Build-time tool: turns the main window's emblem (an orange disc on white) into the
// desktop icon, a PNG of the given size whose corners outside the disc are transparent.
//   make_icon EMBLEM.jpg SIZE OUT.png
#include <QImage>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dialogs/jpeg_picture.h"

namespace {
// Where the disc lies in the emblem (see resources/pictures/make_pictures.sh).
constexpr int kCentreX = 20, kCentreY = 17, kRadius = 15;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_icon EMBLEM.jpg SIZE OUT.png\n");
    return 2;
  }
  std::string error;
  QImage emblem = quodra::dialogs::LoadJpegImage(QString::fromLocal8Bit(argv[1]), &error);
  int size = std::atoi(argv[2]);
  if (emblem.isNull() || size <= 0) {
    std::fprintf(stderr, "make_icon: %s: %s\n", argv[1], error.empty() ? "bad size" : error.c_str());
    return 1;
  }
  const int side = 2 * kRadius + 2;
  QImage disc = emblem.copy(kCentreX - side / 2, kCentreY - side / 2, side, side)
                    .convertToFormat(QImage::Format_ARGB32);
  const double centre = (side - 1) / 2.0;
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      // A one-pixel soft edge keeps the disc round when it is scaled.
      double coverage = std::clamp(kRadius + 0.5 - std::hypot(x - centre, y - centre), 0.0, 1.0);
      QRgb p = disc.pixel(x, y);
      disc.setPixel(x, y, qRgba(qRed(p), qGreen(p), qBlue(p), static_cast<int>(coverage * 255)));
    }
  QImage icon = disc.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  if (!icon.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    std::fprintf(stderr, "make_icon: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
