// The wire contract of tarvo: every record that crosses a process boundary,
// defined once, with the version that the agent protocol carries and one
// block of size and offset checks at the end. Integers are 32-bit signed,
// little-endian (host order on x86); texts are fixed-width char arrays,
// NUL-padded, and a text as long as its field has no terminator. Copy
// records in and out with memcpy, never by casting a pointer into a
// receive buffer. The records are the same on a 32-bit build.
//
// Three families:
// - The runtime's datagrams to the launcher's endpoints (address, sync,
//   visual): fixed sizes that the runtime's processes and the registry
//   share; carrier's notices are address requests (started_notice.h, in C
//   for carrier).
// - The call stacks of a host's ranks (StackRankHead, StackFrameName), from
//   `tarvo-agent --stacks` to its starter and inside kAgentStacks.
// - The agent protocol: one TCP connection from each launch agent to the
//   launcher, below. Its names' and spawns' payloads are encoded by
//   pmi/name_wire.h and pmi/spawn_wire.h on these records.
//
// The agent protocol: a launch agent is a small program that starts one
// host's ranks. Every message is a
// frame: an AgentFrame header, then `size` bytes of payload. Integers are
// 32-bit signed, little-endian (host order on x86).
//
//   agent -> launcher   kAgentHello   AgentHello (the run's secret and the protocol's version; first,
//                                     once; 68 bytes or more, so that any version's can be read)
//                       kAgentStarted AgentRankPid
//                       kAgentEnded   AgentRankEnd
//                       kAgentAbort   AgentRankAbort: a rank asked (PMI abort) to end the run
//                       kAgentUnfinalized int32_t: a rank that left after its init (PMIx: ended;
//                                     PMI-1: closed its connection), before its finalize
//                                     (sent before its kAgentEnded when it left by ending)
//                       kAgentBroke   AgentRankBroke: a rank broke the PMI protocol and is cut off
//                       kAgentWaiting int32_t ranks that wait in the PMI barrier, sent only
//                                     while a rank of the agent has ended outside it unfinalized
//                       kAgentStacks  the call stacks of the agent's running ranks, in one
//                                     frame (common/stack_wire.h), the answer to kAgentStacksAsk
//                       kAgentNames   AgentNamesHead, then strings: the caller ("namespace:rank"),
//                                     then a publish's key, value pairs or the other requests' keys:
//                                     a rank's request to the run's name table
//                       kAgentConnect AgentConnectHead, then `ranks` int32_t (-1: every rank): the
//                                     agent's node is in a PMIx connect (or disconnect) of them;
//                                     then, for a connect across jobs, one namespace string per rank
//                       kAgentSpawn   AgentSpawnHead, `apps` AgentSpawnApp, then strings: the parent's
//                                     namespace, then for each program its command, working directory,
//                                     hostfile, words, env entries and hosts, then an MPICH rank's
//                                     preput key, value pairs: a rank's MPI_Comm_spawn
//                       kAgentJobReady AgentJobRank (job, status 0: registered): the agent's server
//                                     knows spawned job `job` (an answer to kAgentSpawnJob); else
//                                     kAgentJobNoProgram with `rank` the process whose program is
//                                     not on this host, or 1: the job could not be registered
//                       kAgentJobStarted, kAgentJobEnded, kAgentJobUnfinalized, kAgentJobAbort
//                                     AgentJobRank: kAgentStarted, kAgentEnded, kAgentUnfinalized and
//                                     kAgentAbort of a process of a spawned job
//                       kAgentTopology two strings: the host's units and GPUs as TopologyText writes
//                                     them (common/rank_map.h), and why it cannot tell them (then the
//                                     first is empty), the answer to kAgentTopologyAsk
//   both ways           kAgentFencePuts key, value, key, value ... strings ending in NUL:
//                                     the agent's new PMI puts at a barrier, or the union
//                                     of every host's (in as many frames as it takes)
//                       kAgentFenceDone no payload: the puts of this barrier are complete
//                       kAgentPmixPart  bytes of a PMIx fence: the agent's node's blob, or the
//                                     concatenation of every node's (in as many frames as it takes)
//                       kAgentPmixDone  no payload: this side's part of the PMIx fence is complete
//                       kAgentPmixFailed no payload, in place of kAgentPmixDone: the fence fails,
//                                     its data over the key-value space's bound (the agent's
//                                     node's blob, or the union at the launcher)
//                       kAgentPmixFetch AgentPmixModex (rank, tag): a rank of the agent wants the
//                                     PMIx data of `rank`, of another host, without a fence
//                       kAgentPmixServed AgentPmixModex (tag, status), then the data: the answer
//                                     to kAgentPmixServe
//                       kAgentPmixNspace one string: the namespace of the next PMIx fence (its set,
//                                     parts and done or failed) or of the next fetch or serve, when it
//                                     is a spawned job's (without it, the run's first job)
//                       kAgentPmi1Barrier int32_t job: the next kAgentFencePuts and kAgentFenceDone
//                                     are of the PMI-1 barrier of that spawned job (without it, of
//                                     the run's first job)
//   launcher -> agent   kAgentSpawned AgentSpawned, then one string: the new job's namespace (empty:
//                                     refused, and then a second string may say why), the answer to
//                                     kAgentSpawn
//                       kAgentPmi1Job AgentSpawnJobHead, `size` int32_t appnums, then the strings
//                                     kvsname, this node's name, every process's host, then the
//                                     preput key, value pairs: a job that an MPICH rank spawned, sent
//                                     to the agents with processes of it (answered by kAgentJobReady)
//                       kAgentSpawnJob AgentSpawnJobHead, `size` int32_t appnums, then the strings
//                                     namespace, this node's name and every process's host: a spawned
//                                     job, sent to every agent (answered by kAgentJobReady)
//                       kAgentSpawnRank AgentSpawnRankHead, then `words` strings as kAgentRank's,
//                                     then the process's own NAME=VALUE strings: one of the agent's
//                                     processes of a spawned job (sent before its kAgentSpawnJob and
//                                     held until its kAgentJobGo)
//                       kAgentJobGo   AgentJobRank (job, status 0): start the job's processes held
//                                     here; status 1: drop them, the job is refused
//   launcher -> agent   kAgentPmixServe AgentPmixModex (rank, tag): send the PMIx data of `rank`,
//                                     one of the agent's, once it has committed it
//                       kAgentPmixFetched AgentPmixModex (tag, status), then the data: the answer
//                                     to the agent's kAgentPmixFetch of `tag`
//   both ways           kAgentPmixSet   int32_t ranks, ascending: the next PMIx fence's frames
//                                     (parts, then done or failed) are of the fence of these
//                                     ranks only (PMIx_Fence over some processes), taken apart
//                                     from the job's; without it they are of the job's
//   launcher -> agent   kAgentEnv     NAME=VALUE strings, each ending in NUL
//                       kAgentRank    AgentRankHead, then `words` strings ending in NUL:
//                                     the program words and the eight launcher parameters,
//                                     exactly carrier's argument vector without its first entry
//                       kAgentSignal  AgentSignal
//                       kAgentStacksAsk int32_t samples (1 or 2): send the call stacks of your running ranks
//                       kAgentAllSent no payload: every rank of this agent has been sent
//                       kAgentJob     AgentJobHead (with the key-value space's bound), `clients` AgentJobClient, then the
//                                     strings kvsname and PMI_process_mapping (before the ranks)
//                       kAgentPmixJob AgentPmixJobHead, `size` int32_t appnums, then the strings
//                                     namespace, this node's name and every rank's host (before
//                                     the ranks; sent only when the agent serves PMIx)
//                       kAgentNamesAnswer AgentNamesAnswerHead, then strings: key, value,
//                                     publisher triples of what a lookup found
//                       kAgentConnected AgentConnected: every node of that connect is in
//                       kAgentTopologyAsk AgentTopologyAsk: tell this host's units of a binding level
//                                     and its GPUs; sent, when the launcher asks it, before anything
//                                     but kAgentEnv, and the ranks wait for every agent's answer
//                       kAgentWindow  AgentWindow: the size of tarvo's terminal for the ranks'
//                                     terminals; sent before the ranks, only when tarvo has a
//                                     terminal and gives the ranks terminals
//                       kAgentPlace   AgentPlaceHead, then three strings ending in NUL: the
//                                     rank's host as the run names it, its output file and its
//                                     error file (empty: none); sent before the rank's kAgentRank,
//                                     only when TARVO_OUTPUT, TARVO_ERROR, TARVO_BIND,
//                                     TARVO_CPUS_PER_RANK or TARVO_GPUS_PER_RANK place ranks
//
// A reader that meets a frame it cannot take (unknown type, a size that does
// not fit the type, a string list without its last NUL) ends the connection.
#ifndef TARVO_COMMON_WIRE_H
#define TARVO_COMMON_WIRE_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/protocol.h"

/// The version of the contract, in the agent's hello: it covers the agent
/// protocol's frames and the payloads that travel in them (the stacks, the
/// names, the spawns). The runtime's datagrams have fixed sizes and no
/// version. 1: the hello of 68 bytes that had none; 2: kAgentBroke, the
/// job's key-value bound; 3: kAgentNames, kAgentNamesAnswer, kAgentConnect and kAgentConnected,
/// kAgentRankOwnSession, kAgentPmixFailed, kAgentPmixSet and the direct
/// modex's four frames; 4: spawned jobs (kAgentSpawn to kAgentPmixNspace),
/// the universe in the PMIx job, namespaces in a connect across jobs; 5:
/// every thread's call stack and the samples in kAgentStacksAsk; 6: CPUs
/// and GPUs per rank in kAgentPlace; 7: kAgentTopologyAsk and
/// kAgentTopology; 8: kAgentWindow.
const int32_t kAgentProtocolVersion = 8;
/// The hello of every version begins with the secret and the agent's
/// number; a longer one (after version 1) then has its version.
const size_t kAgentHelloV1Size = 68;

// ---- The runtime's datagrams ----

// One entry of the address registry as it leaves the list; travels
// unchanged in the table reply of the address protocol: 172 bytes, no
// padding.
struct ProcessAddress {
  int32_t fd;                      // identifier of the entry
  int32_t tag;                     // supplied by the process, never interpreted
  char ip[ADDRESS_TEXT_SIZE];      // address text, NUL-padded
  char hostname[HOSTNAME_SIZE];    // host name text, NUL-padded
  int32_t port;                    // port in host order
};

// Request and ordinary answer of the address protocol: exactly 176 bytes.
// Bytes 4 to 175 have the layout of ProcessAddress.
struct AddressMessage {
  int32_t code;        // JOIN, ADDRESS, LEAVE or their answers
  int32_t fd;          // identifier; 999 allocate, 998 whole table, 997 not found
  int32_t tag;         // stored with a JOIN; 0 in answers
  char ip[ADDRESS_TEXT_SIZE];  // address text of the process
  char hostname[32];   // host name of the process
  int32_t port;        // port; the record count in a table reply's header
};

// Request and release of the synchronisation protocol: 140 bytes.
struct SyncMessage {
  int32_t code;      // 29 to 32 in a request, 0 in the release
  int32_t rank;      // sender's rank, 0 to N - 1; 0 in the release
  char body[132];    // not interpreted by the launcher; zeros in the release
};

// Run-time event sent by a process to the visual endpoint: 644 bytes.
struct VisualEvent {
  int32_t code;          // event code 1 to 11 (others are dropped)
  int32_t process;       // identifier under which the sender is registered
  int32_t argument;
  char text[100];
  int32_t ranks[100];    // one value per rank; the first numProcs are read
  int32_t argument2;
  char text2[128];
};

// ---- The call stacks ----

// A payload of call stacks is, for each thread read of a rank, a
// StackRankHead and then `frames` StackFrameName records, the call path from
// `main` outward (the outermost frame first). Every size is bounded: a
// path by kStackMaxFrames, a name by its field, the whole payload by
// kAgentMaxPayload.

/// Frames kept of one rank's path: deeper paths keep their outer half and
/// their inner half, with one "..." frame between.
const int32_t kStackMaxFrames = 48;

/// Threads read of one process, its main thread first; the others, in the
/// order of their thread ids, are named as not read.
const int32_t kStackMaxThreads = 64;
/// Milliseconds between the two samples.
const int kStackSampleGapMs = 200;

// One thread's path: a process has one head per thread read.
struct StackRankHead {
  int32_t rank;
  int32_t job;     // 0: the run's first job; k: its k-th spawned job
  int32_t frames;  // StackFrameName records that follow; 0 when `why` is set
  char why[64];    // why the stack could not be read ("gone", ...); empty when it was
  int32_t thread;  // 0: the main thread; k: the process's (k+1)-th thread by thread id
  int32_t moved;   // 1: the process's paths differed between the two samples (a thread's, or which threads ran)
};

struct StackFrameName {
  char name[64];  // a function's name, or "library+0xOFFSET"; cut to the field
};

// A host that has not sent its ranks' call stacks after this long is left
// out of tarvo's report.
const double kStacksWait = 5.0;
// An agent answers before tarvo stops waiting, with what its reader has.
const double kStacksAgentWait = kStacksWait - 0.5;

// ---- The agent protocol ----

enum AgentFrameType : int32_t {
  kAgentHello = 1,
  kAgentEnv = 2,
  kAgentRank = 3,
  kAgentSignal = 4,
  kAgentAllSent = 5,
  kAgentStarted = 6,
  kAgentEnded = 7,
  kAgentJob = 8,
  kAgentFencePuts = 9,
  kAgentFenceDone = 10,
  kAgentAbort = 11,
  kAgentWaiting = 12,
  kAgentPmixJob = 13,
  kAgentPmixPart = 14,
  kAgentPmixDone = 15,
  kAgentUnfinalized = 16,
  kAgentPlace = 17,
  kAgentStacksAsk = 18,
  kAgentStacks = 19,
  kAgentBroke = 20,
  kAgentNames = 21,
  kAgentNamesAnswer = 22,
  kAgentConnect = 23,
  kAgentConnected = 24,
  kAgentPmixFailed = 25,
  kAgentPmixSet = 26,
  kAgentPmixFetch = 27,
  kAgentPmixServe = 28,
  kAgentPmixServed = 29,
  kAgentPmixFetched = 30,
  kAgentSpawn = 31,
  kAgentSpawned = 32,
  kAgentSpawnJob = 33,
  kAgentSpawnRank = 34,
  kAgentJobReady = 35,
  kAgentJobStarted = 36,
  kAgentJobEnded = 37,
  kAgentJobUnfinalized = 38,
  kAgentJobAbort = 39,
  kAgentPmixNspace = 40,
  kAgentPmi1Job = 41,
  kAgentPmi1Barrier = 42,
  kAgentJobGo = 43,
  kAgentTopologyAsk = 44,
  kAgentTopology = 45,
  kAgentWindow = 46,
};

/// The largest payload of a frame: a rank's words (140 of 128 bytes) fit
/// many times; an environment larger than this is not sent whole.
const int32_t kAgentMaxPayload = 1 << 20;
/// The run's secret: hexadecimal text.
const int kAgentSecretLength = 32;

struct AgentFrame {
  int32_t type;
  int32_t size;
};

struct AgentHello {
  char secret[64];  // kAgentSecretLength characters, NUL-padded
  int32_t agent;    // the agent's number, from its command line
  int32_t version;  // kAgentProtocolVersion
};

/// Flags of a rank for its agent.
enum : int32_t {
  kAgentRankStdin = 1,  // the rank reads the agent's standard input (rank 0)
  kAgentRankLabel = 2,  // the agent labels the rank's output lines "[R] "
  kAgentRankOwnSession = 4,  // the rank leads a session of its own (else a group in the agent's)
  kAgentRankStdinCopy = 8,   // the rank reads a copy of the agent's standard input (TARVO_STDIN=all)
  kAgentRankPty = 16,        // the rank's standard output is a terminal; its lines go out whole
};

struct AgentRankHead {
  int32_t rank;
  int32_t words;
  int32_t flags;
};

/// Where a rank's output goes and how it is bound (rank_place.h).
struct AgentPlaceHead {
  int32_t rank;
  int32_t bind;         // RankBind
  int32_t flags;        // kAgentPlaceReport
  int32_t cpusPerRank;  // units of the binding's level per rank, from 1
  int32_t gpusPerRank;  // 0: the rank sees every GPU
};
enum : int32_t {
  kAgentPlaceReport = 1,   // one "bound to CPUs" line on standard error
  kAgentPlaceThreads = 2,  // OMP_NUM_THREADS=cpusPerRank, unless the rank's environment has it
};

/// The question of an agent's host topology: the units of `bind`'s level
/// (a RankBind; kBindNone: cores), and with `gpus` 1 its GPUs as well.
struct AgentTopologyAsk {
  int32_t bind;
  int32_t gpus;
};

/// The window size of tarvo's terminal, which the ranks' terminals take:
/// each from 0 to 65535, as a terminal keeps them.
struct AgentWindow {
  int32_t rows;
  int32_t cols;
  int32_t xpixel;
  int32_t ypixel;
};

struct AgentSignal {
  int32_t sig;
};

struct AgentRankPid {
  int32_t rank;
  int32_t pid;
};

struct AgentRankEnd {
  int32_t rank;
  int32_t pid;
  int32_t waitStatus;  // as waitpid gives it
};

/// The PMI-1 job as the agent serves it to its ranks.
struct AgentJobHead {
  int32_t size;          // ranks of the whole job
  int32_t universeSize;
  int32_t clients;       // AgentJobClient records that follow: the agent's ranks
  int32_t kvsLimitMiB;   // the bound of the key-value space's keys and values, MiB (0: none)
};

struct AgentJobClient {
  int32_t rank;
  int32_t appnum;
};

/// The PMIx job as the agent's server registers it.
struct AgentPmixJobHead {
  int32_t size;      // ranks of the whole job: as many appnums and hosts follow
  int32_t universe;  // MPI_UNIVERSE_SIZE (0: the job's size)
};

/// A rank's MPI_Comm_spawn, from its agent.
struct AgentSpawnHead {
  int32_t ticket;      // the agent's number for it, repeated in kAgentSpawned
  int32_t parentRank;  // the caller, of the namespace that the strings name first
  int32_t apps;        // AgentSpawnApp records that follow
  int32_t preputs;     // an MPICH rank's spawn: its preput key, value pairs after the strings; -1: Open MPI's
};

struct AgentSpawnApp {
  int32_t count;  // maxprocs
  int32_t words;  // argv strings
  int32_t envs;   // NAME=VALUE strings
  int32_t hosts;  // the `host` key's names
};

struct AgentSpawned {
  int32_t ticket;
};

/// A spawned job as every agent's server registers it.
struct AgentSpawnJobHead {
  int32_t job;       // 1, 2, ... in the run's order
  int32_t size;      // processes of the job: as many appnums and hosts follow
  int32_t universe;  // MPI_UNIVERSE_SIZE
};

struct AgentSpawnRankHead {
  int32_t job;
  int32_t rank;   // in the job, from 0
  int32_t words;  // carrier's words that follow; the NAME=VALUE strings come after them
  int32_t flags;  // kAgentRankLabel, kAgentRankPty
};

/// A process of a spawned job: started (pid), ended (pid, status: as
/// waitpid gives it), unfinalized, aborted (status: the exit code), or the
/// job registered (rank -1, status 0, else it could not be).
struct AgentJobRank {
  int32_t job;
  int32_t rank;
  int32_t pid;
  int32_t status;
};
// kAgentJobReady's status when a process's program is not on the agent's host.
constexpr int32_t kAgentJobNoProgram = 2;

// The direct modex: a rank's PMIx data fetched from the host that holds it.
struct AgentPmixModex {
  int32_t rank;    // the rank whose data is wanted (-1 in an answer)
  int32_t tag;     // the asker's number for the request
  int32_t status;  // in an answer: 0 with the data, else none could be had
};

struct AgentRankAbort {
  int32_t rank;
  int32_t exitCode;
};

/// A request to the run's name table (pmi/name_table.h).
struct AgentNamesHead {
  int32_t ticket;  // the agent's number for it, repeated in the answer
  int32_t kind;    // 0 publish, 1 lookup, 2 unpublish
  int32_t want;    // lookup: how many keys must be found (0: all)
  int32_t flags;   // kAgentNamesWait, kAgentNamesFirstRead
};
enum : int32_t { kAgentNamesWait = 1, kAgentNamesFirstRead = 2 };

struct AgentNamesAnswerHead {
  int32_t ticket;
  int32_t status;  // NameTable::Status
};

struct AgentConnectHead {
  int32_t ticket;      // the agent's number for it, repeated in kAgentConnected
  int32_t disconnect;  // 1: a disconnect
  int32_t ranks;       // int32_t ranks that follow
};

struct AgentConnected {
  int32_t ticket;
  int32_t ok;  // 1: done; 0: refused
};

struct AgentRankBroke {
  int32_t rank;
  char why[64];    // how it broke the protocol, NUL-padded (no terminator when full)
  char sent[84];   // what it sent, as the report shows it (80 characters at most), NUL-padded
};

static_assert(std::is_trivially_copyable<AgentRankEnd>::value && std::is_trivially_copyable<AgentRankHead>::value,
              "copied with memcpy");
// ---- The checks: every record's size and the offset of each field after its first ----

static_assert(sizeof(ProcessAddress) == 172 && offsetof(ProcessAddress, tag) == 4 && offsetof(ProcessAddress, ip) == 8 &&
                  offsetof(ProcessAddress, hostname) == 136 && offsetof(ProcessAddress, port) == 168,
              "ProcessAddress: 172 bytes, unchanged in the table reply");
static_assert(sizeof(AddressMessage) == 176 && offsetof(AddressMessage, fd) == 4 && offsetof(AddressMessage, tag) == 8 &&
                  offsetof(AddressMessage, ip) == 12 && offsetof(AddressMessage, hostname) == 140 &&
                  offsetof(AddressMessage, port) == 172,
              "AddressMessage: 176 bytes");
static_assert(sizeof(AddressMessage) == 4 + sizeof(ProcessAddress), "a request is a code and a record");
static_assert(sizeof(AddressMessage) == TARVO_NOTICE_SIZE && offsetof(AddressMessage, fd) == 4 * TARVO_NOTICE_RANK &&
                  offsetof(AddressMessage, tag) == 4 * TARVO_NOTICE_PID &&
                  offsetof(AddressMessage, port) == 4 * TARVO_NOTICE_STATUS,
              "carrier's notice is a request: rank in the identifier, pid in the tag, wait status in the port");
static_assert(sizeof(SyncMessage) == 140 && offsetof(SyncMessage, rank) == 4 && offsetof(SyncMessage, body) == 8,
              "SyncMessage: 140 bytes");
static_assert(sizeof(VisualEvent) == 644 && offsetof(VisualEvent, process) == 4 && offsetof(VisualEvent, argument) == 8 &&
                  offsetof(VisualEvent, text) == 12 && offsetof(VisualEvent, ranks) == 112 &&
                  offsetof(VisualEvent, argument2) == 512 && offsetof(VisualEvent, text2) == 516,
              "VisualEvent: 644 bytes");
static_assert(sizeof(StackRankHead) == 84 && offsetof(StackRankHead, job) == 4 && offsetof(StackRankHead, frames) == 8 &&
                  offsetof(StackRankHead, why) == 12 && offsetof(StackRankHead, thread) == 76 &&
                  offsetof(StackRankHead, moved) == 80,
              "StackRankHead: 84 bytes");
static_assert(sizeof(StackFrameName) == 64, "StackFrameName: 64 bytes");
static_assert(sizeof(AgentFrame) == 8 && offsetof(AgentFrame, size) == 4, "AgentFrame: 8 bytes");
static_assert(sizeof(AgentHello) == 72 && offsetof(AgentHello, agent) == 64 && offsetof(AgentHello, version) == 68 &&
                  offsetof(AgentHello, version) == kAgentHelloV1Size,
              "AgentHello: version 1's 68 bytes, then the version");
static_assert(sizeof(AgentRankHead) == 12 && offsetof(AgentRankHead, words) == 4 && offsetof(AgentRankHead, flags) == 8,
              "AgentRankHead: 12 bytes");
static_assert(sizeof(AgentPlaceHead) == 20 && offsetof(AgentPlaceHead, flags) == 8 &&
                  offsetof(AgentPlaceHead, cpusPerRank) == 12 && offsetof(AgentPlaceHead, gpusPerRank) == 16,
              "AgentPlaceHead: 20 bytes");
static_assert(sizeof(AgentTopologyAsk) == 8 && offsetof(AgentTopologyAsk, gpus) == 4, "AgentTopologyAsk: 8 bytes");
static_assert(sizeof(AgentWindow) == 16 && offsetof(AgentWindow, cols) == 4 && offsetof(AgentWindow, ypixel) == 12,
              "AgentWindow: 16 bytes");
static_assert(sizeof(AgentSignal) == 4, "AgentSignal: 4 bytes");
static_assert(sizeof(AgentRankPid) == 8 && offsetof(AgentRankPid, pid) == 4, "AgentRankPid: 8 bytes");
static_assert(sizeof(AgentRankEnd) == 12 && offsetof(AgentRankEnd, waitStatus) == 8, "AgentRankEnd: 12 bytes");
static_assert(sizeof(AgentJobHead) == 16 && offsetof(AgentJobHead, clients) == 8 && offsetof(AgentJobHead, kvsLimitMiB) == 12,
              "AgentJobHead: 16 bytes");
static_assert(sizeof(AgentJobClient) == 8 && offsetof(AgentJobClient, appnum) == 4, "AgentJobClient: 8 bytes");
static_assert(sizeof(AgentPmixJobHead) == 8 && offsetof(AgentPmixJobHead, universe) == 4, "AgentPmixJobHead: 8 bytes");
static_assert(sizeof(AgentSpawnHead) == 16 && offsetof(AgentSpawnHead, parentRank) == 4 &&
                  offsetof(AgentSpawnHead, apps) == 8 && offsetof(AgentSpawnHead, preputs) == 12,
              "AgentSpawnHead: 16 bytes");
static_assert(sizeof(AgentSpawnApp) == 16 && offsetof(AgentSpawnApp, words) == 4 && offsetof(AgentSpawnApp, envs) == 8 &&
                  offsetof(AgentSpawnApp, hosts) == 12,
              "AgentSpawnApp: 16 bytes");
static_assert(sizeof(AgentSpawned) == 4, "AgentSpawned: 4 bytes");
static_assert(sizeof(AgentSpawnJobHead) == 12 && offsetof(AgentSpawnJobHead, size) == 4 &&
                  offsetof(AgentSpawnJobHead, universe) == 8,
              "AgentSpawnJobHead: 12 bytes");
static_assert(sizeof(AgentSpawnRankHead) == 16 && offsetof(AgentSpawnRankHead, rank) == 4 &&
                  offsetof(AgentSpawnRankHead, words) == 8 && offsetof(AgentSpawnRankHead, flags) == 12,
              "AgentSpawnRankHead: 16 bytes");
static_assert(sizeof(AgentJobRank) == 16 && offsetof(AgentJobRank, rank) == 4 && offsetof(AgentJobRank, pid) == 8 &&
                  offsetof(AgentJobRank, status) == 12,
              "AgentJobRank: 16 bytes");
static_assert(sizeof(AgentPmixModex) == 12 && offsetof(AgentPmixModex, tag) == 4 && offsetof(AgentPmixModex, status) == 8,
              "AgentPmixModex: 12 bytes");
static_assert(sizeof(AgentRankAbort) == 8 && offsetof(AgentRankAbort, exitCode) == 4, "AgentRankAbort: 8 bytes");
static_assert(sizeof(AgentNamesHead) == 16 && offsetof(AgentNamesHead, kind) == 4 && offsetof(AgentNamesHead, want) == 8 &&
                  offsetof(AgentNamesHead, flags) == 12,
              "AgentNamesHead: 16 bytes");
static_assert(sizeof(AgentNamesAnswerHead) == 8 && offsetof(AgentNamesAnswerHead, status) == 4,
              "AgentNamesAnswerHead: 8 bytes");
static_assert(sizeof(AgentConnectHead) == 12 && offsetof(AgentConnectHead, disconnect) == 4 &&
                  offsetof(AgentConnectHead, ranks) == 8,
              "AgentConnectHead: 12 bytes");
static_assert(sizeof(AgentConnected) == 8 && offsetof(AgentConnected, ok) == 4, "AgentConnected: 8 bytes");
static_assert(sizeof(AgentRankBroke) == 152 && offsetof(AgentRankBroke, why) == 4 && offsetof(AgentRankBroke, sent) == 68,
              "AgentRankBroke: 152 bytes");
// Every record is copied with memcpy.
static_assert(std::is_trivially_copyable<ProcessAddress>::value && std::is_trivially_copyable<AddressMessage>::value &&
                  std::is_trivially_copyable<SyncMessage>::value && std::is_trivially_copyable<VisualEvent>::value &&
                  std::is_trivially_copyable<StackRankHead>::value && std::is_trivially_copyable<AgentRankEnd>::value &&
                  std::is_trivially_copyable<AgentRankHead>::value && std::is_trivially_copyable<AgentRankBroke>::value,
              "copied with memcpy");

#endif  // TARVO_COMMON_WIRE_H
