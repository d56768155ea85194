#include "launcher/run/AgentHub.h"

#include <errno.h>
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

#include "common/exit_status.h"
#include "common/net_socket.h"

namespace {

// A connection that has not sent the run's secret after this long is
// closed: the run goes on without it.
const double kProofTime = 5.0;
// The remote shell of an agent has ended while its connection is still
// open: its last reports may still be on their way for this long.
const double kReportGrace = 2.0;
// An agent whose connection takes none of what waits for it for this long
// is lost.
const double kSendTime = 10.0;

}  // namespace

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
  char err[NET_ERR_LEN];
  listenFd_ = NetTcpServer(err, 0, 128, &port_);
  if (listenFd_ < 0) {
    fprintf(stderr, "tarvo: cannot listen for the launch agents: %s\n", err);
    return false;
  }
  return true;
}

int AgentHub::AddAgent(const std::string& host, const std::string& job, const std::string& pmixJob) {
  agents_.emplace_back();
  agents_.back().host = host;
  agents_.back().outbox = window_;
  if (!job.empty()) agents_.back().outbox += AgentEncode(kAgentJob, job.data(), job.size());
  if (!pmixJob.empty()) agents_.back().outbox += AgentEncode(kAgentPmixJob, pmixJob.data(), pmixJob.size());
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

void AgentHub::AddChild(int agent, int job, int rank, const std::vector<std::string>& words,
                        const std::vector<std::string>& env, int flags) {
  AgentSpawnRankHead head{job, rank, static_cast<int32_t>(words.size()), flags};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload += AgentStrings(words) + AgentStrings(env);
  AgentLinkState& link = links_[static_cast<size_t>(agent)];
  link.children.insert({job, rank});
  link.given.insert({job, rank});
  ++link.live;
  Send({agent}, AgentEncode(kAgentSpawnRank, payload.data(), payload.size()));
}

void AgentHub::JobGo(const std::vector<int>& agents, int job, bool start) {
  std::vector<int> serving;
  for (int agent : agents) {
    if (!start) {
      AgentLinkState& link = links_[static_cast<size_t>(agent)];
      for (auto c = link.children.begin(); c != link.children.end();) {
        if (c->first != job) {
          ++c;
          continue;
        }
        link.given.erase(*c);
        c = link.children.erase(c);
        --link.live;
      }
    }
    if (Serving(agent)) serving.push_back(agent);
  }
  AgentJobRank go{job, -1, 0, start ? 0 : 1};
  if (!serving.empty()) Send(serving, AgentEncode(kAgentJobGo, &go, sizeof go));
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
    const short pending = !c.outbox.empty() ? POLLOUT : 0;
    if (c.fd >= 0) fds->push_back({c.fd, static_cast<short>(POLLIN | pending), 0});
  }
}

void AgentHub::OnReady(const pollfd* fds, size_t count, double now, std::vector<AgentEvent>* out) {
  now_ = now;
  for (size_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    if (fds[i].fd == listenFd_) {
      Accept(now);
      continue;
    }
    for (size_t c = 0; c < conns_.size(); ++c) {
      if (conns_[c].fd != fds[i].fd) continue;
      if (fds[i].revents & ~POLLOUT) Read(c, now, out);  // data, its end, or an error
      if ((fds[i].revents & POLLOUT) && conns_[c].fd == fds[i].fd && !Flush(c, now)) {
        CloseConn(c, WriteFailure(c), out);
      }
      break;
    }
  }
}

size_t AgentHub::Unproven() const {
  size_t n = 0;
  for (const Conn& c : conns_) n += c.fd >= 0 && c.agent < 0 ? 1 : 0;
  return n;
}

void AgentHub::Accept(double now) {
  size_t room = kStrangerRoom;
  for (const AgentLinkState& link : links_) room += link.agent < 0 ? 1 : 0;
  size_t unproven = Unproven();
  for (int n = 0; n < 64; ++n) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (unproven >= room) {
      close(fd);
      if (!refusing_) {
        fprintf(stderr,
                "tarvo: more than %zu connections to the agent port have not proved themselves; closing new ones\n",
                room);
      }
      refusing_ = true;
      continue;
    }
    refusing_ = false;
    ++unproven;
    // A free slot first: agents refer to their connection's slot by index,
    // which stays put while the connection is open.
    size_t c = 0;
    while (c < conns_.size() && conns_[c].fd >= 0) ++c;
    if (c == conns_.size()) conns_.emplace_back();
    conns_[c].fd = fd;
    conns_[c].since = now;
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
      const size_t at = out->size();
      if (!AgentTakeMessage(m, secret_, &links_, &conns_[c].agent, out)) {
        CloseConn(c, "sent a malformed message", out);
        return;
      }
      if (out->size() > at && out->back().kind == AgentEvent::kTopology) {
        const AgentEvent told = std::move(out->back());
        out->pop_back();
        TakeTopology(told, out);
      }
      if (before < 0 && conns_[c].agent >= 0) {
        // Proven: the agent gets its environment and its ranks, or first
        // the question of its topology, which its ranks wait for.
        // What the socket does not take now goes out as poll finds room.
        Agent& a = agents_[static_cast<size_t>(conns_[c].agent)];
        a.conn = static_cast<int>(c);
        int one = 1;
        setsockopt(conns_[c].fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (Holding()) {
          Queue(c, std::make_shared<const std::string>(AgentEncode(kAgentEnv, env_.data(), env_.size()) + ask_), now);
        } else {
          Queue(c,
                std::make_shared<const std::string>(AgentEncode(kAgentEnv, env_.data(), env_.size()) + a.outbox +
                                                    AgentEncode(kAgentAllSent, nullptr, 0)),
                now);
          a.outbox.clear();
          a.outbox.shrink_to_fit();
        }
        if (!Flush(c, now)) {
          CloseConn(c, WriteFailure(c), out);
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

// Whether the run needs the agent still: it has ranks that have not
// ended, or the run waits for its topology.
bool AgentHub::Needed(size_t agent) const {
  return links_[agent].live > 0 || (Holding() && !agents_[agent].answered);
}

void AgentHub::Queue(size_t c, std::shared_ptr<const std::string> bytes, double now) {
  Conn& conn = conns_[c];
  if (conn.broken || bytes->empty()) return;
  if (conn.outbox.empty()) {
    conn.outAt = 0;
    conn.movedAt = now;  // the wait for the socket starts now
  }
  conn.outbox.push_back(std::move(bytes));
}

// Writes as much of the outbox as the socket takes now. False when the
// connection failed.
bool AgentHub::Flush(size_t c, double now) {
  Conn& conn = conns_[c];
  while (!conn.outbox.empty()) {
    const std::string& first = *conn.outbox.front();
    if (conn.outAt == first.size()) {
      conn.outbox.pop_front();
      conn.outAt = 0;
      continue;
    }
    const ssize_t n = send(conn.fd, first.data() + conn.outAt, first.size() - conn.outAt, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) {
      conn.broken = true;
      conn.outbox.clear();
      conn.outAt = 0;
      return false;
    }
    conn.outAt += static_cast<size_t>(n);
    conn.movedAt = now;
  }
  conn.outAt = 0;
  conn.delivered = true;
  return true;
}

// Why a connection whose write failed, or stalled, is closed: as its reader
// would say once its ranks are out.
const char* AgentHub::WriteFailure(size_t c) const {
  return conns_[c].delivered ? "closed its connection" : "could not be sent its ranks";
}

void AgentHub::CloseConn(size_t c, const char* why, std::vector<AgentEvent>* out) {
  const int agent = conns_[c].agent;
  close(conns_[c].fd);
  conns_[c] = Conn();  // the slot is free for the next connection
  if (agent < 0) return;  // an unproven connection: nothing of the run depended on it
  agents_[static_cast<size_t>(agent)].conn = -1;
  if (Needed(static_cast<size_t>(agent))) Lose(agent, std::string("the agent ") + why, 1, out);
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
  e.untold = Holding();
  out->push_back(e);
}

void AgentHub::Tick(double now, std::vector<AgentEvent>* out) {
  now_ = now;
  for (size_t c = 0; c < conns_.size(); ++c) {
    const Conn& conn = conns_[c];
    if (conn.fd < 0) continue;
    if (conn.agent < 0 && now - conn.since >= kProofTime) {
      CloseConn(c, "", out);
    } else if (conn.broken || (!conn.outbox.empty() && now - conn.movedAt >= kSendTime)) {
      CloseConn(c, WriteFailure(c), out);
    }
  }
  for (size_t i = 0; i < agents_.size(); ++i) {
    Agent& a = agents_[i];
    if (!a.shellEnded || a.lost || !Needed(i)) continue;
    if (a.conn >= 0 && now - a.shellEndedAt < kReportGrace) continue;
    const int ws = a.shellStatus;
    int status = ShellStatus(ws);
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
    if (c.fd >= 0 && c.broken) atMost(now);
    if (c.fd >= 0 && !c.outbox.empty()) atMost(c.movedAt + kSendTime);
  }
  for (size_t i = 0; i < agents_.size(); ++i) {
    const Agent& a = agents_[i];
    if (a.shellEnded && !a.lost && Needed(i)) atMost(a.shellEndedAt + kReportGrace);
  }
  return next;
}

void AgentHub::Signal(int sig) {
  AgentSignal s{sig};
  Broadcast(AgentEncode(kAgentSignal, &s, sizeof s));
}

std::vector<int> AgentHub::AskStacks(int samples) {
  std::vector<int> asked;
  const int32_t ask = samples;
  const auto frame = std::make_shared<const std::string>(AgentEncode(kAgentStacksAsk, &ask, sizeof ask));
  for (size_t i = 0; i < agents_.size(); ++i) {
    if (agents_[i].conn < 0 || links_[i].live == 0) continue;
    const size_t c = static_cast<size_t>(agents_[i].conn);
    Queue(c, frame, now_);
    (void)Flush(c, now_);
    asked.push_back(static_cast<int>(i));
  }
  return asked;
}

void AgentHub::AddPlace(int agent, const std::string& payload) {
  agents_[static_cast<size_t>(agent)].outbox += AgentEncode(kAgentPlace, payload.data(), payload.size());
}

void AgentHub::Send(const std::vector<int>& agents, std::string frames) {
  const auto frame = std::make_shared<const std::string>(std::move(frames));
  for (int agent : agents) {
    if (agent < 0 || static_cast<size_t>(agent) >= agents_.size()) continue;
    Agent& a = agents_[static_cast<size_t>(agent)];
    if (a.conn < 0) {
      // Not yet proven (a direct modex's request may come first): it goes
      // out with the agent's ranks.
      if (!a.lost) a.outbox += *frame;
      continue;
    }
    const size_t c = static_cast<size_t>(a.conn);
    Queue(c, frame, now_);
    (void)Flush(c, now_);
  }
}

void AgentHub::Broadcast(std::string frames) {
  const auto frame = std::make_shared<const std::string>(std::move(frames));
  for (Agent& a : agents_) {
    if (a.conn < 0) continue;
    // Behind whatever the agent has not taken yet; a failed write closes
    // the connection at the next Tick.
    const size_t c = static_cast<size_t>(a.conn);
    Queue(c, frame, now_);
    (void)Flush(c, now_);
  }
}
