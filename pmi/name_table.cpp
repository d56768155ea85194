#include "pmi/name_table.h"

#include <set>

namespace pmi {

namespace {

size_t Wanted(size_t want, size_t keys) { return want == 0 || want > keys ? keys : want; }

}  // namespace

std::vector<PublishedName> NameTable::Find(const std::vector<std::string>& keys, bool take) {
  std::vector<PublishedName> found;
  for (const std::string& key : keys) {
    auto at = names_.find(key);
    if (at == names_.end()) continue;
    found.push_back(at->second);
    if (take && at->second.firstRead) names_.erase(at);
  }
  return found;
}

NameTable::Status NameTable::Publish(const std::vector<PublishedName>& names, std::vector<Released>* released) {
  std::set<std::string> keys;
  for (const PublishedName& n : names) {
    if (ended_.count(n.owner) != 0) return kNotFound;
  }
  for (const PublishedName& n : names) {
    if (names_.count(n.key) != 0 || !keys.insert(n.key).second) return kExists;
  }
  for (const PublishedName& n : names) names_[n.key] = n;
  // Parked lookups, oldest first: a first-read name goes to one of them.
  for (size_t i = 0; i < parked_.size();) {
    const Waiter& p = parked_[i];
    if (Find(p.keys, false).size() < Wanted(p.want, p.keys.size())) {
      ++i;
      continue;
    }
    released->push_back(Released{p.ticket, Find(p.keys, true)});
    parked_.erase(parked_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return kDone;
}

NameTable::Status NameTable::Lookup(uint64_t ticket, const std::vector<std::string>& keys, size_t want, bool wait,
                                    std::vector<PublishedName>* found, const std::string& owner) {
  if (keys.empty() || (!owner.empty() && ended_.count(owner) != 0)) return kNotFound;
  if (Find(keys, false).size() >= Wanted(want, keys.size())) {
    *found = Find(keys, true);
    return kDone;
  }
  if (!wait) return kNotFound;
  parked_.push_back(Waiter{ticket, owner, keys, want});
  return kWaits;
}

NameTable::Status NameTable::Unpublish(const std::string& owner, const std::vector<std::string>& keys) {
  Status status = keys.empty() ? kNotFound : kDone;
  for (const std::string& key : keys) {
    auto at = names_.find(key);
    if (at == names_.end() || at->second.owner != owner) {
      status = kNotFound;
      continue;
    }
    names_.erase(at);
  }
  return status;
}

void NameTable::Drop(uint64_t ticket) {
  for (size_t i = 0; i < parked_.size(); ++i) {
    if (parked_[i].ticket != ticket) continue;
    parked_.erase(parked_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

void NameTable::Drop(const std::string& owner, std::vector<uint64_t>* tickets) {
  if (owner.empty()) return;
  ended_.insert(owner);
  for (auto at = names_.begin(); at != names_.end();) {
    if (at->second.owner == owner) at = names_.erase(at);
    else ++at;
  }
  for (size_t i = 0; i < parked_.size();) {
    if (parked_[i].owner != owner) {
      ++i;
      continue;
    }
    if (tickets != nullptr) tickets->push_back(parked_[i].ticket);
    parked_.erase(parked_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

}  // namespace pmi
