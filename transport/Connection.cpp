#include "transport/Connection.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/protocol.h"

namespace {


// Fills `addr` with the first IPv4 address of host name `name`; false when
// the name does not resolve. Reentrant, since service threads may send.
bool ResolveHost(const char* name, in_addr* addr) {
  hostent entry;
  hostent* result = nullptr;
  char scratch[2048];
  int err = 0;
  if (gethostbyname_r(name, &entry, scratch, sizeof scratch, &result, &err) != 0 ||
      result == nullptr || result->h_addrtype != AF_INET || result->h_addr_list[0] == nullptr) {
    return false;
  }
  memcpy(addr, result->h_addr_list[0], sizeof *addr);
  return true;
}

// The address of this host's name, resolved once for the name: a run opens
// several endpoints, and each lookup reads the resolver's files again.
bool ResolveOwnName(const char* name, in_addr* addr) {
  static std::mutex mutex;
  static std::string resolvedFor;
  static bool resolved = false;
  static in_addr address;
  std::lock_guard<std::mutex> lock(mutex);
  if (resolvedFor != name) {
    resolved = ResolveHost(name, &address);
    resolvedFor = name;
  }
  if (resolved) *addr = address;
  return resolved;
}

}  // namespace

char* CSocket::hostname = nullptr;
char* CSocket::ip = nullptr;
int CSocket::count = 0;

CSocket::CSocket(int family, int type, int protocol) : sock(-1) {
  ++count;  // on every path, so that each destruction has its construction
  // The arrays are allocated once and refilled by every construction.
  if (hostname == nullptr) hostname = new char[HOSTNAME_SIZE];
  memset(hostname, 0, HOSTNAME_SIZE);
  if (gethostname(hostname, HOSTNAME_SIZE) == -1) {
    PrintSockError("gethostname");
    return;
  }
  hostname[HOSTNAME_SIZE - 1] = '\0';
  if (ip == nullptr) ip = new char[ADDRESS_TEXT_SIZE];
  memset(ip, 0, ADDRESS_TEXT_SIZE);
  in_addr local;
  if (ResolveOwnName(hostname, &local)) {
    inet_ntop(AF_INET, &local, ip, ADDRESS_TEXT_SIZE);
  } else {
    // A host whose own name does not resolve can still run locally.
    strcpy(ip, "127.0.0.1");
  }
  sock = socket(family, type, protocol);
  if (sock == -1) PrintSockError("creating socket");
}

CSocket::~CSocket() {
  if (--count == 0) {
    delete[] ip;
    ip = nullptr;
    delete[] hostname;
    hostname = nullptr;
  }
}

int CSocket::Socket() { return sock; }
char* CSocket::IP() { return ip; }
char* CSocket::Hostname() { return hostname; }
int CSocket::InvalidSocket() { return sock < 0 ? 1 : 0; }

int CSocket::Close() {
  close(sock);
  return 0;
}

CUDPConnection::CUDPConnection(int reliability)
    : CSocket(AF_INET, SOCK_DGRAM, 0), port(0), reliability(reliability) {}

CUDPConnection::~CUDPConnection() {}

int CUDPConnection::Port() { return port; }
int CUDPConnection::Reliability() { return reliability; }

int CUDPConnection::Open(int wanted) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(wanted & 0xFFFF));
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == -1) return -1;
  socklen_t length = sizeof addr;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length) == -1) return -1;
  port = ntohs(addr.sin_port);
  return 0;
}

int CUDPConnection::UDPSend(const char* data, int len, const char* host, int peerPort) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  if (host == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (isdigit(static_cast<unsigned char>(host[0]))) {
    addr.sin_addr.s_addr = inet_addr(host);
  } else if (!ResolveHost(host, &addr.sin_addr)) {
    errno = EHOSTUNREACH;
    return -1;
  }
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(peerPort & 0xFFFF));
  return static_cast<int>(
      sendto(sock, data, static_cast<size_t>(len), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int CUDPConnection::UDPRecv(char* buf, int* len, char* senderHost, int* senderPort) {
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  socklen_t length = sizeof addr;
  ssize_t got = recvfrom(sock, buf, static_cast<size_t>(*len), 0, reinterpret_cast<sockaddr*>(&addr), &length);
  if (got == -1) return -1;
  if (senderHost != nullptr) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    strncpy(senderHost, text, ADDRESS_TEXT_SIZE);
    *senderPort = ntohs(addr.sin_port);
  }
  return static_cast<int>(got);
}

void PrintSockError(const char* msg) { perror(msg); }
