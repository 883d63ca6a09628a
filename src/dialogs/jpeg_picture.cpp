#include "dialogs/jpeg_picture.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

// The pictures are compiled into this library; naming the initializer here makes sure the
// linker keeps them whenever a window loads a picture.
static void InitPictureResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(quodra_pictures);
    return true;
  }();
  (void)done;
}

namespace quodra::dialogs {
namespace {

// libjpeg reports fatal errors through error_exit, which must not return. We jump back to
// the decoding function; only libjpeg's own C frames lie in between, and the decoder keeps
// no C++ object with a destructor alive across the jump.
struct TJpegError {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  char Message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->Message);
  std::longjmp(err->Jump, 1);
}

// Warnings (corrupt data, a premature end of the file) are remembered instead of printed:
// a picture with any of them is refused rather than shown half grey.
void EmitMessage(j_common_ptr cinfo, int level) {
  auto* err = reinterpret_cast<TJpegError*>(cinfo->err);
  if (level < 0) {
    if (cinfo->err->num_warnings++ == 0) (*cinfo->err->format_message)(cinfo, err->Message);
  }
}

// Decodes into `image` (allocated here once the header is known). Returns an empty text on
// success, else the fault. Plain C data only between setjmp and the end of the function.
bool DecodeInto(const unsigned char* data, unsigned long size, QImage* image, char* fault,
                size_t faultSize) {
  jpeg_decompress_struct cinfo;
  TJpegError err;
  std::memset(&cinfo, 0, sizeof cinfo);
  err.Message[0] = '\0';
  cinfo.err = jpeg_std_error(&err.Manager);
  err.Manager.error_exit = ErrorExit;
  err.Manager.emit_message = EmitMessage;

  if (setjmp(err.Jump)) {
    std::snprintf(fault, faultSize, "%s", err.Message[0] ? err.Message : "JPEG decoding failed");
    jpeg_destroy_decompress(&cinfo);
    return false;
  }

  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, size);
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
    std::snprintf(fault, faultSize, "no JPEG picture");
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_calc_output_dimensions(&cinfo);

  const long long pixels =
      static_cast<long long>(cinfo.output_width) * static_cast<long long>(cinfo.output_height);
  if (cinfo.output_width == 0 || cinfo.output_height == 0 || pixels > kMaxJpegPixels ||
      cinfo.output_width > 65535 || cinfo.output_height > 65535) {
    std::snprintf(fault, faultSize, "JPEG picture of %ux%u pixels refused",
                  unsigned(cinfo.output_width), unsigned(cinfo.output_height));
    jpeg_destroy_decompress(&cinfo);
    return false;
  }

  *image = QImage(int(cinfo.output_width), int(cinfo.output_height),
                  cmyk ? QImage::Format_RGB32 : QImage::Format_RGB888);
  if (image->isNull()) {
    std::snprintf(fault, faultSize, "out of memory for a JPEG picture");
    jpeg_destroy_decompress(&cinfo);
    return false;
  }

  jpeg_start_decompress(&cinfo);
  // One CMYK row at a time goes through a small buffer that libjpeg owns and frees.
  JSAMPARRAY cmykRow = cmyk ? (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                         JPOOL_IMAGE, cinfo.output_width * 4, 1)
                            : nullptr;
  while (cinfo.output_scanline < cinfo.output_height) {
    const int y = int(cinfo.output_scanline);
    if (!cmyk) {
      JSAMPROW row = image->scanLine(y);
      jpeg_read_scanlines(&cinfo, &row, 1);
      continue;
    }
    jpeg_read_scanlines(&cinfo, cmykRow, 1);
    auto* out = reinterpret_cast<QRgb*>(image->scanLine(y));
    const JSAMPLE* in = cmykRow[0];
    // Adobe writes CMYK inverted, which is what nearly every CMYK JPEG carries.
    for (unsigned x = 0; x < cinfo.output_width; ++x, in += 4) {
      const unsigned k = in[3];
      out[x] = qRgb(in[0] * k / 255, in[1] * k / 255, in[2] * k / 255);
    }
  }
  jpeg_finish_decompress(&cinfo);
  const bool damaged = err.Manager.num_warnings > 0;
  if (damaged) std::snprintf(fault, faultSize, "damaged JPEG picture: %s", err.Message);
  jpeg_destroy_decompress(&cinfo);
  return !damaged;
}

}  // namespace

QImage DecodeJpeg(const QByteArray& data, std::string* error) {
  QImage image;
  char fault[JMSG_LENGTH_MAX + 64] = "";
  if (data.isEmpty()) {
    if (error) *error = "empty JPEG data";
    return {};
  }
  if (!DecodeInto(reinterpret_cast<const unsigned char*>(data.constData()),
                  static_cast<unsigned long>(data.size()), &image, fault, sizeof fault)) {
    if (error) *error = fault;
    return {};
  }
  if (error) error->clear();
  return image;
}

QImage LoadJpegImage(const QString& path, std::string* error) {
  InitPictureResources();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = "cannot open " + path.toStdString() + ": " + file.errorString().toStdString();
    return {};
  }
  std::string fault;
  QImage image = DecodeJpeg(file.readAll(), &fault);
  if (image.isNull() && error) *error = path.toStdString() + ": " + fault;
  return image;
}

QPixmap LoadJpegPicture(const QString& resourcePath) {
  std::string error;
  QImage image = LoadJpegImage(resourcePath, &error);
  if (image.isNull()) {
    qWarning("%s", error.c_str());
    return {};
  }
  return QPixmap::fromImage(image);
}

}  // namespace quodra::dialogs
