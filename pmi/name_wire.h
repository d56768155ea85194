// Name requests and their answers as they cross the agent protocol
// (kAgentNames, kAgentNamesAnswer): an agent's ranks are answered from the
// run's one table, in tarvo.
#ifndef TARVO_PMI_NAME_WIRE_H
#define TARVO_PMI_NAME_WIRE_H

#include <cstdint>
#include <string>
#include <vector>

#include "pmi/name_table.h"
#include "pmi/pmix_host.h"

namespace pmi {

/// kAgentNames's frame for `request`.
std::string EncodeNameRequest(int32_t ticket, const PmixNameRequest& request);
/// kAgentNames's payload; false when it is malformed.
bool DecodeNameRequest(const std::string& payload, int32_t* ticket, PmixNameRequest* request);
/// kAgentNamesAnswer's frame.
std::string EncodeNameAnswer(int32_t ticket, NameTable::Status status, const std::vector<PublishedName>& found);
/// kAgentNamesAnswer's payload; false when it is malformed.
bool DecodeNameAnswer(const std::string& payload, int32_t* ticket, NameTable::Status* status,
                      std::vector<PublishedName>* found);

}  // namespace pmi

#endif  // TARVO_PMI_NAME_WIRE_H
