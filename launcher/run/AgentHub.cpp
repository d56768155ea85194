#include "launcher/run/AgentHub.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/wait.h>

namespace {

// A connection that has not sent the run's secret after this long is
// closed: the run goes on without it.
const double kProofTime = 5.0;
// The remote shell of an agent has ended while its connection is still
// open: its last reports may still be on their way for this long.
const double kReportGrace = 2.0;
// A write to an agent that takes longer than this loses the agent.
const int kSendTimeoutSeconds = 10;

// Compares without stopping at the first difference.
bool SameSecret(const char* got, size_t gotSize, const std::string& want) {
  unsigned diff = gotSize == want.size() ? 0 : 1;
  for (size_t i = 0; i < want.size() && i < gotSize; ++i) diff |= static_cast<unsigned char>(got[i] ^ want[i]);
  return diff == 0;
}

}  // namespace

bool AgentTakeMessage(const AgentMessage& m, const std::string& secret, std::vector<AgentLinkState>* agents,
                      int* self, std::vector<AgentEvent>* out) {
  if (*self < 0) {
    // The first message proves the connection, or ends it.
    if (m.type != kAgentHello || m.payload.size() != sizeof(AgentHello)) return false;
    AgentHello hello;
    memcpy(&hello, m.payload.data(), sizeof hello);
    if (!SameSecret(hello.secret, strnlen(hello.secret, sizeof hello.secret), secret)) return false;
    if (hello.agent < 0 || static_cast<size_t>(hello.agent) >= agents->size()) return false;
    AgentLinkState& a = (*agents)[static_cast<size_t>(hello.agent)];
    if (a.agent >= 0) return false;  // that agent has a connection already
    a.agent = hello.agent;
    *self = hello.agent;
    AgentEvent e;
    e.kind = AgentEvent::kLoggedIn;
    e.agent = hello.agent;
    out->push_back(e);
    return true;
  }
  AgentLinkState& a = (*agents)[static_cast<size_t>(*self)];
  if (m.type != kAgentStarted && m.type != kAgentEnded) return false;
  AgentRankEnd r{};
  memcpy(&r, m.payload.data(), std::min(m.payload.size(), sizeof r));
  auto it = std::lower_bound(a.ranks.begin(), a.ranks.end(), r.rank);
  if (it == a.ranks.end() || *it != r.rank || r.pid <= 0) return false;  // not a rank of this agent
  const size_t k = static_cast<size_t>(it - a.ranks.begin());
  if (a.ended[k]) return false;
  AgentEvent e;
  e.agent = *self;
  e.rank = r.rank;
  e.pid = r.pid;
  if (m.type == kAgentStarted) {
    e.kind = AgentEvent::kStarted;
  } else {
    e.kind = AgentEvent::kEnded;
    e.waitStatus = r.waitStatus;
    a.ended[k] = 1;
    --a.live;
  }
  out->push_back(e);
  return true;
}

bool AgentHub::Open() {
  unsigned char random[kAgentSecretLength / 2];
  size_t got = 0;
  while (got < sizeof random) {
    ssize_t n = getrandom(random + got, sizeof random - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fprintf(stderr, "tarvo: no random bytes for the run's secret: %s\n", strerror(errno));
      return false;
    }
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  secret_.clear();
  for (unsigned char b : random) {
    secret_ += kHex[b >> 4];
    secret_ += kHex[b & 15];
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof a;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 128) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    fprintf(stderr, "tarvo: cannot listen for the launch agents: %s\n", strerror(errno));
    return false;
  }
  port_ = ntohs(a.sin_port);
  return true;
}

int AgentHub::AddAgent(const std::string& host) {
  agents_.emplace_back();
  agents_.back().host = host;
  links_.emplace_back();
  return static_cast<int>(agents_.size()) - 1;
}

void AgentHub::AddRank(int agent, int rank, const std::vector<std::string>& words, int flags) {
  AgentRankHead head{rank, static_cast<int32_t>(words.size()), flags};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload += AgentStrings(words);
  agents_[static_cast<size_t>(agent)].outbox += AgentEncode(kAgentRank, payload.data(), payload.size());
  AgentLinkState& link = links_[static_cast<size_t>(agent)];
  link.ranks.push_back(rank);  // ranks are added in ascending order
  link.ended.push_back(0);
  ++link.live;
}

void AgentHub::ShellStarted(int agent, pid_t pid) {
  for (size_t i = 0; i < agents_.size(); ++i) {
    if (agent < 0 || static_cast<size_t>(agent) == i) agents_[i].shell = pid;
  }
}

void AgentHub::ShellEnded(int agent, int waitStatus, double now, std::vector<AgentEvent>* out) {
  for (size_t i = 0; i < agents_.size(); ++i) {
    if (agent >= 0 && static_cast<size_t>(agent) != i) continue;
    Agent& a = agents_[i];
    a.shellEnded = true;
    a.shellStatus = waitStatus;
    a.shellEndedAt = now;
  }
  // Without a connection nothing more can come: an agent that never
  // connected, or one whose connection is over.
  Tick(now, out);
}

void AgentHub::Fds(std::vector<pollfd>* fds) const {
  if (listenFd_ >= 0) fds->push_back({listenFd_, POLLIN, 0});
  for (const Conn& c : conns_) {
    if (c.fd >= 0) fds->push_back({c.fd, POLLIN, 0});
  }
}

void AgentHub::OnReady(const pollfd* fds, size_t count, double now, std::vector<AgentEvent>* out) {
  for (size_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    if (fds[i].fd == listenFd_) {
      Accept(now);
      continue;
    }
    for (size_t c = 0; c < conns_.size(); ++c) {
      if (conns_[c].fd == fds[i].fd) {
        Read(c, now, out);
        break;
      }
    }
  }
  // Closed connections leave their slot: agents refer to slots by index.
}

void AgentHub::Accept(double now) {
  for (int n = 0; n < 64; ++n) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    Conn c;
    c.fd = fd;
    c.since = now;
    conns_.push_back(std::move(c));
  }
}

void AgentHub::Read(size_t c, double now, std::vector<AgentEvent>* out) {
  (void)now;
  char buffer[65536];
  for (;;) {
    Conn& conn = conns_[c];
    ssize_t n = recv(conn.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      CloseConn(c, "closed its connection", out);
      return;
    }
    std::vector<AgentMessage> messages;
    const bool framed = conn.reader.Feed(buffer, static_cast<size_t>(n), &messages);
    for (const AgentMessage& m : messages) {
      const int before = conns_[c].agent;
      if (!AgentTakeMessage(m, secret_, &links_, &conns_[c].agent, out)) {
        CloseConn(c, "sent a malformed message", out);
        return;
      }
      if (before < 0 && conns_[c].agent >= 0) {
        // Proven: the agent gets its environment and its ranks.
        Agent& a = agents_[static_cast<size_t>(conns_[c].agent)];
        a.conn = static_cast<int>(c);
        const int fd = conns_[c].fd;
        const int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        timeval limit{kSendTimeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string all = AgentEncode(kAgentEnv, env_.data(), env_.size()) + a.outbox +
                          AgentEncode(kAgentAllSent, nullptr, 0);
        a.outbox.clear();
        const bool sent = AgentSendAll(fd, all);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        if (!sent) {
          CloseConn(c, "could not be sent its ranks", out);
          return;
        }
      }
    }
    if (!framed) {
      CloseConn(c, "sent a malformed message", out);
      return;
    }
  }
}

void AgentHub::CloseConn(size_t c, const char* why, std::vector<AgentEvent>* out) {
  Conn& conn = conns_[c];
  close(conn.fd);
  conn.fd = -1;
  const int agent = conn.agent;
  if (agent < 0) return;  // an unproven connection: nothing of the run depended on it
  agents_[static_cast<size_t>(agent)].conn = -1;
  if (links_[static_cast<size_t>(agent)].live > 0) Lose(agent, std::string("the agent ") + why, 1, out);
}

void AgentHub::Lose(int agent, const std::string& why, int status, std::vector<AgentEvent>* out) {
  Agent& a = agents_[static_cast<size_t>(agent)];
  if (a.lost) return;
  a.lost = true;
  AgentEvent e;
  e.kind = AgentEvent::kLost;
  e.agent = agent;
  e.why = why;
  e.status = status;
  out->push_back(e);
}

void AgentHub::Tick(double now, std::vector<AgentEvent>* out) {
  for (Conn& c : conns_) {
    if (c.fd >= 0 && c.agent < 0 && now - c.since >= kProofTime) {
      close(c.fd);
      c.fd = -1;
    }
  }
  for (size_t i = 0; i < agents_.size(); ++i) {
    Agent& a = agents_[i];
    if (!a.shellEnded || a.lost || links_[i].live == 0) continue;
    if (a.conn >= 0 && now - a.shellEndedAt < kReportGrace) continue;
    const int ws = a.shellStatus;
    int status = WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : WEXITSTATUS(ws);
    if (status == 0) status = 1;
    const size_t at = out->size();
    Lose(static_cast<int>(i), "its remote shell (pid " + std::to_string(a.shell) + ")", status, out);
    if (out->size() > at) {
      out->back().shellEnded = true;
      out->back().waitStatus = ws;
    }
  }
}

double AgentHub::NextDeadline(double now) const {
  double next = -1;
  auto atMost = [&](double at) {
    const double wait = std::max(0.0, at - now);
    if (next < 0 || wait < next) next = wait;
  };
  for (const Conn& c : conns_) {
    if (c.fd >= 0 && c.agent < 0) atMost(c.since + kProofTime);
  }
  for (size_t i = 0; i < agents_.size(); ++i) {
    const Agent& a = agents_[i];
    if (a.shellEnded && !a.lost && links_[i].live > 0) atMost(a.shellEndedAt + kReportGrace);
  }
  return next;
}

void AgentHub::Signal(int sig) {
  AgentSignal s{sig};
  const std::string frame = AgentEncode(kAgentSignal, &s, sizeof s);
  for (Agent& a : agents_) {
    if (a.conn >= 0) {
      // A small frame on a connection that is read all along: it fits the
      // socket's buffer; an agent that cannot take it is lost by its reader.
      (void)send(conns_[static_cast<size_t>(a.conn)].fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
}
