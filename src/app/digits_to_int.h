#pragma once
// Integer from the digits and minus signs of a text, as the profile time-outs and the TFTP
// job read them: "1,500" gives 1500, "abc" gives 0.
#include <string>

namespace quodra::app {

// Of the first 20 characters only the digits and '-' signs are kept and read as a signed
// decimal number. 0 when nothing is kept, when the kept text is not a number ("5-3",
// "--1") or when the number does not fit in an int.
int DigitsToInt(const std::string& text);

}  // namespace quodra::app
