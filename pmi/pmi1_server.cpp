#include "pmi/pmi1_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "common/net_socket.h"
#include "common/pmi_env.h"

namespace pmi {

std::vector<std::string> ClientEnvironment(int fd, int rank, int size) {
  return {TARVO_PMI_FD "=" + std::to_string(fd), TARVO_PMI_RANK "=" + std::to_string(rank),
          TARVO_PMI_SIZE "=" + std::to_string(size)};
}

bool IsClientVariable(const char* entry) {
  for (const char* name : {TARVO_PMI_FD "=", TARVO_PMI_RANK "=", TARVO_PMI_SIZE "=", TARVO_PMI_PORT "=", TARVO_PMI_ID "="}) {
    if (strncmp(entry, name, strlen(name)) == 0) return true;
  }
  return false;
}

int Pmi1Server::OpenSpawnedClient(int client, int rank, int size, std::vector<std::string>* env) {
  const int fd = OpenClient(client);
  if (fd < 0) return -1;
  const std::vector<std::string> pmi = ClientEnvironment(fd, rank, size);
  env->insert(env->end(), pmi.begin(), pmi.end());
  // MPICH's client reads it to know that it has a parent, as under hydra.
  env->push_back("PMI_SPAWNED=1");
  return fd;
}

Pmi1Server::Pmi1Server(JobFacts facts, Pmi1Serving serving)
    : engine_(std::move(facts), serving),
      childEnds_(static_cast<size_t>(engine_.Clients()), -1),
      connOf_(static_cast<size_t>(engine_.Clients()), -1) {}

Pmi1Server::~Pmi1Server() {
  for (Conn& c : conns_) {
    if (c.fd >= 0) close(c.fd);
  }
  for (int fd : childEnds_) {
    if (fd >= 0) close(fd);
  }
  if (listenFd_ >= 0) close(listenFd_);
}

int Pmi1Server::OpenClient(int client) {
  int ends[2];
  if (client < 0 || client >= Clients() || connOf_[static_cast<size_t>(client)] >= 0 ||
      socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return -1;
  }
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  size_t c = 0;
  while (c < conns_.size() && conns_[c].fd >= 0) ++c;
  if (c == conns_.size()) conns_.emplace_back();
  conns_[c] = Conn();
  conns_[c].fd = ends[0];
  conns_[c].client = client;
  connOf_[static_cast<size_t>(client)] = static_cast<int>(c);
  childEnds_[static_cast<size_t>(client)] = ends[1];
  Watch(c);
  return ends[1];
}

void Pmi1Server::ChildStarted(int client) {
  if (client < 0 || client >= Clients()) return;
  int& end = childEnds_[static_cast<size_t>(client)];
  if (end >= 0) close(end);
  end = -1;
}

int BindTcpPort(int port, int* bound) {
  return NetTcpServer(nullptr, port, 0, bound);
}

bool Pmi1Server::Listen(int bound, std::function<bool(const char*)> admit,
                        std::function<int(const std::string&)> rankOfId) {
  if (bound < 0 || listen(bound, 128) != 0) {
    if (bound >= 0) close(bound);
    return false;
  }
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = bound;
  admit_ = std::move(admit);
  rankOfId_ = std::move(rankOfId);
  return true;
}

void Pmi1Server::Watch(size_t c) {
  epoll_data_t key{};
  key.u32 = static_cast<uint32_t>(c);
  conns_[c].polled = !ready_.Add(conns_[c].fd, key);
}

void Pmi1Server::Fds(std::vector<pollfd>* fds) const {
  if (listenFd_ >= 0) fds->push_back({listenFd_, POLLIN, 0});
  if (ready_.Ok()) fds->push_back({ready_.Fd(), POLLIN, 0});
  for (const Conn& c : conns_) {
    if (c.fd >= 0 && c.polled) fds->push_back({c.fd, POLLIN, 0});
  }
}

size_t Pmi1Server::ConnOf(int client) const {
  const int c = client >= 0 && client < Clients() ? connOf_[static_cast<size_t>(client)] : -1;
  return c < 0 ? conns_.size() : static_cast<size_t>(c);
}

void Pmi1Server::OnReady(const pollfd* fds, size_t count, double now, std::vector<ServerEvent>* out) {
  for (size_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0 || fds[i].fd < 0) continue;
    if (fds[i].fd == listenFd_) {
      Accept(now, out);
      continue;
    }
    if (fds[i].fd == ready_.Fd()) {
      // A connection closed by an answer to another may come up here, its
      // slot perhaps a new one's since: a read of it finds nothing.
      epoll_data_t keys[64];
      const int n = ready_.Wait(keys, 64, 0);
      for (int k = 0; k < n; ++k) {
        if (keys[k].u32 < conns_.size() && conns_[keys[k].u32].fd >= 0) Read(keys[k].u32, out);
      }
      continue;
    }
    for (size_t c = 0; c < conns_.size(); ++c) {
      if (conns_[c].fd == fds[i].fd) {
        Read(c, out);
        break;
      }
    }
  }
}

void Pmi1Server::Accept(double now, std::vector<ServerEvent>* out) {
  for (int n = 0; n < 64; ++n) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    char dotted[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
    size_t unproven = 0;
    for (const Conn& c : conns_) unproven += c.fd >= 0 && c.client < 0 ? 1 : 0;
    if (unproven >= kUnprovenRoom || !admit_(dotted)) {
      close(fd);
      ServerEvent e;
      e.kind = ServerEvent::kStranger;
      e.sender = dotted;
      out->push_back(e);
      continue;
    }
    size_t c = 0;
    while (c < conns_.size() && conns_[c].fd >= 0) ++c;
    if (c == conns_.size()) conns_.emplace_back();
    conns_[c] = Conn();
    conns_[c].fd = fd;
    conns_[c].since = now;
    conns_[c].sender = dotted;
    Watch(c);
  }
}

bool Pmi1Server::Read(size_t c, std::vector<ServerEvent>* out) {
  char buffer[16384];
  ssize_t n = recv(conns_[c].fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  if (n <= 0) {
    Gone(c, out);  // the rank has ended (or closed its end); the engine keeps its state
    return false;
  }
  std::vector<std::string> lines;
  const bool framed = conns_[c].framer.Feed(buffer, static_cast<size_t>(n), &lines);
  for (const std::string& line : lines) {
    if (conns_[c].fd < 0) return false;  // closed by an earlier line
    std::vector<Action> actions;
    if (conns_[c].client < 0) {
      const int client = engine_.TakeInitack(line, rankOfId_, &actions);
      if (client < 0) {
        ServerEvent e;
        e.kind = ServerEvent::kStranger;
        e.sender = conns_[c].sender;
        out->push_back(e);
        Close(c);
        return false;
      }
      conns_[c].client = client;
      connOf_[static_cast<size_t>(client)] = static_cast<int>(c);
    } else {
      engine_.Take(conns_[c].client, line, &actions);
    }
    Act(actions, out);
  }
  if (!framed && conns_[c].fd >= 0) {
    ServerEvent e;
    e.kind = conns_[c].client < 0 ? ServerEvent::kStranger : ServerEvent::kBreak;
    e.client = conns_[c].client;
    e.sender = conns_[c].sender;
    e.text = "a line over " + std::to_string(kMaxLine) + " bytes or with a NUL byte";
    e.sent = ShownLine(conns_[c].framer.BrokenLine());
    out->push_back(e);
    Close(c);
  }
  return conns_[c].fd >= 0;
}

void Pmi1Server::Gone(size_t c, std::vector<ServerEvent>* out) {
  const int client = conns_[c].client;
  Close(c);
  if (client >= 0 && engine_.Left(client)) {
    ServerEvent e;
    e.kind = ServerEvent::kLeft;
    e.client = client;
    out->push_back(e);
  }
}

void Pmi1Server::ClientEnded(int client, std::vector<ServerEvent>* out) {
  // What the rank sent before its end is read first: its finalize may be
  // among it. A connection that another process still holds stays open.
  for (int n = 0; n < 64; ++n) {
    const size_t c = ConnOf(client);
    if (c >= conns_.size() || !Read(c, out)) return;
  }
}

// The actions are taken apart: a barrier's puts (up to the key-value
// space's bound) move on rather than being copied.
void Pmi1Server::Act(std::vector<Action>& actions, std::vector<ServerEvent>* out) {
  for (Action& a : actions) {
    ServerEvent e;
    e.client = a.client;
    switch (a.kind) {
      case Action::kReply:
        Send(a.client, a.text, out);
        continue;
      case Action::kFinalize:
        continue;
      case Action::kFull:
        e.kind = ServerEvent::kFull;
        break;
      case Action::kName:
        e.kind = ServerEvent::kName;
        e.text = a.text;
        e.puts = std::move(a.puts);
        break;
      case Action::kSpawn:
        spawns_.push_back(std::move(a.spawn));
        spawnClients_.push_back(a.client);
        continue;
      case Action::kBarrier:
        e.kind = ServerEvent::kBarrier;
        e.puts = std::move(a.puts);
        break;
      case Action::kAbort:
        e.kind = ServerEvent::kAbort;
        e.exitCode = a.exitCode;
        break;
      case Action::kBreak:
        e.kind = ServerEvent::kBreak;
        e.text = a.text;
        e.sent = a.sent;
        const size_t c = ConnOf(a.client);
        if (c < conns_.size()) Close(c);
        break;
    }
    out->push_back(std::move(e));
  }
}

// One reply line. A client reads its reply before it sends its next
// request, so a socket that cannot take a line whole now belongs to a client
// that does not read: it breaks the protocol, and is not waited for.
void Pmi1Server::Send(int client, const std::string& text, std::vector<ServerEvent>* out) {
  const size_t c = ConnOf(client);
  if (c >= conns_.size()) return;  // its connection is gone
  ssize_t n;
  do {
    n = send(conns_[c].fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(text.size())) return;
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    Gone(c, out);  // the rank has gone
    return;
  }
  ServerEvent e;
  e.kind = ServerEvent::kBreak;
  e.client = client;
  e.text = "it does not read its replies";
  e.sent = ShownLine(text);  // the reply it did not take
  out->push_back(e);
  Close(c);
}

void Pmi1Server::Close(size_t c) {
  Conn& conn = conns_[c];
  if (conn.fd >= 0) {
    ready_.Remove(conn.fd);
    close(conn.fd);
  }
  if (conn.client >= 0 && connOf_[static_cast<size_t>(conn.client)] == static_cast<int>(c)) {
    connOf_[static_cast<size_t>(conn.client)] = -1;
  }
  conn = Conn();
}

void Pmi1Server::Tick(double now, std::vector<ServerEvent>* out) {
  for (size_t c = 0; c < conns_.size(); ++c) {
    if (conns_[c].fd < 0 || conns_[c].client >= 0 || now - conns_[c].since < kProofTime) continue;
    ServerEvent e;
    e.kind = ServerEvent::kStranger;
    e.sender = conns_[c].sender;
    out->push_back(e);
    Close(c);
  }
}

void Pmi1Server::CompleteBarrier(const KeyValues& all, std::vector<ServerEvent>* out) {
  std::vector<Action> actions;
  if (engine_.CompleteBarrier(all, &actions)) Act(actions, out);
}

}  // namespace pmi
