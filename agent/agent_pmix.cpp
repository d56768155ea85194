#include "agent/agent_pmix.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#ifdef TARVO_HAVE_PMIX
#include "pmi/name_wire.h"
#include "pmi/pmix_loader.h"
#include "pmi/spawn_wire.h"
#else
namespace pmi {
// The build has no libpmix: nothing is ever started.
class PmixRelay {};
}  // namespace pmi
#endif

AgentPmix::AgentPmix(int kvsLimitMiB) : limit_(static_cast<size_t>(kvsLimitMiB) << 20) {}
AgentPmix::~AgentPmix() = default;

// The launcher sends no union over the bound (it fails the fence instead);
// one that does is not held.
void AgentPmix::Part(const std::string& bytes) {
  if (over_) return;
  if (limit_ != 0 && union_.size() + bytes.size() > limit_) {
    over_ = true;
    union_ = std::string();
    return;
  }
  union_ += bytes;
}

#ifdef TARVO_HAVE_PMIX

namespace {

// A job's facts as the launcher sends them (kAgentPmixJob, kAgentSpawnJob):
// the namespace, this node, every rank's host.
pmi::PmixJob FactsOf(const AgentOrder& job) {
  pmi::PmixJob p;
  p.nspace = job.strings[0];
  p.thisHost = job.strings[1];
  p.hosts.assign(job.strings.begin() + 2, job.strings.end());
  p.appnums = job.appnums;
  p.universe = job.universeSize;
  return p;
}

}  // namespace

bool AgentPmix::StartServer(const AgentOrder& job, std::string* why) {
  if (relay_ != nullptr) {
    *why = "a second job";
    return false;
  }
  // Slurm's server, if any, is not this one: neither the agent's own
  // environment nor its ranks' keep its variables.
  std::vector<std::string> outside;
  for (char** e = environ; *e != nullptr; ++e) {
    if (pmi::IsOutsidePmixVariable(*e)) outside.push_back(std::string(*e, strcspn(*e, "=")));
  }
  for (const std::string& name : outside) unsetenv(name.c_str());
  pmi::PmixJob p = FactsOf(job);
  std::unique_ptr<pmi::PmixRelay> relay = pmi::LoadPmixRelay(why);
  if (relay == nullptr) return false;
  first_ = p.nspace;
  const std::set<std::string> nodes(p.hosts.begin(), p.hosts.end());
  // A rank's spawn goes to tarvo, which places the new job on the run's hosts.
  if (!relay->Start(p, pmi::PmixReach{nodes.size() > 1, true}, why)) return false;
  watcher_.Start(0, relay->PrivateDirs());
  relay_ = std::move(relay);
  return true;
}

void AgentPmix::PrepareRank(int rank, std::vector<std::string>* env) const {
  if (relay_ == nullptr) return;
  const std::vector<std::string> ours = relay_->Environment(rank);
  env->insert(env->end(), ours.begin(), ours.end());
}

void AgentPmix::RankEnded(int rank, std::string* toLauncher) const {
  if (relay_ != nullptr) relay_->DropNames(pmi::NameOwner(first_, rank));
  if (relay_ == nullptr || !relay_->Unfinalized(rank)) return;
  const int32_t r = rank;
  *toLauncher += AgentEncode(kAgentUnfinalized, &r, sizeof r);
}

void AgentPmix::Fds(std::vector<pollfd>* fds) const {
  if (relay_ != nullptr) fds->push_back({relay_->WakeFd(), POLLIN, 0});
}

void AgentPmix::OnReady(const pollfd* fds, size_t count, std::string* toLauncher) {
  if (relay_ == nullptr || count == 0 || fds[0].revents == 0) return;
  std::vector<pmi::PmixNotice> notices;
  relay_->Take(&notices);
  for (const pmi::PmixNotice& n : notices) {
    if (n.kind == pmi::PmixNotice::kFence) {
      // A blob over the bound is not sent: the launcher fails the fence
      // and names this host.
      *toLauncher += AgentEncodePmixNspace(n.nspace);
      *toLauncher += AgentEncodePmixSet(n.ranks);
      if (limit_ != 0 && n.blob.size() > limit_) *toLauncher += AgentEncode(kAgentPmixFailed, nullptr, 0);
      else *toLauncher += AgentEncodePmixFence(n.blob);
    } else if (n.kind == pmi::PmixNotice::kConnect) {
      // Every node with ranks among them must be in: tarvo knows when.
      pmi::PmixCallbacks::Procs procs = n.procs;
      for (int r : n.ranks) procs.emplace_back(std::string(), r);
      *toLauncher += pmi::EncodeConnect(static_cast<int32_t>(n.ticket), n.disconnect, procs);
    } else if (n.kind == pmi::PmixNotice::kNames) {
      // The run's names are tarvo's: the request goes there.
      *toLauncher += pmi::EncodeNameRequest(static_cast<int32_t>(n.ticket), n.names);
    } else if (n.kind == pmi::PmixNotice::kFetch) {
      AgentPmixModex ask{n.rank, n.tag, 0};
      *toLauncher += AgentEncodePmixNspace(n.nspace);
      *toLauncher += AgentEncode(kAgentPmixFetch, &ask, sizeof ask);
    } else if (n.kind == pmi::PmixNotice::kServed) {
      *toLauncher += AgentEncodePmixServed(n.tag, n.status, n.blob);
    } else if (n.kind == pmi::PmixNotice::kSpawn) {
      *toLauncher += pmi::EncodeSpawnRequest(static_cast<int32_t>(n.ticket), n.spawn);
    } else if (!n.nspace.empty()) {
      auto job = jobOf_.find(n.nspace);
      if (job == jobOf_.end()) continue;
      AgentJobRank abort{job->second, n.rank, 0, n.status};
      *toLauncher += AgentEncode(kAgentJobAbort, &abort, sizeof abort);
    } else {
      AgentRankAbort abort{n.rank, n.status};
      *toLauncher += AgentEncode(kAgentAbort, &abort, sizeof abort);
    }
  }
}

void AgentPmix::Done() {
  if (over_) return Fail();
  if (relay_ != nullptr) relay_->CompleteFence(nspace_, set_, union_);
  union_ = std::string();
  set_.clear();
  nspace_.clear();
}

void AgentPmix::Serve(const AgentPmixModex& ask) {
  if (relay_ != nullptr) relay_->Serve(nspace_, ask.rank, ask.tag);
  nspace_.clear();
}

void AgentPmix::Fetched(const AgentPmixModex& answer, const std::string& data) {
  if (relay_ != nullptr) relay_->CompleteFetch(answer.tag, answer.status == 0, data);
}

void AgentPmix::Fail() {
  if (relay_ != nullptr) relay_->FailFence(nspace_, set_);
  union_ = std::string();
  set_.clear();
  nspace_.clear();
  over_ = false;
}

void AgentPmix::Spawned(int32_t ticket, const std::string& nspace) {
  if (relay_ != nullptr) relay_->AnswerSpawn(static_cast<uint32_t>(ticket), nspace);
}

void AgentPmix::AddJob(const AgentOrder& job, std::string* toLauncher) {
  AgentJobRank ready{job.job, -1, 0, 1};
  std::string why = "no PMIx server runs here";
  pmi::PmixJob p = FactsOf(job);
  if (relay_ != nullptr && jobOf_.count(p.nspace) == 0 && nspaceOf_.count(job.job) == 0 && relay_->AddJob(p, &why)) {
    jobOf_[p.nspace] = job.job;
    nspaceOf_[job.job] = p.nspace;
    ready.status = 0;
  } else {
    fprintf(stderr, "tarvo: agent: cannot register spawned job %d: %s\n", job.job, why.c_str());
  }
  *toLauncher += AgentEncode(kAgentJobReady, &ready, sizeof ready);
}

void AgentPmix::PrepareChild(int job, int rank, std::vector<std::string>* env) const {
  auto at = nspaceOf_.find(job);
  if (relay_ == nullptr || at == nspaceOf_.end()) return;
  const std::vector<std::string> ours = relay_->Environment(at->second, rank);
  env->insert(env->end(), ours.begin(), ours.end());
}

void AgentPmix::ChildEnded(int job, int rank, std::string* toLauncher) const {
  auto at = nspaceOf_.find(job);
  if (relay_ != nullptr && at != nspaceOf_.end()) relay_->DropNames(pmi::NameOwner(at->second, rank));
  if (relay_ == nullptr || at == nspaceOf_.end() || !relay_->Unfinalized(at->second, rank)) return;
  AgentJobRank left{job, rank, 0, 0};
  *toLauncher += AgentEncode(kAgentJobUnfinalized, &left, sizeof left);
}

void AgentPmix::Connected(int32_t ticket, bool ok) {
  if (relay_ != nullptr) relay_->AnswerConnect(static_cast<uint32_t>(ticket), ok);
}

void AgentPmix::NamesAnswer(const std::string& payload) {
  int32_t ticket = 0;
  pmi::NameTable::Status status;
  std::vector<pmi::PublishedName> found;
  if (relay_ != nullptr && pmi::DecodeNameAnswer(payload, &ticket, &status, &found))
    relay_->AnswerNames(static_cast<uint32_t>(ticket), status, std::move(found));
}

#else

bool AgentPmix::StartServer(const AgentOrder&, std::string* why) {
  *why = "this agent's build has no libpmix";
  return false;
}
void AgentPmix::PrepareRank(int, std::vector<std::string>*) const {}
void AgentPmix::RankEnded(int, std::string*) const {}
void AgentPmix::Fds(std::vector<pollfd>*) const {}
void AgentPmix::OnReady(const pollfd*, size_t, std::string*) {}
void AgentPmix::Done() {
  union_.clear();
  set_.clear();
  nspace_.clear();
}
void AgentPmix::Fail() { Done(); }
void AgentPmix::Serve(const AgentPmixModex&) { nspace_.clear(); }
void AgentPmix::Fetched(const AgentPmixModex&, const std::string&) {}
void AgentPmix::NamesAnswer(const std::string&) {}
void AgentPmix::Connected(int32_t, bool) {}
void AgentPmix::Spawned(int32_t, const std::string&) {}
void AgentPmix::AddJob(const AgentOrder& job, std::string* toLauncher) {
  AgentJobRank ready{job.job, -1, 0, 1};
  *toLauncher += AgentEncode(kAgentJobReady, &ready, sizeof ready);
}
void AgentPmix::PrepareChild(int, int, std::vector<std::string>*) const {}
void AgentPmix::ChildEnded(int, int, std::string*) const {}

#endif
