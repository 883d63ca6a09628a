#pragma once
// Building and reading TFTP packets. 16-bit numbers are big-endian; texts end with a zero.
#include <cstdint>
#include <string>

namespace quodra::tftp {

enum : uint16_t {
  kTftpRRQ = 1,
  kTftpWRQ = 2,
  kTftpDATA = 3,
  kTftpACK = 4,
  kTftpERROR = 5,
  kTftpOACK = 6,
};
constexpr int kTftpHeaderSize = 4;
constexpr int kTftpDefaultBlockSize = 512;
// The largest block that fits one UDP datagram over IPv4 (65535 - 20 - 8 - 4).
constexpr int kTftpMaxBlockSize = 65464;
constexpr int kTftpMinBlockSize = 8;
constexpr int kTftpMaxWindowSize = 64;

// The options after "blksize": "windowsize" when windowSize > 1, "tsize 0" when askSize.
std::string TftpReadRequest(const std::string& fileName, const std::string& modeWord, int blockSize,
                            int windowSize = 1, bool askSize = false);
std::string TftpAck(uint16_t block);
std::string TftpError(uint16_t code, const std::string& text);

// The 16-bit number at `offset`; the caller makes sure two bytes are there.
uint16_t TftpWord(const char* data, size_t offset);
// The zero-terminated text that starts at `offset`. False when the packet ends before a
// zero byte; `next` is the offset after the zero.
bool TftpText(const char* data, size_t size, size_t offset, std::string& text, size_t& next);

}  // namespace quodra::tftp
