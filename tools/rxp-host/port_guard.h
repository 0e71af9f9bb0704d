// Exclusive use of the serial port. Two hosts on one line answer each other's replies and both
// fail every poll, so the host claims the port twice: TIOCEXCL keeps other programs from
// opening the terminal at all (root excepted), and an flock on it is seen by every program that
// asks, root included, and tells who holds it.
#ifndef RXP_TOOLS_RXP_HOST_PORT_GUARD_H
#define RXP_TOOLS_RXP_HOST_PORT_GUARD_H

#include <string>

namespace rxphost {

// Claims the open port `fd`. On failure returns false and sets `why` to a sentence naming the
// port and, where /proc/locks shows it, the holder ("in use by pid 1234 (rxp-host)").
bool ClaimPort(int fd, const std::string& port, std::string* why);
// Gives the claim up before the descriptor is closed: a pseudo-terminal whose far end stays
// open would otherwise keep TIOCEXCL and refuse the host's own reopening.
void ReleasePort(int fd);

// "pid 1234 (rxp-host)" for the process holding an flock on `path`, or empty.
std::string LockHolder(const std::string& path);

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_PORT_GUARD_H
