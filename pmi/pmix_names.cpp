// Names and connections for the PMIx server: libpmix's publish, lookup,
// unpublish, connect and disconnect upcalls, turned into PmixCallbacks'
// requests; their answers go back through the library's callbacks, unless
// the server has begun to stop.
#include <pmix.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pmi/pmix_server_state.h"

namespace pmi {

namespace {

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

std::string OwnerOf(const pmix_proc_t* proc) { return NameOwner(NspaceOf(proc), static_cast<int>(proc->rank)); }

// The caller's own process, when it is one of this node's job, or of a job
// that a rank spawned.
bool OurRank(const HostCall& call, const pmix_proc_t* proc, int* rank) {
  if (proc == nullptr || call->SizeOf(NspaceOf(proc)) < 0) return false;
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
// alone.
pmix_status_t AskForStatus(const HostCall& call, PmixNameRequest r, pmix_op_cbfunc_t cbfunc, void* cbdata) {
  call->callbacks.names(std::move(r), [s = call.State(), cbfunc, cbdata](NameTable::Status status,
                                                                         std::vector<PublishedName>) {
    HostCall inside(s);
    if (inside && cbfunc != nullptr) cbfunc(StatusOf(status), cbdata);
  });
  return PMIX_SUCCESS;
}

// Answers a lookup with what the owner found.
void AnswerLookup(NameTable::Status s, std::vector<PublishedName> found, pmix_lookup_cbfunc_t cbfunc, void* cbdata) {
  if (s != NameTable::kDone) found.clear();
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
}

pmix_status_t OnPublish(const pmix_proc_t* proc, const pmix_info_t info[], size_t ninfo, pmix_op_cbfunc_t cbfunc,
                        void* cbdata) {
  HostCall call;
  PmixNameRequest r;
  if (!call || !OurRank(call, proc, &r.rank)) return PMIX_ERR_NOT_SUPPORTED;
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
  return AskForStatus(call, std::move(r), cbfunc, cbdata);
}

// A lookup's or an unpublish's request of `keys` by `proc`: PMIX_SUCCESS,
// else what the upcall returns.
pmix_status_t KeysRequest(const HostCall& call, PmixNameRequest::Kind kind, const pmix_proc_t* proc, char** keys,
                          PmixNameRequest* r) {
  if (!call || !OurRank(call, proc, &r->rank)) return PMIX_ERR_NOT_SUPPORTED;
  r->kind = kind;
  r->keys = Keys(keys);
  r->owner = OwnerOf(proc);
  return r->keys.empty() ? PMIX_ERR_BAD_PARAM : PMIX_SUCCESS;
}

pmix_status_t OnLookup(const pmix_proc_t* proc, char** keys, const pmix_info_t info[], size_t ninfo,
                       pmix_lookup_cbfunc_t cbfunc, void* cbdata) {
  HostCall call;
  PmixNameRequest r;
  const pmix_status_t asked = KeysRequest(call, PmixNameRequest::kLookup, proc, keys, &r);
  if (asked != PMIX_SUCCESS) return asked;
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
  call->callbacks.names(std::move(r), [s = call.State(), cbfunc, cbdata](NameTable::Status status,
                                                                         std::vector<PublishedName> found) {
    HostCall inside(s);
    if (inside && cbfunc != nullptr) AnswerLookup(status, std::move(found), cbfunc, cbdata);
  });
  return PMIX_SUCCESS;
}

pmix_status_t OnUnpublish(const pmix_proc_t* proc, char** keys, const pmix_info_t[], size_t, pmix_op_cbfunc_t cbfunc,
                          void* cbdata) {
  HostCall call;
  PmixNameRequest r;
  const pmix_status_t asked = KeysRequest(call, PmixNameRequest::kUnpublish, proc, keys, &r);
  if (asked != PMIX_SUCCESS) return asked;
  return AskForStatus(call, std::move(r), cbfunc, cbdata);
}

// The answer to a connect or a disconnect, through the gate.
std::function<void(bool)> ConnectAnswer(const HostCall& call, pmix_op_cbfunc_t cbfunc, void* cbdata) {
  return [s = call.State(), cbfunc, cbdata](bool ok) {
    HostCall inside(s);
    if (inside && cbfunc != nullptr) cbfunc(ok ? PMIX_SUCCESS : PMIX_ERR_NOT_SUPPORTED, cbdata);
  };
}

pmix_status_t Connection(const pmix_proc_t procs[], size_t nprocs, bool disconnect, pmix_op_cbfunc_t cbfunc,
                         void* cbdata) {
  HostCall call;
  if (!call) return PMIX_ERR_NOT_SUPPORTED;
  const std::string& first = call->job.nspace;
  // A spawned job and its parents: libpmix has gathered this node's of them.
  bool acrossJobs = false;
  std::vector<int> ranks;
  for (size_t i = 0; i < nprocs; ++i) {
    int rank = -1;
    if (!OurRank(call, &procs[i], &rank)) return PMIX_ERR_NOT_SUPPORTED;
    acrossJobs = acrossJobs || NspaceOf(&procs[i]) != first;
    ranks.push_back(procs[i].rank == PMIX_RANK_WILDCARD ? -1 : rank);
  }
  if (!acrossJobs) {
    call->callbacks.connect(std::move(ranks), disconnect, ConnectAnswer(call, cbfunc, cbdata));
    return PMIX_SUCCESS;
  }
  if (!call->callbacks.connectJobs) {
    if (cbfunc != nullptr) cbfunc(PMIX_SUCCESS, cbdata);
    return PMIX_SUCCESS;
  }
  // Jobs on more than one node: every node with processes among them must be in.
  PmixCallbacks::Procs named;
  for (size_t i = 0; i < nprocs; ++i) {
    const std::string nspace = NspaceOf(&procs[i]);
    named.emplace_back(nspace == first ? std::string() : nspace, ranks[i]);
  }
  call->callbacks.connectJobs(std::move(named), disconnect, ConnectAnswer(call, cbfunc, cbdata));
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

void AddNameUpcalls(pmix_server_module_t* module, const PmixCallbacks& callbacks) {
  if (callbacks.names) {
    module->publish = OnPublish;
    module->lookup = OnLookup;
    module->unpublish = OnUnpublish;
  }
  if (callbacks.connect) {
    module->connect = OnConnect;
    module->disconnect = OnDisconnect;
  }
}

}  // namespace pmi
