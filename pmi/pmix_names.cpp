// Names and connections for the PMIx server: libpmix's publish, lookup,
// unpublish, connect and disconnect upcalls, turned into PmixCallbacks'
// requests; their answers go back through the library's callbacks, unless
// the server has begun to stop.
#include "pmi/pmix_names.h"

#include <pmix.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "pmi/callback_guard.h"

namespace pmi {

namespace {

// An answer may come on any thread, and late: the guard drops it once the
// server is stopping.
struct Guard : CallbackGuard {
  std::string nspace;
  std::set<std::string> added;  // jobs that ranks spawned (under mutex)
};
GuardSlot<Guard> g_slot;  // set before the server starts, replaced only by the next Start

std::shared_ptr<Guard> Current() { return g_slot.Current(); }

NameTable::Status Served(const std::shared_ptr<Guard>& g) {
  std::lock_guard<std::recursive_mutex> lock(g->mutex);
  return g->serving ? NameTable::kDone : NameTable::kNotFound;
}

pmix_status_t StatusOf(NameTable::Status s) {
  switch (s) {
    case NameTable::kDone:
      return PMIX_SUCCESS;
    case NameTable::kExists:
      return PMIX_ERR_DUPLICATE_KEY;
    default:
      return PMIX_ERR_NOT_FOUND;
  }
}

std::string OwnerOf(const pmix_proc_t* proc) {
  return NameOwner(std::string(proc->nspace, strnlen(proc->nspace, PMIX_MAX_NSLEN)), static_cast<int>(proc->rank));
}

std::string NspaceOf(const pmix_proc_t* proc) {
  return std::string(proc->nspace, strnlen(proc->nspace, PMIX_MAX_NSLEN));
}

// Whether `proc` is of a job that a rank spawned.
bool Added(const std::shared_ptr<Guard>& g, const pmix_proc_t* proc) {
  std::lock_guard<std::recursive_mutex> lock(g->mutex);
  return g->added.count(NspaceOf(proc)) != 0;
}

// The caller's own process, when it is one of this node's job, or of a job
// that a rank spawned.
bool OurRank(const std::shared_ptr<Guard>& g, const pmix_proc_t* proc, int* rank) {
  if (proc == nullptr || (NspaceOf(proc) != g->nspace && !Added(g, proc))) return false;
  *rank = static_cast<int>(proc->rank);
  return true;
}

std::vector<std::string> Keys(char** keys) {
  std::vector<std::string> out;
  for (char** k = keys; k != nullptr && *k != nullptr; ++k) out.emplace_back(*k);
  return out;
}

// A published value of any type, kept in the table as libpmix's own
// packing of it, in hexadecimal: text, which the agent protocol's string
// lists carry.
bool Packed(const pmix_value_t* value, std::string* bytes) {
  pmix_data_buffer_t buffer;
  PMIX_DATA_BUFFER_CONSTRUCT(&buffer);
  const bool ok = PMIx_Data_pack(nullptr, &buffer, const_cast<pmix_value_t*>(value), 1, PMIX_VALUE) == PMIX_SUCCESS;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; ok && i < buffer.bytes_used; ++i) {
    const unsigned char c = static_cast<unsigned char>(buffer.base_ptr[i]);
    bytes->push_back(kHex[c >> 4]);
    bytes->push_back(kHex[c & 15]);
  }
  PMIX_DATA_BUFFER_DESTRUCT(&buffer);
  return ok;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unpacked(const std::string& hex, pmix_value_t* value) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  char* copy = static_cast<char*>(malloc(hex.size() / 2));
  if (copy == nullptr) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) {
      free(copy);
      return false;
    }
    copy[i / 2] = static_cast<char>(high << 4 | low);
  }
  pmix_data_buffer_t buffer;
  PMIX_DATA_BUFFER_CONSTRUCT(&buffer);
  PMIX_DATA_BUFFER_LOAD(&buffer, copy, hex.size() / 2);  // the buffer owns the copy from here
  int32_t count = 1;
  pmix_value_t unpacked;
  PMIX_VALUE_CONSTRUCT(&unpacked);
  const bool ok = PMIx_Data_unpack(nullptr, &buffer, &unpacked, &count, PMIX_VALUE) == PMIX_SUCCESS;
  if (ok) PMIx_Value_xfer(value, &unpacked);
  PMIX_VALUE_DESTRUCT(&unpacked);
  PMIX_DATA_BUFFER_DESTRUCT(&buffer);
  return ok;
}

bool IsDirective(const char* key) { return strncmp(key, "pmix.", 5) == 0; }

// Hands a publish or an unpublish to the owner, whose answer is a status
// alone; into the owner under the guard (an answer may come at once).
pmix_status_t AskForStatus(const std::shared_ptr<Guard>& g, PmixNameRequest r, pmix_op_cbfunc_t cbfunc, void* cbdata) {
  std::lock_guard<std::recursive_mutex> calling(g->mutex);
  if (!g->serving) return PMIX_ERR_NOT_SUPPORTED;
  g->callbacks->names(std::move(r), [g, cbfunc, cbdata](NameTable::Status s, std::vector<PublishedName>) {
    std::lock_guard<std::recursive_mutex> lock(g->mutex);
    if (g->serving && cbfunc != nullptr) cbfunc(StatusOf(s), cbdata);
  });
  return PMIX_SUCCESS;
}

pmix_status_t OnPublish(const pmix_proc_t* proc, const pmix_info_t info[], size_t ninfo, pmix_op_cbfunc_t cbfunc,
                        void* cbdata) {
  std::shared_ptr<Guard> g = Current();
  PmixNameRequest r;
  if (g == nullptr || Served(g) != NameTable::kDone || !OurRank(g, proc, &r.rank)) return PMIX_ERR_NOT_SUPPORTED;
  r.kind = PmixNameRequest::kPublish;
  bool firstRead = false;
  for (size_t i = 0; i < ninfo; ++i) {
    if (strncmp(info[i].key, PMIX_PERSISTENCE, PMIX_MAX_KEYLEN) == 0 && info[i].value.type == PMIX_PERSIST)
      firstRead = info[i].value.data.persist == PMIX_PERSIST_FIRST_READ;
  }
  for (size_t i = 0; i < ninfo; ++i) {
    if (IsDirective(info[i].key)) continue;
    std::string value;
    if (!Packed(&info[i].value, &value)) return PMIX_ERR_NOT_SUPPORTED;
    r.names.push_back(PublishedName{std::string(info[i].key, strnlen(info[i].key, PMIX_MAX_KEYLEN)),
                                    std::move(value), OwnerOf(proc), firstRead});
  }
  if (r.names.empty()) return PMIX_ERR_BAD_PARAM;
  return AskForStatus(g, std::move(r), cbfunc, cbdata);
}

pmix_status_t OnLookup(const pmix_proc_t* proc, char** keys, const pmix_info_t info[], size_t ninfo,
                       pmix_lookup_cbfunc_t cbfunc, void* cbdata) {
  std::shared_ptr<Guard> g = Current();
  PmixNameRequest r;
  if (g == nullptr || Served(g) != NameTable::kDone || !OurRank(g, proc, &r.rank)) return PMIX_ERR_NOT_SUPPORTED;
  r.kind = PmixNameRequest::kLookup;
  r.keys = Keys(keys);
  r.owner = OwnerOf(proc);
  if (r.keys.empty()) return PMIX_ERR_BAD_PARAM;
  for (size_t i = 0; i < ninfo; ++i) {
    if (strncmp(info[i].key, PMIX_WAIT, PMIX_MAX_KEYLEN) != 0) continue;
    // A flag (Open MPI's), or how many of the keys to wait for (0: all).
    if (info[i].value.type == PMIX_BOOL) {
      r.wait = info[i].value.data.flag;
    } else if (info[i].value.type == PMIX_INT) {
      r.wait = true;
      r.want = info[i].value.data.integer > 0 ? static_cast<size_t>(info[i].value.data.integer) : 0;
    } else {
      r.wait = true;
    }
  }
  std::lock_guard<std::recursive_mutex> calling(g->mutex);
  if (!g->serving) return PMIX_ERR_NOT_SUPPORTED;
  g->callbacks->names(std::move(r), [g, cbfunc, cbdata](NameTable::Status s, std::vector<PublishedName> found) {
    std::lock_guard<std::recursive_mutex> lock(g->mutex);
    if (s != NameTable::kDone) found.clear();
    if (!g->serving || cbfunc == nullptr) return;
    pmix_pdata_t* data = nullptr;
    if (!found.empty()) PMIX_PDATA_CREATE(data, found.size());
    for (size_t i = 0; i < found.size(); ++i) {
      const std::string& owner = found[i].owner;
      const size_t colon = owner.rfind(':');
      pmix_proc_t from;
      PMIX_LOAD_PROCID(&from, owner.substr(0, colon).c_str(),
                       static_cast<pmix_rank_t>(strtoul(owner.c_str() + colon + 1, nullptr, 10)));
      PMIX_LOAD_PROCID(&data[i].proc, from.nspace, from.rank);
      PMIX_LOAD_KEY(data[i].key, found[i].key.c_str());
      if (!Unpacked(found[i].value, &data[i].value)) s = NameTable::kNotFound;
    }
    // The library copies the data before its callback returns.
    cbfunc(StatusOf(s), data, found.size(), cbdata);
    if (data != nullptr) PMIX_PDATA_FREE(data, found.size());
  });
  return PMIX_SUCCESS;
}

pmix_status_t OnUnpublish(const pmix_proc_t* proc, char** keys, const pmix_info_t[], size_t, pmix_op_cbfunc_t cbfunc,
                          void* cbdata) {
  std::shared_ptr<Guard> g = Current();
  PmixNameRequest r;
  if (g == nullptr || Served(g) != NameTable::kDone || !OurRank(g, proc, &r.rank)) return PMIX_ERR_NOT_SUPPORTED;
  r.kind = PmixNameRequest::kUnpublish;
  r.keys = Keys(keys);
  r.owner = OwnerOf(proc);
  if (r.keys.empty()) return PMIX_ERR_BAD_PARAM;
  return AskForStatus(g, std::move(r), cbfunc, cbdata);
}

pmix_status_t Connection(const pmix_proc_t procs[], size_t nprocs, bool disconnect, pmix_op_cbfunc_t cbfunc,
                         void* cbdata) {
  std::shared_ptr<Guard> g = Current();
  if (g == nullptr || Served(g) != NameTable::kDone) return PMIX_ERR_NOT_SUPPORTED;
  // A spawned job and its parents: libpmix has gathered this node's of them.
  bool acrossJobs = false;
  for (size_t i = 0; i < nprocs; ++i) {
    int rank = -1;
    if (!OurRank(g, &procs[i], &rank)) return PMIX_ERR_NOT_SUPPORTED;
    acrossJobs = acrossJobs || NspaceOf(&procs[i]) != g->nspace;
  }
  if (acrossJobs) {
    std::lock_guard<std::recursive_mutex> calling(g->mutex);
    if (!g->serving) return PMIX_ERR_NOT_SUPPORTED;
    if (!g->callbacks->connectJobs) {
      if (cbfunc != nullptr) cbfunc(PMIX_SUCCESS, cbdata);
      return PMIX_SUCCESS;
    }
    // Jobs on more than one node: every node with processes among them must be in.
    PmixCallbacks::Procs named;
    for (size_t i = 0; i < nprocs; ++i) {
      const std::string nspace = NspaceOf(&procs[i]);
      named.emplace_back(nspace == g->nspace ? std::string() : nspace,
                          procs[i].rank == PMIX_RANK_WILDCARD ? -1 : static_cast<int>(procs[i].rank));
    }
    g->callbacks->connectJobs(std::move(named), disconnect, [g, cbfunc, cbdata](bool ok) {
      std::lock_guard<std::recursive_mutex> lock(g->mutex);
      if (g->serving && cbfunc != nullptr) cbfunc(ok ? PMIX_SUCCESS : PMIX_ERR_NOT_SUPPORTED, cbdata);
    });
    return PMIX_SUCCESS;
  }
  std::vector<int> ranks;
  for (size_t i = 0; i < nprocs; ++i) {
    int rank = -1;
    // Only the ranks of this job: a spawned job is connected by its own server.
    if (!OurRank(g, &procs[i], &rank)) return PMIX_ERR_NOT_SUPPORTED;
    ranks.push_back(procs[i].rank == PMIX_RANK_WILDCARD ? -1 : rank);
  }
  std::lock_guard<std::recursive_mutex> calling(g->mutex);
  if (!g->serving) return PMIX_ERR_NOT_SUPPORTED;
  g->callbacks->connect(std::move(ranks), disconnect, [g, cbfunc, cbdata](bool ok) {
    std::lock_guard<std::recursive_mutex> lock(g->mutex);
    if (g->serving && cbfunc != nullptr) cbfunc(ok ? PMIX_SUCCESS : PMIX_ERR_NOT_SUPPORTED, cbdata);
  });
  return PMIX_SUCCESS;
}

pmix_status_t OnConnect(const pmix_proc_t procs[], size_t nprocs, const pmix_info_t[], size_t, pmix_op_cbfunc_t cbfunc,
                        void* cbdata) {
  return Connection(procs, nprocs, false, cbfunc, cbdata);
}

pmix_status_t OnDisconnect(const pmix_proc_t procs[], size_t nprocs, const pmix_info_t[], size_t,
                           pmix_op_cbfunc_t cbfunc, void* cbdata) {
  return Connection(procs, nprocs, true, cbfunc, cbdata);
}

}  // namespace

void AddNameUpcalls(pmix_server_module_t* module, const PmixCallbacks* callbacks, const std::string& nspace) {
  auto g = std::make_shared<Guard>();
  g->callbacks = callbacks;
  g->nspace = nspace;
  g_slot.Set(g);
  if (callbacks->names) {
    module->publish = OnPublish;
    module->lookup = OnLookup;
    module->unpublish = OnUnpublish;
  }
  if (callbacks->connect) {
    module->connect = OnConnect;
    module->disconnect = OnDisconnect;
  }
}

void AddServedNamespace(const std::string& nspace) {
  std::shared_ptr<Guard> g = Current();
  if (g == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(g->mutex);
  g->added.insert(nspace);
}

void ForgetServedNamespace(const std::string& nspace) {
  std::shared_ptr<Guard> g = Current();
  if (g == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(g->mutex);
  g->added.erase(nspace);
}

void StopNameUpcalls() { g_slot.Stop(); }

}  // namespace pmi
