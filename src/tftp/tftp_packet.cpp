#include "tftp_packet.h"

#include <cstring>

namespace quodra::tftp {
namespace {

void PutWord(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

void PutText(std::string& out, const std::string& text) {
  out.append(text);
  out.push_back('\0');
}

}  // namespace

std::string TftpReadRequest(const std::string& fileName, const std::string& modeWord, int blockSize,
                            int windowSize, bool askSize) {
  std::string out;
  out.reserve(fileName.size() + modeWord.size() + 24);
  PutWord(out, kTftpRRQ);
  PutText(out, fileName);
  PutText(out, modeWord);
  PutText(out, "blksize");
  PutText(out, std::to_string(blockSize));
  if (windowSize > 1) {
    PutText(out, "windowsize");
    PutText(out, std::to_string(windowSize));
  }
  if (askSize) {
    PutText(out, "tsize");
    PutText(out, "0");
  }
  return out;
}

std::string TftpAck(uint16_t block) {
  std::string out;
  PutWord(out, kTftpACK);
  PutWord(out, block);
  return out;
}

std::string TftpError(uint16_t code, const std::string& text) {
  std::string out;
  PutWord(out, kTftpERROR);
  PutWord(out, code);
  // A zero inside the text would end it early for the peer; send what the peer will read.
  PutText(out, text.substr(0, text.find('\0')));
  return out;
}

uint16_t TftpWord(const char* data, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(data[offset]) << 8 | static_cast<uint8_t>(data[offset + 1]));
}

bool TftpText(const char* data, size_t size, size_t offset, std::string& text, size_t& next) {
  if (offset >= size) return false;
  const void* zero = std::memchr(data + offset, 0, size - offset);
  if (!zero) return false;
  size_t end = static_cast<size_t>(static_cast<const char*>(zero) - data);
  text.assign(data + offset, end - offset);
  next = end + 1;
  return true;
}

}  // namespace quodra::tftp
