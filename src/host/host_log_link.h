#pragma once
// The link to a host application's log box. A host offers its log box by binding a Unix
// datagram socket in the host folder ($XDG_RUNTIME_DIR/quodra-host/, or
// /tmp/quodra-host-<uid>/ without it) under the name "TTransForm1.TMemo" (window class and
// child class) or "<host title>.TransferBox1". Each character of a line is one datagram,
// in order, followed by a line feed.
#include <string>

namespace quodra::host {

// The title a host application bears when it offers "<title>.TransferBox1".
inline constexpr char kHostApplicationTitle[] = "Quodra Transfer Host";

std::string HostFolder();

class THostLogLink {
 public:
  THostLogLink() = default;
  ~THostLogLink();
  THostLogLink(const THostLogLink&) = delete;
  THostLogLink& operator=(const THostLogLink&) = delete;

  // Looks for the host's log box: first "TTransForm1.TMemo", then "<title>.TransferBox1".
  // True when one was found (and connected).
  bool FindHostWindow(const std::string& hostTitle = kHostApplicationTitle);

  bool HasHostWindow() const { return Socket >= 0; }
  const std::string& HostLogWindow() const { return SocketPath; }

  // Sends the line character by character, then a line feed. Empty lines are not sent.
  void SendLine(const std::string& line);

 private:
  bool ConnectTo(const std::string& path);
  bool SendByte(char c);

  int Socket = -1;
  std::string SocketPath;
};

}  // namespace quodra::host
