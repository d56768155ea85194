// The descriptors around a Pmi1Engine: one host's PMI-1 server, shared by
// tarvo (its own host's ranks, and in rank mode the TCP endpoint for ranks
// started through remote shells) and the launch agent (its host's ranks).
// No thread of its own: the owner polls Fds() in its loop and hands the
// ready ones to OnReady, which answers the ranks and says what the owner
// must do (the fence between hosts, an abort, a broken connection).
//
//   Pmi1Server server(facts);
//   int end = server.OpenClient(c);     // the child's end: PMI_FD of client c
//   ... start the rank; in the child clear end's close-on-exec ...
//   server.ChildStarted(c);             // the server's copy of that end closes
//   server.Fds(&fds); poll(...); server.OnReady(fds, n, now, &events);
//   server.CompleteBarrier(unionOfEveryHostsPuts, &events);
#ifndef TARVO_PMI_PMI1_SERVER_H
#define TARVO_PMI_PMI1_SERVER_H

#include <poll.h>

#include <functional>
#include <string>
#include <vector>

#include "common/ready_set.h"
#include "pmi/pmi1_engine.h"

namespace pmi {

struct ServerEvent {
  enum Kind {
    kBarrier,   // every local client entered barrier_in: `puts` to the other hosts
    kAbort,     // client asked to end the job with exitCode
    kBreak,     // client broke the framing; its connection is closed (text: how)
    kStranger,  // a TCP connection was refused (sender: its address)
    kLeft,      // client closed its connection after init, without finalize
    kFull,      // client's put was refused: the key-value space is full
    kName,      // client's name request (text: the verb; puts: service, port): Answer it
  };
  Kind kind = kBarrier;
  int client = -1;
  int exitCode = 0;
  std::string text;
  std::string sent;  // kBreak: what the client sent, as pmi::ShownLine gives it
  std::string sender;
  KeyValues puts;
};

/// The environment that tells a rank where its server is, for a rank of
/// `size` whose end of the socketpair is `fd`.
std::vector<std::string> ClientEnvironment(int fd, int rank, int size);
/// True for NAME=VALUE entries that ClientEnvironment (or PMI_PORT) sets,
/// which a rank must not inherit from the launcher's own environment.
bool IsClientVariable(const char* entry);

/// A TCP socket bound to `port` of every address (0: a port that the kernel
/// picks), not yet listening, closed on exec; -1 with errno when the port
/// cannot be had. `*bound` gets the port's number.
int BindTcpPort(int port, int* bound);

class Pmi1Server {
 public:
  /// Unproven TCP connections held at once; a new one beyond is closed.
  static constexpr size_t kUnprovenRoom = 64;
  /// Seconds a TCP connection has to send its initack.
  static constexpr double kProofTime = 10.0;

  explicit Pmi1Server(JobFacts facts, Pmi1Serving serving = Pmi1Serving());
  ~Pmi1Server();
  Pmi1Server(const Pmi1Server&) = delete;
  Pmi1Server& operator=(const Pmi1Server&) = delete;

  Pmi1Engine& Engine() { return engine_; }
  int Clients() const { return engine_.Clients(); }

  /// A connected socketpair for client c. Both ends are close-on-exec; the
  /// child clears it on the returned end. -1 when none can be had (the
  /// rank then starts without PMI_FD, as a singleton).
  int OpenClient(int client);
  /// OpenClient for rank `rank` of a spawned job of `size` ranks, with the
  /// variables for its environment added to *env (none when it returns -1):
  /// ClientEnvironment's, and PMI_SPAWNED=1.
  int OpenSpawnedClient(int client, int rank, int size, std::vector<std::string>* env);
  /// The rank of client c has been started (or could not be): the server's
  /// copy of the child's end closes.
  void ChildStarted(int client);

  /// The TCP endpoint for ranks without a descriptor (PMI_PORT), on `bound`
  /// (from BindTcpPort; the server owns it from here). `admit` tells whether a
  /// sender's dotted address is a host of the run; rankOfId maps a PMI_ID to
  /// a rank. False when `bound` is -1 or cannot listen.
  bool Listen(int bound, std::function<bool(const char*)> admit, std::function<int(const std::string&)> rankOfId);

  /// A few descriptors whatever the number of clients: the connections are
  /// waited on through one set, which reports only those that have sent.
  void Fds(std::vector<pollfd>* fds) const;
  /// Reads what the ready descriptors hold (others are skipped) and
  /// answers. `now` in seconds, for the TCP endpoint's proof time.
  void OnReady(const pollfd* fds, size_t count, double now, std::vector<ServerEvent>* out);
  /// Closes TCP connections that have not proven themselves in time.
  void Tick(double now, std::vector<ServerEvent>* out);
  /// The process of client c has ended: what its connection still holds is
  /// read, and its close (kLeft when it had not finalized) is taken now
  /// rather than at the next poll, which may never come.
  void ClientEnded(int client, std::vector<ServerEvent>* out);
  /// A reply line (without '\n') to client: the answer to its kName.
  void Answer(int client, const std::string& line, std::vector<ServerEvent>* out) { Send(client, line + "\n", out); }
  /// Empties the queue of the spawns that clients have asked for since the
  /// last call (when the engine serves spawns) into *spawns, with their
  /// clients; each is answered with Answer(client, Pmi1SpawnReply(...)).
  void DrainSpawns(std::vector<int>* clients, std::vector<Pmi1Spawn>* spawns) {
    clients->swap(spawnClients_);
    spawns->swap(spawns_);
    spawnClients_.clear();
    spawns_.clear();
  }
  /// The union of every host's puts: barrier_out to every waiting client.
  void CompleteBarrier(const KeyValues& all, std::vector<ServerEvent>* out);

 private:
  struct Conn {
    int fd = -1;
    int client = -1;  // -1: a TCP connection before its initack
    bool polled = false;  // not in ready_, which took no more: in Fds itself
    double since = 0;
    std::string sender;
    LineFramer framer;
  };

  void Accept(double now, std::vector<ServerEvent>* out);
  // Connection c, just opened, into ready_.
  void Watch(size_t c);
  // False when nothing more is to be read now (the connection may be closed).
  bool Read(size_t c, std::vector<ServerEvent>* out);
  // Connection c has closed under its client.
  void Gone(size_t c, std::vector<ServerEvent>* out);
  void Act(std::vector<Action>& actions, std::vector<ServerEvent>* out);
  void Send(int client, const std::string& text, std::vector<ServerEvent>* out);
  void Close(size_t c);
  size_t ConnOf(int client) const;

  Pmi1Engine engine_;
  std::vector<Conn> conns_;
  std::vector<int> childEnds_;  // by client, -1 once the child has it
  std::vector<int> connOf_;     // by client: index into conns_, -1 for none
  std::vector<int> spawnClients_;
  std::vector<Pmi1Spawn> spawns_;
  int listenFd_ = -1;
  ReadySet ready_;  // the open connections, by index into conns_
  std::function<bool(const char*)> admit_;
  std::function<int(const std::string&)> rankOfId_;
};

}  // namespace pmi

#endif  // TARVO_PMI_PMI1_SERVER_H
