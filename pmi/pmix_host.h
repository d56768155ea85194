// The PMIx server of one node, through libpmix's server API, for Open MPI
// programs: the process that starts a node's ranks (tarvo for its own, the
// agent for its host's) runs one, and gives each rank the environment that
// leads it there.
//
//   pmi::PmixHost host;                       // one per process, started once (libpmix's rule)
//   if (!host.Start(job, callbacks, &why)) ...// before any rank starts
//   for (int r : pmi::LocalRanksOf(job))      // this node's ranks (pmix_facts.h): fork/exec rank r
//     ...                                     // with host.Environment(r) over its own, less any PMIX_*
//   ...                                       // the run
//   host.Stop();                              // after the node's ranks have ended
//
// Start registers the job's facts for every rank of the job, whatever the
// placement, and each of this node's ranks with the library; the ranks then
// connect to the server through a socket in the host's private directory.
//
// Threads: libpmix runs its own progress thread, and every callback of
// PmixCallbacks is called on it (never two at once). They must return soon
// and must not call back into PmixHost. `exchange`'s `done` may be called on
// any thread, at once (one node) or later (when every node's blob is in),
// and takes effect once. Stop waits for the callbacks that are running and
// then drops every later call, of libpmix (also while its finalize runs, or
// after one that did not end in time) or of a `done`: once Stop returns,
// nothing reaches PmixCallbacks, and their owner may go.
#ifndef TARVO_PMI_PMIX_HOST_H
#define TARVO_PMI_PMIX_HOST_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pmi/name_table.h"

namespace pmi {

// A rank's MPI_Publish_name, MPI_Lookup_name or MPI_Unpublish_name, as
// libpmix hands it up (pmix_names.cpp).
struct PmixNameRequest {
  enum Kind { kPublish, kLookup, kUnpublish } kind = kPublish;
  int rank = -1;                     // of this node's job
  std::vector<PublishedName> names;  // kPublish: the names, owner set
  std::vector<std::string> keys;     // kLookup, kUnpublish
  std::string owner;                 // kLookup, kUnpublish: the caller, as PublishedName::owner spells it
  std::size_t want = 0;              // kLookup: how many keys must be found (0: all)
  bool wait = false;                 // kLookup: the caller waits for them (PMIX_WAIT)
};

// One program of a rank's MPI_Comm_spawn (or of MPI_Comm_spawn_multiple),
// as libpmix hands it up (pmix_spawn.cpp).
struct PmixSpawnApp {
  std::string command;                // as the rank named it
  std::vector<std::string> argv;      // argv[0] first, when the rank gave one
  std::vector<std::string> env;       // NAME=VALUE for the children (OMPI_PARENT_PORT, ...)
  std::string cwd;                    // empty: the launcher's
  int count = 0;                      // maxprocs
  std::vector<std::string> hosts;     // the `host` info key, split at commas (empty: none)
  std::string hostfile;               // the `hostfile` info key
};

struct PmixSpawnRequest {
  std::string parentNspace;
  int parentRank = -1;
  std::vector<PmixSpawnApp> apps;
  // A PMI-1 rank's spawn (MPICH's): the children get a PMI-1 server of
  // their own job, whose key-value space holds `preput` from the start.
  bool pmi1 = false;
  std::vector<std::pair<std::string, std::string>> preput;
};

// What every node of the run knows of the job, the same on each node but
// for `thisHost`.
struct PmixJob {
  std::string nspace;              // the job's namespace, also its PMIX_JOBID: 1 to 255 bytes
  std::vector<std::string> hosts;  // the host of every rank, in rank order, as the run names them
  std::vector<int> appnums;        // each rank's program index (MPI_APPNUM); empty: all 0
  std::string thisHost;            // this node's name as `hosts` spells it
  std::string tmpParent;           // where the private directory goes; empty: $TMPDIR, else /tmp
  int universe = 0;                // PMIX_UNIV_SIZE (MPI_UNIVERSE_SIZE); 0: the job's size
};

// Completes one fence of PmixCallbacks::exchange: done(unionOfAllNodes), or
// done.Fail() when the fence fails (its data is over the run's bound); the
// ranks' fence then returns an error. Takes effect once.
class FenceDone {
 public:
  FenceDone() = default;
  FenceDone(std::vector<int> ranks, std::function<void(bool ok, std::string all)> complete, std::string nspace = "")
      : ranks_(std::move(ranks)), nspace_(std::move(nspace)), complete_(std::move(complete)) {}
  // The fence's ranks, ascending: empty for the whole job's.
  const std::vector<int>& Ranks() const { return ranks_; }
  // The fence's job: empty for the run's first, else a spawned job's namespace.
  const std::string& Nspace() const { return nspace_; }
  void operator()(std::string unionOfAllNodes) const {
    if (complete_) complete_(true, std::move(unionOfAllNodes));
  }
  void Fail() const {
    if (complete_) complete_(false, std::string());
  }
  explicit operator bool() const { return static_cast<bool>(complete_); }

 private:
  std::vector<int> ranks_;
  std::string nspace_;
  std::function<void(bool ok, std::string all)> complete_;
};

struct PmixCallbacks {
  using Done = FenceDone;
  // A fence across nodes, once this node's ranks in it have all entered
  // it: `blob` is this node's data (opaque bytes, possibly empty). Its ranks
  // are done.Ranks(): the whole job's, or a subset's (PMIx_Fence over some
  // processes; then only the nodes that hold them take part). Call `done`
  // with the concatenation of every taking part node's blob of the same
  // fence (any order of nodes; fences are matched by their ranks and, for
  // the same ranks, by their count, as those ranks make the same fences in
  // the same order). With one node, done(blob); left empty, every fence is
  // completed with this node's blob alone. A fence among this node's ranks
  // alone libpmix completes itself.
  std::function<void(std::string blob, Done done)> exchange;
  // A rank called PMIx_Abort (MPI_Abort): the run must end with `status`
  // (the whole run, whichever ranks the call named).
  // The rank is released when this returns; it then exits by itself.
  std::function<void(int rank, int status, const std::string& message)> abort;
  // A rank of this node wants the data of `rank`, of another node, without
  // a fence (PMIx_Get before any fence: the direct modex). Call
  // `done(ok, data)` with what the node that holds it served (ServeRank
  // there), on any thread, once. Optional: without it such a get fails.
  // `nspace` is empty for the run's first job, else a spawned job's.
  using ModexDone = std::function<void(bool ok, std::string data)>;
  std::function<void(const std::string& nspace, int rank, ModexDone done)> fetch;
  // The same, from a rank of a job that AddJob registered. Optional.
  std::function<void(const std::string& nspace, int rank, int status)> addedAbort;
  // A rank's client connected (MPI_Init began). Optional.
  std::function<void(int rank)> connected;
  // A rank called finalize (MPI_Finalize). Optional. libpmix says nothing
  // of a rank that ends without one: ask Finalized() when a rank ends.
  std::function<void(int rank)> finalized;
  // A name request (pmix_names.cpp). Optional: left empty, names are
  // refused. `done` (any thread, once) takes the answer: what a lookup
  // found, nothing for the others.
  using NamesDone = std::function<void(NameTable::Status status, std::vector<PublishedName> found)>;
  std::function<void(PmixNameRequest request, NamesDone done)> names;
  // PMIx_Connect or PMIx_Disconnect of `ranks` of this job (-1: all of
  // them), once this node's ranks among them have all called it (libpmix
  // gathers them). Optional: left empty, both are refused. `done` (any
  // thread, once) completes it.
  std::function<void(std::vector<int> ranks, bool disconnect, std::function<void(bool ok)> done)> connect;
  // The same, of processes of more than one job (a spawned job and its
  // parents), each named by its namespace and rank (-1: all of that job).
  // Optional: left empty, such a connect completes at once (every job is
  // this node's).
  using Procs = std::vector<std::pair<std::string, int>>;
  std::function<void(Procs procs, bool disconnect, std::function<void(bool ok)> done)> connectJobs;
  // A rank's PMIx_Spawn (MPI_Comm_spawn). Optional: left empty, spawns are
  // refused. `done` (any thread, once) takes the new job's namespace, or
  // an empty one for a refusal.
  using SpawnDone = std::function<void(std::string nspace)>;
  std::function<void(PmixSpawnRequest request, SpawnDone done)> spawn;
};

class PmixHost {
 public:
  PmixHost();
  ~PmixHost();  // stops the server when still running
  PmixHost(const PmixHost&) = delete;
  PmixHost& operator=(const PmixHost&) = delete;

  // Creates the private directory, starts the server, registers the job and
  // this node's ranks, and prepares each one's environment. False, with the
  // reason in *error and nothing left running, when the facts do not hold
  // (no rank on thisHost is allowed: the node then only takes part in the
  // fences), or libpmix refuses. libpmix's server starts once in a
  // process's life: a second Start in the same process is refused, even
  // after Stop (libpmix does not start again after its finalize).
  bool Start(const PmixJob& job, PmixCallbacks callbacks, std::string* error);

  // NAME=VALUE entries for rank `rank` (one of this node's, else empty):
  // the server's fork set-up (namespace, rank, the server's address, ...)
  // and what Open MPI needs to take this server as its launcher's.
  std::vector<std::string> Environment(int rank) const;
  // Whether rank `rank` of this node has called finalize. The rank waits in
  // its finalize until this holds, so a rank whose process has ended while
  // this is false ended before finalize, as a PMI-1 rank that ends before
  // its finalize is judged. Any thread.
  bool Finalized(int rank) const;
  // A job that a rank spawned, all of whose ranks are this node's: its
  // facts and clients registered and their environments prepared, before
  // any of them starts. On the owner's thread, after Start. False, why.
  bool AddJob(const PmixJob& job, std::string* error);
  // Rank `rank` of a job that AddJob registered (else empty).
  std::vector<std::string> Environment(const std::string& nspace, int rank) const;
  // Whether rank `rank` of an added job connected and has not finalized.
  bool Unfinalized(const std::string& nspace, int rank) const;
  // Every private directory of the server (none when not started): its
  // own and the shared-memory one.
  std::vector<std::string> PrivateDirs() const;

  // Asks the server for the data that rank `rank` of job `nspace` (empty:
  // the first job), one of this node's, has committed (waiting for its
  // commit), for another node's fetch: `answer` is called once, on
  // libpmix's thread, with the data or with false. Not after Stop.
  void ServeRank(const std::string& nspace, int rank, std::function<void(bool ok, std::string data)> answer);

  // Finalizes the server and removes the private directory with whatever
  // the ranks left in it. Idempotent. Not from a callback: it waits for
  // the callbacks that are running.
  void Stop();

  struct State;

 private:
  std::shared_ptr<State> state_;  // shared with libpmix's upcalls and fence completions in flight
};

}  // namespace pmi

#endif  // TARVO_PMI_PMIX_HOST_H
