// Which addresses are this machine's: those of its IPv4 interfaces
// (getifaddrs), always with 127.0.0.1. The sender filter admits them; host
// mode starts the ranks of a machine-file host that resolves to one of them
// itself, as it does for its own host name, instead of logging in to itself.
#ifndef TARVO_COMMON_THIS_MACHINE_H
#define TARVO_COMMON_THIS_MACHINE_H

#include <cstdint>
#include <string>
#include <vector>

namespace common {

// This machine's IPv4 addresses in host byte order, sorted, without repeats.
std::vector<uint32_t> ThisMachineAddresses();

// Whether `host` (a name or a dotted address) resolves to an address of
// `mine` (as ThisMachineAddresses gives it). A name that does not resolve
// is not this machine.
bool NamesThisMachine(const std::string& host, const std::vector<uint32_t>& mine);

}  // namespace common

#endif  // TARVO_COMMON_THIS_MACHINE_H
