// Which ports the station's patterns name now. One backend per platform:
// WatchPosix.cpp (glob(3) over device paths), WatchWin32.cpp (the COM
// ports present, matched by name).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace flasher {

// Every present port a pattern names; a pattern without wildcards names
// itself while it is there.
std::set<std::string> MatchPorts(const std::vector<std::string>& patterns);

// What the port's name points at now ("device:inode" of a device node);
// empty when it is not there. A name that comes to point at another node
// (a symlink re-made, a new node after a re-plug) is another device.
std::string PortNode(const std::string& port);

// A station outlives the readers of its output and the services it talks
// to: a write to a closed pipe or socket fails instead of ending it.
void IgnoreBrokenPipes();

// A shell-style match: '*' any run, '?' one character; case-insensitive
// where names are (Windows).
bool NameMatches(const std::string& pattern, const std::string& name, bool ignoreCase);

} // namespace flasher
