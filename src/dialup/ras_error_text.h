#pragma once
// Texts for the error numbers of the remote access service (and -1 for a function the
// service does not offer). These come from the service, not from the library's message
// table, so they live here.
#include <string>

namespace quodra::dialup {

// The text for `error`; 0 gives the empty text, an unknown number a generic text with it.
std::string RasErrorText(int error);

}  // namespace quodra::dialup
