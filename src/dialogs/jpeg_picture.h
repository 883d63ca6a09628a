#pragma once
// JPEG pictures: decoded with libjpeg into images. The program's own pictures are embedded
// as resources under ":/pictures/".
#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <string>

namespace quodra::dialogs {

// Resource paths of the embedded pictures.
inline constexpr char kLogoPicture[] = ":/pictures/quodra_logo.jpg";      // 177 x 73, main window
inline constexpr char kEmblemPicture[] = ":/pictures/quodra_emblem.jpg";  // 41 x 35, main window
inline constexpr char kMakerLogoPicture[] = ":/pictures/maker_logo.jpg";  // 105 x 33, about box
inline constexpr char kInfoPicture[] = ":/pictures/info_picture.jpg";     // information page

// Largest picture we agree to decode, in pixels; a header claiming more is refused before
// any memory is taken for it.
inline constexpr long long kMaxJpegPixels = 64LL * 1024 * 1024;

// Decodes JPEG data into an RGB image. A broken, truncated or oversized picture gives a
// null image and, when `error` is given, a description of the fault.
QImage DecodeJpeg(const QByteArray& data, std::string* error = nullptr);

// Reads a JPEG file or resource (":/pictures/...") and decodes it. Null on any failure.
QImage LoadJpegImage(const QString& path, std::string* error = nullptr);
QPixmap LoadJpegPicture(const QString& resourcePath);

}  // namespace quodra::dialogs

// The helper under its plain name, as the windows use it.
using quodra::dialogs::LoadJpegPicture;
