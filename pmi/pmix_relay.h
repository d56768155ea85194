// A PMIx host for a process with a poll loop of its own (tarvo, the agent):
// what libpmix's thread calls back (a fence of this node, an abort) becomes
// a notice that the loop takes when WakeFd() is readable, and the loop hands
// the fence's union back. The header needs nothing of libpmix, so that a
// layer can hold a relay without linking the library: NewPmixRelay, in
// tarvo_pmix, makes one.
#ifndef TARVO_PMI_PMIX_RELAY_H
#define TARVO_PMI_PMIX_RELAY_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pmi/pmix_host.h"

namespace pmi {

struct PmixNotice {
  // kFetch: a rank of this node wants `rank`'s data (the direct modex),
  // to be answered by CompleteFetch(tag); kServed: the answer to Serve(tag),
  // `blob` the data when `status` is 0.
  enum Kind { kFence, kAbort, kNames, kConnect, kFetch, kServed, kSpawn } kind = kFence;
  std::string blob;  // kFence: this node's part
  // kFence: the fence's ranks, ascending (empty: the whole job); kConnect:
  // the ranks (-1: all) that connect, once this node's are in.
  std::vector<int> ranks;
  int rank = -1;     // kAbort
  int status = 0;    // kAbort, kServed
  int tag = 0;       // kFetch, kServed
  uint64_t ticket = 0;    // kNames: what AnswerNames names it by
  PmixNameRequest names;  // kNames
  bool disconnect = false; // kConnect
  PmixSpawnRequest spawn;  // kSpawn, answered by AnswerSpawn(ticket)
  // kAbort, kFence, kFetch: the spawned job's namespace (empty: the run's first job's)
  std::string nspace;
  // kConnect across jobs: the processes by namespace (empty: the first job's) and rank
  PmixCallbacks::Procs procs;
};

/// A notice of `kind` with the fields that most kinds carry.
inline PmixNotice MakeNotice(PmixNotice::Kind kind, std::string blob, std::vector<int> ranks, int rank, int status,
                             int tag) {
  PmixNotice n;
  n.kind = kind;
  n.blob = std::move(blob);
  n.ranks = std::move(ranks);
  n.rank = rank;
  n.status = status;
  n.tag = tag;
  return n;
}

/// What a relay serves beyond its node's ranks.
struct PmixReach {
  /// The job has other nodes: fences, the direct modex and connects across
  /// jobs come as kFence, kFetch and kConnect notices. Without it libpmix
  /// completes every fence itself and no kFence notice comes.
  bool crossNodes = false;
  /// Ranks' spawns come as kSpawn notices (without it the library refuses
  /// them).
  bool spawns = false;
};

class PmixRelay {
 public:
  virtual ~PmixRelay() = default;  // stops the host
  /// PmixHost::Start, serving `reach`. A connect or disconnect among this
  /// node's ranks completes here; one that reaches other nodes comes as a
  /// kConnect notice.
  virtual bool Start(const PmixJob& job, const PmixReach& reach, std::string* why) = 0;
  virtual std::vector<std::string> Environment(int rank) const = 0;
  /// The rank's client connected (its MPI_Init began) and has not called
  /// finalize: its end now leaves the others waiting.
  virtual bool Unfinalized(int rank) const = 0;
  /// Readable while notices wait; Take drains it.
  virtual int WakeFd() const = 0;
  virtual void Take(std::vector<PmixNotice>* out) = 0;
  /// The answer to the kNames notice `ticket` (once; an unknown ticket is
  /// ignored).
  virtual void AnswerNames(uint64_t ticket, NameTable::Status status, std::vector<PublishedName> found) = 0;
  /// The process `owner` (NameOwner's) has ended: its name requests that
  /// wait for an answer are forgotten unanswered (nobody would hear the
  /// answer, and its connection is the library's thread's to close), and a
  /// later answer to one is ignored.
  virtual void DropNames(const std::string& owner) = 0;
  /// The answer to the kConnect notice `ticket`: every node of it is in.
  virtual void AnswerConnect(uint64_t ticket, bool ok) = 0;
  /// The union of every node's parts of the fence of `ranks` of `nspace`
  /// (as its notice gave them) that this node is in.
  virtual void CompleteFence(const std::string& nspace, const std::vector<int>& ranks, const std::string& all) = 0;
  /// That fence fails (its data is over the run's key-value space's
  /// bound): its ranks' fence returns an error.
  virtual void FailFence(const std::string& nspace, const std::vector<int>& ranks) = 0;
  /// The answer to a kFetch notice: the data, or none to be had.
  virtual void CompleteFetch(int tag, bool ok, const std::string& data) = 0;
  /// Another node wants the data of `rank` of `nspace` (empty: the first
  /// job), one of this node's: a kServed notice with `tag` answers.
  virtual void Serve(const std::string& nspace, int rank, int tag) = 0;
  /// The answer to the kSpawn notice `ticket`: the new job's namespace
  /// (empty: refused).
  virtual void AnswerSpawn(uint64_t ticket, const std::string& nspace) = 0;
  /// PmixHost::AddJob, Environment and Unfinalized of a spawned job.
  virtual bool AddJob(const PmixJob& job, std::string* why) = 0;
  virtual std::vector<std::string> Environment(const std::string& nspace, int rank) const = 0;
  virtual bool Unfinalized(const std::string& nspace, int rank) const = 0;
  /// PmixHost::Stop.
  virtual void Stop() = 0;
  /// PmixHost::PrivateDirs.
  virtual std::vector<std::string> PrivateDirs() const = 0;
};

/// A relay around the process's one PmixHost.
std::unique_ptr<PmixRelay> NewPmixRelay();

/// Whether `entry` (NAME=VALUE) belongs to a PMIx server outside: a rank
/// that tarvo's server serves must not see it.
inline bool IsOutsidePmixVariable(const char* entry) {
  return entry[0] == 'P' && entry[1] == 'M' && entry[2] == 'I' && entry[3] == 'X' && entry[4] == '_';
}

}  // namespace pmi

#endif  // TARVO_PMI_PMIX_RELAY_H
