// The PMI-1 server of one host, as a pure engine: request lines of that
// host's ranks go in, reply lines and events come out. It holds the host's
// copy of the job's key/value space and its part of the barrier; the caller
// owns the descriptors, the threads and the exchange between hosts.
//
//   Pmi1Engine engine(facts);              // facts.clients: this host's ranks
//   engine.Take(client, line, &out);       // a line from LineFramer, without '\n'
//   for (const Action& a : out) ...        // reply, barrier, abort, finalize, break
//   engine.CompleteBarrier(all, &out);     // the union of every host's new puts
//
// The rules, beyond the request/reply table of the protocol:
// - A line is space-separated key=value words whose first word is cmd=NAME
//   (or mcmd=NAME); a value ends at the next space, and of two words with
//   the same key the first counts. A line of any other shape, a NAME that is
//   not 1 to 64 letters, digits, '_' or '-', and any request from a client
//   that waits for barrier_out (one request at a time) break the framing:
//   Action::kBreak, the caller ends that client's connection, and the engine
//   ignores the client from then on. So does a line of kMaxLine bytes or
//   more, or one with a NUL, whoever cut it.
// - An unknown command NAME is answered "cmd=NAME_result rc=-1
//   msg=unknown_command". Texts after msg= have no spaces, as the client
//   splits words on spaces.
// - put and get before a successful init, with another kvsname, without a
//   key, with a key over keylen_max or a value that would not fit a get's
//   reply line (kValueStoreMax) are answered rc=-1; so is a second init, and
//   an init whose pmi_version is not 1. PMI_process_mapping is the server's
//   own key: a put of it is refused. Other requests need no init.
// - A get of a value whose reply would not fit a line (only a long mapping,
//   never a put) is answered rc=-1, as for a missing key: MPICH then finds
//   the nodes by itself.
// - mcmd=NAME opens a multi-line request: lines of one key=value each (the
//   value is the rest of the line, spaces included) up to one that is
//   "endcmd". A block without its endcmd within kMaxBlockLines lines breaks
//   the framing. Any NAME but spawn is answered "cmd=NAME_result rc=-1
//   msg=not_supported" after its endcmd.
// - mcmd=spawn (MPICH's spawn): one block per command of the spawn, each
//   with nprocs, execname, totspawns, spawnssofar (1, 2, ... totspawns),
//   argcnt with arg1..argN, preput_num with preput_key_I/preput_val_I and
//   info_num with info_key_I/info_val_I (I from 0). Nothing answers before
//   the last block; then, serving spawns, Action::kSpawn carries the whole
//   request and the caller answers (Pmi1SpawnReply); without it, or when a
//   block is garbled (a field missing or not a number, nprocs < 1, a count
//   over its bound, blocks out of order), "cmd=spawn_result rc=-1 msg=..."
//   answers at once. Blocks out of order answer at the block that shows it.
// - publish_name, unpublish_name and lookup_name (service=, port=) are
//   answered publish_result, unpublish_result and lookup_result from the
//   run's NameTable that Pmi1Serving::names gives (info=ok, and port= for a
//   lookup; rc=-1 with another info= when it fails; a lookup never waits);
//   with Pmi1Serving::forwardNames instead, as Action::kName, whose answer the caller
//   sends (Pmi1NameReply) once the run's table has given it; with neither,
//   with rc=-1.
// - abort has no reply: Action::kAbort, and the client is ignored from then
//   on. finalize is acknowledged every time; Action::kFinalize comes once.
// - The barrier: once every client of this host has entered barrier_in
//   (including one that has ended since), Action::kBarrier carries the puts
//   made on this host since the last barrier. The caller collects every
//   host's and hands the union to each host's CompleteBarrier, which stores
//   it (it wins over a local put of the same key) and answers barrier_out to
//   every client that waits. Local puts are seen by local gets at once.
// - A put that would take the keys and values of this host's copy of the
//   space over JobFacts::kvsLimit is answered rc=-1 msg=key-value_space_full;
//   the first such put of the engine also comes as Action::kFull.
#ifndef TARVO_PMI_PMI1_ENGINE_H
#define TARVO_PMI_PMI1_ENGINE_H

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pmi/line_framer.h"
#include "pmi/name_table.h"

namespace pmi {

// The maxima that get_maxes announces.
constexpr std::size_t kKvsnameMax = 256;
constexpr std::size_t kKeyMax = 64;
constexpr std::size_t kValueMax = 1024;
// The longest value stored: "cmd=get_result rc=0 msg=success value=" (38
// bytes), the value and '\n' fit in kMaxLine. A put line with its kvsname
// and key cannot carry a value much longer anyway.
constexpr std::size_t kValueStoreMax = kMaxLine - 39;
constexpr char kMappingKey[] = "PMI_process_mapping";

using KeyValues = std::map<std::string, std::string>;

// Bounds of a multi-line request: lines of one block, and what a spawn's
// blocks may hold.
constexpr int kMaxBlockLines = 1024;
constexpr int kMaxSpawnCommands = 64;
constexpr int kMaxSpawnArgs = 256;
constexpr int kMaxSpawnPairs = 64;  // preput and info pairs, each

// One command of a PMI-1 spawn (a block of mcmd=spawn).
struct Pmi1SpawnCommand {
  std::string execname;
  std::vector<std::string> args;  // arg1.. (the program's name not among them)
  int nprocs = 0;
  std::vector<std::pair<std::string, std::string>> info;  // in the block's order
};

// A client's whole spawn: its commands in order, and the keys that the new
// job's key-value space holds from the start (the first block's preputs;
// of a key given twice the first counts).
struct Pmi1Spawn {
  int rank = -1;  // the client's rank
  std::vector<Pmi1SpawnCommand> commands;
  KeyValues preput;
};

// One local rank, that is one client of the engine; a client's number is
// its index in JobFacts::clients.
struct LocalRank {
  int rank = 0;
  int appnum = 0;  // the program's line in a program-file run, else 0
};

struct JobFacts {
  std::string kvsname;  // 1 to kKvsnameMax letters, digits, '_' or '-'
  int size = 0;         // ranks in the whole job
  int universeSize = 0;
  std::string processMapping;  // served as PMI_process_mapping; empty: none
  std::vector<LocalRank> clients;
  // Bytes of keys and values that the job's key-value space may hold (this
  // host's copy: the union of earlier fences and its own puts); 0: no bound.
  std::size_t kvsLimit = 0;
  // This engine serves every rank of the job: a barrier's union is its own
  // puts, which it holds already, so kBarrier carries none (and
  // CompleteBarrier is given an empty union).
  bool alone = false;
};

struct Action {
  enum Kind {
    kReply,     // send text (one line, '\n' included) to client
    kBarrier,   // every local client entered: exchange puts, then CompleteBarrier
    kAbort,     // client asked to end the job with exitCode
    kFinalize,  // client finalized (its end from now on is a clean one)
    kBreak,     // client broke the framing (text says how): end its connection
    kFull,      // client's put was refused as the key-value space is full (once per engine)
    kName,      // client's name request for the run's table (text: publish, unpublish or lookup;
                // puts: service and port), with Pmi1Serving::forwardNames
    kSpawn,     // client's spawn (spawn), with Pmi1Serving::spawns: answer with Pmi1SpawnReply
  };
  Kind kind = kReply;
  int client = -1;   // -1 for kBarrier
  std::string text;  // kReply: the line; kBreak: what was wrong
  std::string sent;  // kBreak: the line that broke it, as ShownLine gives it
  int exitCode = 0;  // kAbort
  KeyValues puts;    // kBarrier: this host's puts since the last barrier (none when alone)
  Pmi1Spawn spawn;   // kSpawn
};

// What an engine does with requests beyond its job's key-value space.
struct Pmi1Serving {
  // The run's name table (owned by the caller, which outlives the engine's
  // use of it); null: names are forwarded or refused.
  NameTable* names = nullptr;
  // The run's name table is elsewhere (an agent's engine): name requests
  // come out as Action::kName.
  bool forwardNames = false;
  // Spawns come out as Action::kSpawn; else they are refused.
  bool spawns = false;
};

class Pmi1Engine {
 public:
  explicit Pmi1Engine(JobFacts facts, Pmi1Serving serving = Pmi1Serving());

  int Clients() const { return static_cast<int>(clients_.size()); }
  const std::string& Kvsname() const { return facts_.kvsname; }

  // Keys that the job's space holds before any rank starts (a spawned
  // job's preput keys); PMI_process_mapping stays the server's own.
  void Preput(const KeyValues& keys);

  // One request line of client (0 <= client < Clients()), without its '\n'.
  void Take(int client, const std::string& line, std::vector<Action>* out);

  // The first line of a connection to the TCP endpoint (PMI_PORT), which
  // must be "cmd=initack pmiid=ID". rankOfId maps ID to its rank (-1 for
  // none). A known ID of a local rank whose client has neither attached nor
  // sent anything yet returns that client, with the replies initack, set
  // size, set rank and set debug=0 in *out; anything else returns -1 and
  // nothing: the caller closes the connection and counts it as a stranger.
  int TakeInitack(const std::string& line, const std::function<int(const std::string&)>& rankOfId,
                  std::vector<Action>* out);

  // The union of every host's puts of the barrier that this host handed up
  // (Action::kBarrier). Answers barrier_out to every waiting client. False
  // and nothing done when no barrier waits for its union.
  bool CompleteBarrier(const KeyValues& all, std::vector<Action>* out);

  // For the run control: a client that waits for barrier_out, and one that
  // has finalized.
  bool InBarrier(int client) const;
  bool Finalized(int client) const;

  // The client's connection has closed. True, once, when it had initialised
  // and neither finalized, aborted nor broke the framing: a rank that leaves
  // so has failed, whatever its exit status (the others may wait for it
  // in a collective operation that only the network carries). The engine
  // ignores the client from then on.
  bool Left(int client);

 private:
  struct ClientState {
    LocalRank facts;
    bool spoke = false;     // sent a line (or attached through initack)
    bool initialized = false;
    bool waiting = false;   // entered barrier_in, no barrier_out yet
    bool finalized = false;
    bool ended = false;     // aborted or broke the framing
    std::string multiLine;  // NAME of an open mcmd=NAME request
    int blockLines = 0;     // lines of the open block so far
    std::vector<std::pair<std::string, std::string>> block;  // its lines, key and value
    Pmi1Spawn spawn;        // the blocks of a spawn so far
    std::string spawnWhy;   // an earlier block was garbled: why
  };
  using Words = std::vector<std::pair<std::string, std::string>>;

  void Request(int client, const std::string& name, const Words& words, std::vector<Action>* out);
  void Put(int client, const Words& words, std::vector<Action>* out);
  void Get(int client, const Words& words, std::vector<Action>* out);
  void EnterBarrier(int client, std::vector<Action>* out);
  void BlockLine(int client, const std::string& line, std::vector<Action>* out);
  void SpawnBlock(int client, std::vector<Action>* out);
  // Breaks `client`'s framing with the line that Take has in hand.
  void Break(int client, const std::string& why, std::vector<Action>* out);

  JobFacts facts_;
  std::vector<ClientState> clients_;
  KeyValues store_;    // what gets answer from
  // The keys of this host's puts since the last barrier (their values are
  // in store_, and copied out only at the barrier).
  std::set<std::string> newKeys_;
  const std::string* line_ = nullptr;  // the line that Take has in hand
  std::size_t storeBytes_ = 0;  // keys and values in store_
  bool full_ = false;           // a put has been refused for the bound
  bool pending_ = false;
  const Pmi1Serving serving_;
};

// The reply line (without '\n') to a spawn: rc=0, or rc=-1 with why (its
// spaces made '_').
std::string Pmi1SpawnReply(bool ok, const std::string& why);

// The reply line (without '\n') to a publish_name, unpublish_name or
// lookup_name (`verb`: publish, unpublish, lookup) that the run's table
// answered with `status` (and `port`, a lookup's value).
std::string Pmi1NameReply(const std::string& verb, NameTable::Status status, const std::string& port);

}  // namespace pmi

#endif  // TARVO_PMI_PMI1_ENGINE_H
