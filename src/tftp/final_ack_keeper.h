#pragma once
// The last acknowledgement of a download may be lost; the server then sends its last block
// again. A small process of its own answers such repeats for the linger time, so that
// neither the download nor the program waits for a repeat that almost never comes: the job
// ends (file synced and put in place, window closed) while the answer stays possible.
#include <netinet/in.h>

#include <cstdint>

namespace quodra::tftp {

// Starts a process that holds its own copy of `socket` for `lingerMs` and answers every
// repeat of DATA `block` from `peer` with ACK `block`. It keeps no other descriptor of ours
// (a reader of our standard output sees its end when we end). False when no process could be
// started: the caller lingers itself then.
bool KeepAnsweringLastBlock(int socket, const sockaddr_in& peer, uint16_t block, int lingerMs);

}  // namespace quodra::tftp
