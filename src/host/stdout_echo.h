#pragma once
// The copy of the log on standard output (runs with arguments). A reader that goes away
// (`| head`: the pipe is closed, EPIPE) or an output that fails for good ends the copy for
// the rest of the run, noted once on stderr; the run itself goes on and keeps its own exit
// status. SIGPIPE is ignored by the program, so the write reports the closed pipe. A reader
// that takes nothing paces the run, but never holds up its stop: once a stop signal came,
// a line waits at most a second for it.
#include <string>

namespace quodra::host {

// Writes `line` and a line feed to standard output, whole or not at all once it has failed.
void EchoLineToStdout(const std::string& line);

}  // namespace quodra::host
