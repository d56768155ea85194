// PmixRelay over PmixHost: the callbacks, on libpmix's thread, queue notices
// under a lock and write the eventfd; the owner's loop takes them.
#include "pmi/pmix_relay.h"
#include "common/signal_mask.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace pmi {

namespace {

class Relay : public PmixRelay {
 public:
  Relay() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~Relay() override {
    host_.Stop();
    if (wake_ >= 0) close(wake_);
  }

  bool Start(const PmixJob& job, const PmixReach& reach, std::string* why) override {
    if (wake_ < 0) {
      *why = "no eventfd";
      return false;
    }
    PmixCallbacks c;
    if (reach.crossNodes) AddCrossNodes(&c);
    AddNotices(&c);
    AddConnect(job, &c);
    if (reach.spawns) {
      c.spawn = [this](PmixSpawnRequest request, PmixCallbacks::SpawnDone done) {
        PmixNotice n;
        n.spawn = std::move(request);
        PostWaiting(std::move(n), PmixNotice::kSpawn, &spawns_, std::move(done));
      };
    }
    // libpmix writes to its clients' sockets without MSG_NOSIGNAL: a rank
    // that has died would end this process by SIGPIPE. Its threads, made
    // here, take the caller's signal mask: they start with SIGPIPE held (a
    // write then fails with EPIPE), and the caller's mask is put back.
    PipeSignalHeldWhile held;
    return host_.Start(job, std::move(c), why);
  }

  std::vector<std::string> Environment(int rank) const override { return host_.Environment(rank); }

  bool Unfinalized(int rank) const override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (connected_.count(rank) == 0) return false;
    }
    return !host_.Finalized(rank);
  }

  int WakeFd() const override { return wake_; }

  void Take(std::vector<PmixNotice>* out) override {
    uint64_t count;
    while (read(wake_, &count, sizeof count) > 0) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (PmixNotice& n : notices_) out->push_back(std::move(n));
    notices_.clear();
  }

  void CompleteFence(const std::string& nspace, const std::vector<int>& ranks, const std::string& all) override {
    PmixCallbacks::Done done = TakeDone(nspace, ranks);
    if (done) done(all);
  }

  void FailFence(const std::string& nspace, const std::vector<int>& ranks) override {
    PmixCallbacks::Done done = TakeDone(nspace, ranks);
    if (done) done.Fail();
  }

  void CompleteFetch(int tag, bool ok, const std::string& data) override {
    PmixCallbacks::ModexDone done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = fetches_.find(tag);
      if (it == fetches_.end()) return;
      done = std::move(it->second);
      fetches_.erase(it);
    }
    done(ok, data);
  }

  void Serve(const std::string& nspace, int rank, int tag) override {
    host_.ServeRank(nspace, rank, [this, tag](bool ok, std::string data) {
      std::lock_guard<std::mutex> lock(mutex_);
      Post(MakeNotice(PmixNotice::kServed, std::move(data), {}, -1, ok ? 0 : 1, tag));
    });
  }

  void AnswerNames(uint64_t ticket, NameTable::Status status, std::vector<PublishedName> found) override {
    PmixCallbacks::NamesDone done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto at = names_.find(ticket);
      if (at == names_.end()) return;
      done = std::move(at->second.done);
      names_.erase(at);
    }
    done(status, std::move(found));
  }

  // The waits of a rank that has ended go unanswered: its connection is
  // gone or going, and an answer would have the library queue a reply on
  // the descriptor that its own thread is closing. What the library keeps
  // of such a request is its own.
  void DropNames(const std::string& owner) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto at = names_.begin(); at != names_.end();) {
      if (at->second.owner == owner) {
        at = names_.erase(at);
      } else {
        ++at;
      }
    }
  }

  void AnswerConnect(uint64_t ticket, bool ok) override {
    std::function<void(bool)> done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto at = connects_.find(ticket);
      if (at == connects_.end()) return;
      done = std::move(at->second);
      connects_.erase(at);
    }
    done(ok);
  }

  void AnswerSpawn(uint64_t ticket, const std::string& nspace) override {
    PmixCallbacks::SpawnDone done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto at = spawns_.find(ticket);
      if (at == spawns_.end()) return;
      done = std::move(at->second);
      spawns_.erase(at);
    }
    done(nspace);
  }

  bool AddJob(const PmixJob& job, std::string* why) override { return host_.AddJob(job, why); }
  std::vector<std::string> Environment(const std::string& nspace, int rank) const override {
    return host_.Environment(nspace, rank);
  }
  bool Unfinalized(const std::string& nspace, int rank) const override { return host_.Unfinalized(nspace, rank); }

  void Stop() override { host_.Stop(); }
  std::vector<std::string> PrivateDirs() const override { return host_.PrivateDirs(); }

 private:
  // What reaches other nodes: fences, the direct modex, connects across jobs.
  void AddCrossNodes(PmixCallbacks* c) {
    c->exchange = [this](std::string blob, PmixCallbacks::Done done) {
      std::lock_guard<std::mutex> lock(mutex_);
      PmixNotice n = MakeNotice(PmixNotice::kFence, std::move(blob), done.Ranks(), -1, 0, 0);
      n.nspace = done.Nspace();
      done_[{done.Nspace(), done.Ranks()}].push_back(std::move(done));
      Post(std::move(n));
    };
    c->fetch = [this](const std::string& nspace, int rank, PmixCallbacks::ModexDone done) {
      std::lock_guard<std::mutex> lock(mutex_);
      const int tag = nextTag_++;
      fetches_[tag] = std::move(done);
      PmixNotice n = MakeNotice(PmixNotice::kFetch, std::string(), {}, rank, 0, tag);
      n.nspace = nspace;
      Post(std::move(n));
    };
    c->connectJobs = [this](PmixCallbacks::Procs procs, bool disconnect, std::function<void(bool)> done) {
      PmixNotice n;
      n.procs = std::move(procs);
      PostConnect(std::move(n), disconnect, std::move(done));
    };
  }

  // Aborts and name requests as notices; connections recorded.
  void AddNotices(PmixCallbacks* c) {
    c->abort = [this](int rank, int status, const std::string&) {
      std::lock_guard<std::mutex> lock(mutex_);
      Post(MakeNotice(PmixNotice::kAbort, std::string(), {}, rank, status, 0));
    };
    c->addedAbort = [this](const std::string& nspace, int rank, int status) {
      std::lock_guard<std::mutex> lock(mutex_);
      PmixNotice n = MakeNotice(PmixNotice::kAbort, std::string(), {}, rank, status, 0);
      n.nspace = nspace;
      Post(std::move(n));
    };
    c->names = [this](PmixNameRequest request, PmixCallbacks::NamesDone done) {
      std::lock_guard<std::mutex> lock(mutex_);
      PmixNotice n;
      n.kind = PmixNotice::kNames;
      n.ticket = ++tickets_;
      names_[n.ticket] = NameWait{request.owner, std::move(done)};
      n.names = std::move(request);
      Post(std::move(n));
    };
    c->connected = [this](int rank) {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_.insert(rank);
    };
  }

  // libpmix gathers this node's callers of a connect; with every rank
  // named on this node, nothing else is to wait for.
  void AddConnect(const PmixJob& job, PmixCallbacks* c) {
    std::set<int> ours;
    for (size_t rank = 0; rank < job.hosts.size(); ++rank) {
      if (job.hosts[rank] == job.thisHost) ours.insert(static_cast<int>(rank));
    }
    const bool allOurs = ours.size() == job.hosts.size();
    c->connect = [this, ours, allOurs](std::vector<int> ranks, bool disconnect, std::function<void(bool)> done) {
      bool here = true;
      for (int r : ranks) here = here && (r < 0 ? allOurs : ours.count(r) != 0);
      if (here) {
        done(true);
        return;
      }
      PmixNotice n;
      n.ranks = std::move(ranks);
      PostConnect(std::move(n), disconnect, std::move(done));
    };
  }

  PmixCallbacks::Done TakeDone(const std::string& nspace, const std::vector<int>& ranks) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = done_.find({nspace, ranks});
    if (it == done_.end()) return PmixCallbacks::Done();
    PmixCallbacks::Done done = std::move(it->second.front());
    it->second.pop_front();
    if (it->second.empty()) done_.erase(it);
    return done;
  }

  // A connect (or disconnect) of the ranks or processes that `n` names,
  // to be answered through `done` once every node of them is in.
  void PostConnect(PmixNotice n, bool disconnect, std::function<void(bool)> done) {
    n.disconnect = disconnect;
    PostWaiting(std::move(n), PmixNotice::kConnect, &connects_, std::move(done));
  }

  // Posts `n` as a request of `kind` that waits for its answer: `done` is
  // kept in `waiting` under a new ticket, which the answer names.
  template <typename Done>
  void PostWaiting(PmixNotice n, PmixNotice::Kind kind, std::map<uint64_t, Done>* waiting, Done done) {
    std::lock_guard<std::mutex> lock(mutex_);
    n.kind = kind;
    n.ticket = ++tickets_;
    (*waiting)[n.ticket] = std::move(done);
    Post(std::move(n));
  }

  // Under mutex_.
  void Post(PmixNotice n) {
    notices_.push_back(std::move(n));
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
      // The counter is full: the loop is woken already.
    }
  }

  PmixHost host_;
  int wake_;
  mutable std::mutex mutex_;
  std::vector<PmixNotice> notices_;
  // The fences in flight, by their job's namespace (empty: the first job's)
  // and ranks; those of the same ranks in the order they came (the ranks
  // may have one in flight and start the next, PMIx_Fence_nb), and
  // answered in that order, as every node sends its parts.
  std::map<std::pair<std::string, std::vector<int>>, std::deque<PmixCallbacks::Done>> done_;
  std::set<int> connected_;
  uint64_t tickets_ = 0;
  struct NameWait {
    std::string owner;  // the asking process, as NameOwner spells it
    PmixCallbacks::NamesDone done;
  };
  std::map<uint64_t, NameWait> names_;  // name requests that wait for their answer
  std::map<uint64_t, std::function<void(bool)>> connects_;  // connects that wait for other nodes
  std::map<int, PmixCallbacks::ModexDone> fetches_;  // the direct modex's requests in flight, by tag
  int nextTag_ = 0;
  std::map<uint64_t, PmixCallbacks::SpawnDone> spawns_;     // spawns that wait for their start
};

}  // namespace

std::unique_ptr<PmixRelay> NewPmixRelay() { return std::unique_ptr<PmixRelay>(new Relay()); }

}  // namespace pmi
