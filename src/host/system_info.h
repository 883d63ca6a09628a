#pragma once
// System facts for the about box.
#include <cstdint>
#include <optional>
#include <string>

namespace quodra::host {

uint64_t TotalRamBytes();
bool NetworkPresent();               // a network interface other than loopback is up
std::string ComputerName();          // at most 20 characters
std::string UserName();              // at most 512 characters
std::string OperatingSystemName();   // PRETTY_NAME of /etc/os-release (or NAME), empty if unknown
std::string OperatingSystemNameFrom(const std::string& osReleaseText);
std::string KernelMajorMinor();      // "6.1"; empty when it cannot be read
std::optional<uint64_t> DiskFreeBytes(const std::string& path = ".");

struct TFileFacts {
  int64_t Size = 0;
  int64_t ModifiedSecs = 0;  // seconds since the epoch
};
std::optional<TFileFacts> FileFacts(const std::string& path);

}  // namespace quodra::host
