#include "common/this_machine.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace common {

std::vector<uint32_t> ThisMachineAddresses() {
  std::vector<uint32_t> mine = {INADDR_LOOPBACK};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
      sockaddr_in in;
      memcpy(&in, i->ifa_addr, sizeof in);
      mine.push_back(ntohl(in.sin_addr.s_addr));
    }
    freeifaddrs(list);
  }
  std::sort(mine.begin(), mine.end());
  mine.erase(std::unique(mine.begin(), mine.end()), mine.end());
  return mine;
}

bool NamesThisMachine(const std::string& host, const std::vector<uint32_t>& mine) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  bool ours = false;
  for (addrinfo* a = found; a != nullptr && !ours; a = a->ai_next) {
    sockaddr_in in;
    memcpy(&in, a->ai_addr, sizeof in);
    ours = std::binary_search(mine.begin(), mine.end(), ntohl(in.sin_addr.s_addr));
  }
  freeaddrinfo(found);
  return ours;
}

}  // namespace common
