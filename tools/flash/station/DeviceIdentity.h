// How the station tells devices apart and knows one that is current.
#pragma once

#include "../DeviceReport.h"

#include <string>

namespace flasher {

// What tells one device from the next on a port: the report without what a
// flash changes (mode, versions, checksum) or a link's passing state; a
// cradle's scanner address stays in.
std::string DeviceIdentity(const DeviceReport& report);

// Whether the device that answers now is still the one taken. A cradle
// names its scanner's address only while the radio link is up (not while
// the scanner restarts, or before another one has paired): a report without
// it is the same device when the rest agrees; another address is another
// device.
bool SameDevice(const DeviceReport& taken, const DeviceReport& now);

// Whether the device already runs the versions of the file's objects that
// suit it: the application's (and the bootloader's, when the file has one).
bool RunsVersions(const DeviceReport& report, const std::string& app, const std::string& boot);

} // namespace flasher
