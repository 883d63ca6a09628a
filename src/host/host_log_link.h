#pragma once
// The link to a host application's log box. A host offers its log box by binding a Unix
// datagram socket in the host folder ($XDG_RUNTIME_DIR/quodra-host/, or
// /tmp/quodra-host-<uid>/ without it) under the name "TTransForm1.TMemo" (window class and
// child class) or "<host title>.TransferBox1". Each character of a line is one datagram,
// in order, followed by a line feed.
//
// The link never waits for the host during a run: what the host's queue does not take at
// once waits in an outbox, sent on as the host reads (from the event loop, and before each
// new line). A host that reads slowly loses nothing; one that has taken nothing for the
// stall bound while characters wait is given up (said once on standard error), and only a
// host that falls behind by the whole outbox, megabytes of log, has lines cut (closed with
// their line feed, noted once). At the end of a run Drain hands the host the rest of the
// outbox: the last lines ("Done", the reason of a failure) are the ones a host needs most.
#include <cstdint>
#include <memory>
#include <string>

class QSocketNotifier;

namespace quodra::host {

// The title a host application bears when it offers "<title>.TransferBox1".
inline constexpr char kHostApplicationTitle[] = "Quodra Transfer Host";

std::string HostFolder();

class THostLogLink {
 public:
  THostLogLink();
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

  // Sends what is still waiting, sleeping in the event loop. The wait goes on as long as the
  // host keeps taking characters; a host that takes none for `stallMs` is given up (said
  // once on standard error). True when the host has everything.
  bool Drain(int64_t stallMs = kDrainStallMs);

  // Characters still waiting for the host to take them.
  size_t Waiting() const { return Outbox.size() - Sent; }
  static constexpr size_t kOutboxLimit = 16 << 20;
  static constexpr int64_t kDrainStallMs = 2500;

 private:
  bool ConnectTo(const std::string& path);
  void Disconnect();
  void DropHost();
  // Sends what the host takes now; watches for room when something is left.
  void Flush();
  // Gives the host up, saying so on standard error with what it did not get.
  void GiveUp(int64_t stallMs);

  int Socket = -1;
  std::string SocketPath;
  std::string Outbox;  // Outbox[Sent..] is still to be sent
  size_t Sent = 0;
  int64_t LastTakenMs = 0;  // when the host last took a character, or the outbox was empty
  bool NotedFull = false;
  std::unique_ptr<QSocketNotifier> Room;
};

}  // namespace quodra::host
