#include "launcher/mpi/NameService.h"

#include "pmi/name_wire.h"

void NameService::AgentAsk(int agent, const std::string& payload) {
  int32_t ticket = 0;
  pmi::PmixNameRequest r;
  if (!pmi::DecodeNameRequest(payload, &ticket, &r)) return;
  Ask((static_cast<uint64_t>(agent) + 1) << 32 | static_cast<uint32_t>(ticket), r);
}

void NameService::Ask(uint64_t ticket, const pmi::PmixNameRequest& r) {
  std::vector<pmi::PublishedName> found;
  pmi::NameTable::Status status = pmi::NameTable::kNotFound;
  std::vector<pmi::NameTable::Released> released;
  switch (r.kind) {
    case pmi::PmixNameRequest::kPublish:
      status = names_.Publish(r.names, &released);
      break;
    case pmi::PmixNameRequest::kLookup:
      status = names_.Lookup(ticket, r.keys, r.want, r.wait, &found, r.owner);
      break;
    case pmi::PmixNameRequest::kUnpublish:
      status = names_.Unpublish(r.owner, r.keys);
      break;
  }
  if (status != pmi::NameTable::kWaits) Answer(ticket, status, std::move(found));
  for (pmi::NameTable::Released& w : released) Answer(w.ticket, pmi::NameTable::kDone, std::move(w.found));
}

void NameService::Answer(uint64_t ticket, pmi::NameTable::Status status, std::vector<pmi::PublishedName> found) {
  const uint64_t agent = ticket >> 32;
  if (agent == 0) {
    own_(ticket, status, std::move(found));
    return;
  }
  toAgents_->emplace_back(static_cast<int>(agent - 1),
                          pmi::EncodeNameAnswer(static_cast<int32_t>(ticket & 0xffffffffu), status, found));
}
