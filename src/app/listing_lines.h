#pragma once
// The lines of a directory listing as the data connection brings it: split at LF, one CR
// before the LF removed, no line after a final LF.
#include <string>
#include <vector>

std::vector<std::string> ListingLines(const std::string& listing);
