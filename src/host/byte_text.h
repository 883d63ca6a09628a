#pragma once
// Text for the widgets from bytes that need not be UTF-8, and the same bytes back. Profiles
// and listings carry names in the encoding of the system they come from (a Latin-1 "café.csv"
// from an older server): a widget must show them and give back exactly those bytes, or the
// file asked for is another one. Each byte that is no part of a UTF-8 character becomes a
// code unit of its own, U+DC80 to U+DCFF (which no valid text holds alone), and turns back
// into that byte; valid UTF-8 is converted as usual.
#include <QString>
#include <string>

namespace quodra::host {

QString TextOf(const std::string& bytes);
std::string BytesOf(const QString& text);

}  // namespace quodra::host
