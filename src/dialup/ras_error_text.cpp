#include "dialup/ras_error_text.h"

#include <algorithm>
#include <iterator>

namespace quodra::dialup {
namespace {

struct TErrorText {
  int Number;
  const char* Text;
};

// Sorted by number. Covers the numbers a dial, a hang-up or a phonebook operation can end
// with on this system (the backends map their own failures onto them).
constexpr TErrorText kTexts[] = {
    {-1, "Function not Supported"},
    {6, "The connection handle is no longer valid."},
    {87, "A dial parameter is longer than the remote access service accepts."},
    {600, "An operation is still in progress."},
    {602, "The port is already open."},
    {606, "The port is not connected."},
    {608, "The connecting device does not exist."},
    {615, "The port was not found."},
    {617, "The connection is already being disconnected."},
    {619, "The remote computer could not be reached; the port was disconnected."},
    {621, "The phonebook cannot be opened."},
    {622, "The phonebook cannot be loaded."},
    {623, "The phonebook entry cannot be found."},
    {624, "The phonebook cannot be written."},
    {625, "The phonebook holds invalid data."},
    {628, "The connection was closed."},
    {629, "The connection was closed by the remote computer."},
    {630, "The connection was closed because of a hardware failure."},
    {631, "The connection was closed by the user."},
    {633, "The connecting device is already in use or not set up for dialling out."},
    {638, "The request timed out."},
    {645, "An internal authentication error occurred."},
    {646, "The account may not log on at this time of day."},
    {647, "The account is disabled."},
    {648, "The password has expired."},
    {649, "The account has no permission to dial in."},
    {650, "The remote access server does not answer."},
    {651, "The modem or other connecting device reported an error."},
    {652, "The connecting device gave a response that was not understood."},
    {666, "The modem or other connecting device is not ready."},
    {668, "The connection was dropped."},
    {676, "The line is busy."},
    {677, "A person answered instead of a modem."},
    {678, "There is no answer."},
    {679, "No carrier was detected."},
    {680, "There is no dial tone."},
    {691, "Access was denied: the user name or password is not valid for the domain."},
    {692, "The port or the device attached to it failed."},
    {703, "The connection needs information from the user, and none may be asked for."},
    {708, "The account has expired."},
    {711, "The remote access service could not be started."},
    {716, "The IP configuration of the connection cannot be used."},
    {718, "The remote computer did not respond in time; the connection was closed."},
    {719, "The remote computer ended the connection."},
    {721, "The remote PPP peer does not respond."},
    {734, "The PPP link control protocol was terminated."},
    {738, "The server did not assign an address."},
    {756, "This connection is already being dialled."},
    {769, "The remote destination cannot be reached."},
    {797, "The modem or other connecting device was not found."},
    {800, "The VPN connection could not be established."},
};

}  // namespace

std::string RasErrorText(int error) {
  if (error == 0) return {};
  auto it = std::lower_bound(std::begin(kTexts), std::end(kTexts), error,
                             [](const TErrorText& e, int n) { return e.Number < n; });
  if (it != std::end(kTexts) && it->Number == error) return it->Text;
  return "Remote access error " + std::to_string(error) + ".";
}

}  // namespace quodra::dialup
