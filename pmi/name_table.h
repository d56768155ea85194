// The run's table of published names (MPI_Publish_name, MPI_Lookup_name,
// MPI_Unpublish_name), as a pure engine: tarvo keeps the one table of the
// run and answers PMI-1's publish_name, lookup_name and unpublish_name and
// PMIx's publish, lookup and unpublish from it.
//
// The rules:
// - A name lives until it is unpublished, read once when it was published
//   to be read once (PMIx's PMIX_PERSIST_FIRST_READ), until its publisher
//   ends, or until the run ends.
// - A publish takes every name it carries or none: a name that exists
//   already (or comes twice in one publish) fails it with kExists.
// - A lookup answers at once with what it finds. Without `wait` it fails
//   with kNotFound when it finds fewer than it wants; with `wait` it is
//   parked under its ticket until enough of its names are published (the
//   run's time limit bounds the wait; Drop forgets it).
// - A process that has ended (Drop of its owner) leaves nothing behind:
//   its names go, its parked lookups are forgotten, never answered (a name
//   read once then goes to a live waiter, not to the dead one), and what it
//   asks later (a request that was on its way when it ended) fails with
//   kNotFound, parking nothing and reading nothing.
// - An unpublish removes the names that the same process published; a name
//   that does not exist, or is another's, fails it with kNotFound (the
//   caller's other names are removed all the same).
#ifndef TARVO_PMI_NAME_TABLE_H
#define TARVO_PMI_NAME_TABLE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace pmi {

struct PublishedName {
  std::string key;
  std::string value;
  std::string owner;       // the publishing process, NameOwner's "job:rank"
  bool firstRead = false;  // removed by the first lookup that reads it
};

// How a process is named as an owner: its job's namespace (PMI-1: its
// kvsname), ':', its rank.
inline std::string NameOwner(const std::string& job, int rank) { return job + ":" + std::to_string(rank); }

class NameTable {
 public:
  enum Status { kDone, kExists, kNotFound, kWaits };

  struct Released {
    uint64_t ticket = 0;
    std::vector<PublishedName> found;
  };

  // `released` gets the parked lookups that this publish completes.
  Status Publish(const std::vector<PublishedName>& names, std::vector<Released>* released);
  // `want`: how many of `keys` must be found (0: all). *found gets what is
  // found when the answer is kDone. `owner`: the asking process (empty:
  // unknown, never taken for an ended one).
  Status Lookup(uint64_t ticket, const std::vector<std::string>& keys, size_t want, bool wait,
                std::vector<PublishedName>* found, const std::string& owner = std::string());
  Status Unpublish(const std::string& owner, const std::vector<std::string>& keys);
  // Forgets a parked lookup (its server stops).
  void Drop(uint64_t ticket);
  // The process `owner` has ended: its names and parked lookups go, and
  // its later requests fail. *tickets (may be null) gets the forgotten
  // lookups' tickets.
  void Drop(const std::string& owner, std::vector<uint64_t>* tickets);

 private:
  struct Waiter {
    uint64_t ticket;
    std::string owner;
    std::vector<std::string> keys;
    size_t want;
  };
  // What `keys` find; removes the first-read ones when `take`.
  std::vector<PublishedName> Find(const std::vector<std::string>& keys, bool take);

  std::map<std::string, PublishedName> names_;
  std::vector<Waiter> parked_;  // in the order they came
  std::set<std::string> ended_;  // owners that Drop named
};

}  // namespace pmi

#endif  // TARVO_PMI_NAME_TABLE_H
