#include "pmi/pmi1_engine.h"

#include <cstring>
#include <utility>

#include "pmi/pmi1_reply.h"

namespace pmi {
namespace {

using Words = std::vector<std::pair<std::string, std::string>>;

// Splits a line into its key=value words; false for a word without '=' or
// with an empty key, or a line without words.
bool SplitWords(const std::string& line, Words* words) {
  std::size_t at = 0;
  while (at < line.size()) {
    if (line[at] == ' ') {
      ++at;
      continue;
    }
    std::size_t end = line.find(' ', at);
    if (end == std::string::npos) end = line.size();
    const std::size_t eq = line.find('=', at);
    if (eq == std::string::npos || eq >= end || eq == at) return false;
    words->emplace_back(line.substr(at, eq - at), line.substr(eq + 1, end - eq - 1));
    at = end;
  }
  return !words->empty();
}

const std::string* Find(const Words& words, const char* key) {
  for (const auto& w : words)
    if (w.first == key) return &w.second;
  return nullptr;
}

// The answer to a publish_name, unpublish_name or lookup_name from the
// run's table. A PMI-1 lookup never waits.
std::string NameRequest(const std::string& kvsname, int rank, const std::string& verb, const std::string& service,
                        const std::string& port, NameTable* names) {
  const std::string owner = NameOwner(kvsname, rank);
  if (verb == "publish") {
    std::vector<NameTable::Released> released;  // no PMI-1 lookup waits
    return Pmi1NameReply(verb, names->Publish({PublishedName{service, port, owner, false}}, &released), "");
  }
  if (verb == "unpublish") return Pmi1NameReply(verb, names->Unpublish(owner, {service}), "");
  std::vector<PublishedName> found;
  const NameTable::Status status = names->Lookup(0, {service}, 0, false, &found, owner);
  return Pmi1NameReply(verb, status, found.empty() ? std::string() : found[0].value);
}

bool ValidName(const std::string& name, std::size_t max) {
  if (name.empty() || name.size() > max) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-';
    if (!ok) return false;
  }
  return true;
}

const char kGetOk[] = "cmd=get_result rc=0 msg=success value=";
static_assert(sizeof kGetOk - 1 + kValueStoreMax + 1 == kMaxLine, "a stored value's get reply fills a line at most");

}  // namespace

Pmi1Engine::Pmi1Engine(JobFacts facts, Pmi1Serving serving) : facts_(std::move(facts)), serving_(serving) {
  for (const LocalRank& r : facts_.clients) {
    ClientState c;
    c.facts = r;
    clients_.push_back(c);
  }
  if (!facts_.processMapping.empty()) store_[kMappingKey] = facts_.processMapping;
}

bool Pmi1Engine::InBarrier(int client) const {
  return client >= 0 && client < Clients() && clients_[client].waiting && !clients_[client].ended;
}

bool Pmi1Engine::Finalized(int client) const {
  return client >= 0 && client < Clients() && clients_[client].finalized;
}

bool Pmi1Engine::Left(int client) {
  if (client < 0 || client >= Clients()) return false;
  ClientState& c = clients_[client];
  const bool failed = c.initialized && !c.finalized && !c.ended;
  c.ended = true;
  return failed;
}

void Pmi1Engine::Break(int client, const std::string& why, std::vector<Action>* out) {
  clients_[client].ended = true;
  Action a;
  a.kind = Action::kBreak;
  a.client = client;
  a.text = why;
  if (line_ != nullptr) a.sent = ShownLine(*line_);
  out->push_back(std::move(a));
}

void Pmi1Engine::Take(int client, const std::string& line, std::vector<Action>* out) {
  if (client < 0 || client >= Clients() || clients_[client].ended) return;
  ClientState& c = clients_[client];
  c.spoke = true;
  line_ = &line;
  struct Done {
    const std::string** line;
    ~Done() { *line = nullptr; }
  } done{&line_};
  if (line.size() >= kMaxLine || line.find('\0') != std::string::npos)
    return Break(client, "a line over " + std::to_string(kMaxLine) + " bytes or with a NUL", out);
  if (c.waiting) return Break(client, "a request while waiting for barrier_out", out);
  if (!c.multiLine.empty()) return BlockLine(client, line, out);
  Words words;
  if (!SplitWords(line, &words)) return Break(client, "a line that is not key=value words", out);
  const std::string& first = words[0].first;
  const std::string& name = words[0].second;
  if ((first != "cmd" && first != "mcmd") || !ValidName(name, kKeyMax))
    return Break(client, "a line that does not start with cmd=NAME", out);
  if (first == "mcmd") {
    c.multiLine = name;
    c.blockLines = 0;
    c.block.clear();
    return;
  }
  Request(client, name, words, out);
}

void Pmi1Engine::Request(int client, const std::string& name, const Words& words, std::vector<Action>* out) {
  ClientState& c = clients_[client];
  if (name == "init") {
    const std::string* version = Find(words, "pmi_version");
    const char* rc = "rc=0";
    if (c.initialized)
      rc = "rc=-1 msg=already_initialized";
    else if (version == nullptr || *version != "1")
      rc = "rc=-1 msg=unsupported_version";
    else
      c.initialized = true;
    out->push_back(Reply(client, std::string("cmd=response_to_init pmi_version=1 pmi_subversion=1 ") + rc));
  } else if (name == "get_maxes") {
    out->push_back(Reply(client, "cmd=maxes kvsname_max=" + std::to_string(kKvsnameMax) + " keylen_max=" +
                                     std::to_string(kKeyMax) + " vallen_max=" + std::to_string(kValueMax)));
  } else if (name == "get_appnum") {
    out->push_back(Reply(client, "cmd=appnum appnum=" + std::to_string(c.facts.appnum)));
  } else if (name == "get_my_kvsname") {
    out->push_back(Reply(client, "cmd=my_kvsname kvsname=" + facts_.kvsname));
  } else if (name == "get_universe_size") {
    out->push_back(Reply(client, "cmd=universe_size size=" + std::to_string(facts_.universeSize)));
  } else if (name == "put") {
    Put(client, words, out);
  } else if (name == "get") {
    Get(client, words, out);
  } else if (name == "barrier_in") {
    EnterBarrier(client, out);
  } else if (name == "finalize") {
    out->push_back(Reply(client, "cmd=finalize_ack"));
    if (!c.finalized) {
      c.finalized = true;
      Action a;
      a.kind = Action::kFinalize;
      a.client = client;
      out->push_back(std::move(a));
    }
  } else if (name == "abort") {
    const std::string* code = Find(words, "exitcode");
    Action a;
    a.kind = Action::kAbort;
    a.client = client;
    if (code == nullptr || !ParseInt(*code, &a.exitCode)) a.exitCode = 1;
    c.ended = true;
    out->push_back(std::move(a));
  } else if (name == "publish_name" || name == "unpublish_name" || name == "lookup_name") {
    const std::string verb = name.substr(0, name.size() - 5);  // without "_name"
    const std::string* service = Find(words, "service");
    const std::string* port = Find(words, "port");
    if (serving_.names == nullptr && !serving_.forwardNames) {
      out->push_back(Reply(client, "cmd=" + verb + "_result rc=-1 msg=not_supported"));
    } else if (service == nullptr || service->empty() || (verb == "publish" && (port == nullptr || port->empty()))) {
      out->push_back(Reply(client, "cmd=" + verb + "_result rc=-1 info=missing_service_or_port"));
    } else if (serving_.names != nullptr) {
      out->push_back(Reply(client, NameRequest(facts_.kvsname, c.facts.rank, verb, *service,
                                               port == nullptr ? "" : *port, serving_.names)));
    } else {
      Action a;
      a.kind = Action::kName;
      a.client = client;
      a.text = verb;
      a.puts[*service] = port == nullptr ? "" : *port;
      out->push_back(std::move(a));
    }
  } else if (name == "initack") {
    Break(client, "initack on a connection that is open already", out);
  } else {
    out->push_back(Reply(client, "cmd=" + name + "_result rc=-1 msg=unknown_command"));
  }
}

void Pmi1Engine::Put(int client, const Words& words, std::vector<Action>* out) {
  const std::string* kvsname = Find(words, "kvsname");
  const std::string* key = Find(words, "key");
  const std::string* value = Find(words, "value");
  const char* why = nullptr;
  if (!clients_[client].initialized)
    why = "not_initialized";
  else if (kvsname == nullptr || *kvsname != facts_.kvsname)
    why = "unknown_kvsname";
  else if (key == nullptr || key->empty() || value == nullptr)
    why = "missing_key_or_value";
  else if (key->size() > kKeyMax)
    why = "key_too_long";
  else if (value->size() > kValueStoreMax)
    why = "value_too_long";
  else if (*key == kMappingKey)
    why = "reserved_key";
  if (why != nullptr) {
    out->push_back(Reply(client, std::string("cmd=put_result rc=-1 msg=") + why));
    return;
  }
  auto old = store_.find(*key);
  const std::size_t oldBytes = old == store_.end() ? 0 : old->first.size() + old->second.size();
  const std::size_t bytes = storeBytes_ - oldBytes + key->size() + value->size();
  if (facts_.kvsLimit > 0 && bytes > facts_.kvsLimit) {
    out->push_back(Reply(client, "cmd=put_result rc=-1 msg=key-value_space_full"));
    if (!full_) {
      full_ = true;
      Action a;
      a.kind = Action::kFull;
      a.client = client;
      out->push_back(std::move(a));
    }
    return;
  }
  storeBytes_ = bytes;
  store_[*key] = *value;
  if (!facts_.alone) newKeys_.insert(*key);
  out->push_back(Reply(client, "cmd=put_result rc=0 msg=success"));
}

void Pmi1Engine::Get(int client, const Words& words, std::vector<Action>* out) {
  const std::string* kvsname = Find(words, "kvsname");
  const std::string* key = Find(words, "key");
  const char* why = nullptr;
  KeyValues::const_iterator found = store_.end();
  if (!clients_[client].initialized)
    why = "not_initialized";
  else if (kvsname == nullptr || *kvsname != facts_.kvsname)
    why = "unknown_kvsname";
  else if (key == nullptr || (found = store_.find(*key)) == store_.end())
    why = "key_not_found";
  else if (found->second.size() > kValueStoreMax)
    why = "value_too_long";
  if (why != nullptr) {
    out->push_back(Reply(client, std::string("cmd=get_result rc=-1 msg=") + why));
    return;
  }
  out->push_back(Reply(client, kGetOk + found->second));
}

void Pmi1Engine::Preput(const KeyValues& keys) {
  for (const auto& kv : keys) {
    if (kv.first == kMappingKey || !store_.emplace(kv.first, kv.second).second) continue;
    storeBytes_ += kv.first.size() + kv.second.size();
  }
}

void Pmi1Engine::EnterBarrier(int client, std::vector<Action>* out) {
  clients_[client].waiting = true;
  for (const ClientState& c : clients_)
    if (!c.waiting) return;
  pending_ = true;
  Action a;
  a.kind = Action::kBarrier;
  for (const std::string& key : newKeys_) a.puts.emplace(key, store_[key]);
  newKeys_.clear();
  out->push_back(std::move(a));
}

bool Pmi1Engine::CompleteBarrier(const KeyValues& all, std::vector<Action>* out) {
  if (!pending_) return false;
  pending_ = false;
  for (const auto& kv : all) {
    if (kv.first == kMappingKey) continue;
    auto at = store_.find(kv.first);
    if (at == store_.end()) {
      storeBytes_ += kv.first.size() + kv.second.size();
      store_.emplace(kv.first, kv.second);
    } else if (at->second != kv.second) {  // this host's own puts are there already
      storeBytes_ = storeBytes_ - at->second.size() + kv.second.size();
      at->second = kv.second;
    }
  }
  for (int i = 0; i < Clients(); ++i) {
    ClientState& c = clients_[i];
    c.waiting = false;
    if (!c.ended) out->push_back(Reply(i, "cmd=barrier_out"));
  }
  return true;
}

int Pmi1Engine::TakeInitack(const std::string& line, const std::function<int(const std::string&)>& rankOfId,
                            std::vector<Action>* out) {
  Words words;
  if (line.size() >= kMaxLine || line.find('\0') != std::string::npos || !SplitWords(line, &words)) return -1;
  const std::string* id = Find(words, "pmiid");
  if (words[0].first != "cmd" || words[0].second != "initack" || id == nullptr) return -1;
  const int rank = rankOfId(*id);
  for (int i = 0; i < Clients(); ++i) {
    ClientState& c = clients_[i];
    if (c.facts.rank != rank || rank < 0) continue;
    if (c.spoke || c.ended) return -1;
    c.spoke = true;
    out->push_back(Reply(i, "cmd=initack"));
    out->push_back(Reply(i, "cmd=set size=" + std::to_string(facts_.size)));
    out->push_back(Reply(i, "cmd=set rank=" + std::to_string(rank)));
    out->push_back(Reply(i, "cmd=set debug=0"));
    return i;
  }
  return -1;
}

std::string Pmi1NameReply(const std::string& verb, NameTable::Status status, const std::string& port) {
  std::string line = "cmd=" + verb + "_result ";
  if (status == NameTable::kExists) return line + "rc=-1 info=name_exists";
  if (status != NameTable::kDone) return line + "rc=-1 info=name_not_found";
  line += "rc=0 info=ok";
  if (verb == "lookup") line += " port=" + port;
  return line;
}

}  // namespace pmi
