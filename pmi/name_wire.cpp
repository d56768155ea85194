#include "pmi/name_wire.h"

#include <cstring>

#include "common/agent_wire.h"

namespace pmi {

std::string EncodeNameRequest(int32_t ticket, const PmixNameRequest& request) {
  AgentNamesHead head{ticket, static_cast<int32_t>(request.kind), static_cast<int32_t>(request.want),
                      (request.wait ? kAgentNamesWait : 0) |
                          (!request.names.empty() && request.names[0].firstRead ? kAgentNamesFirstRead : 0)};
  std::vector<std::string> strings;
  if (request.kind == PmixNameRequest::kPublish) {
    strings.push_back(request.names.empty() ? std::string() : request.names[0].owner);
    for (const PublishedName& n : request.names) {
      strings.push_back(n.key);
      strings.push_back(n.value);
    }
  } else {
    strings.push_back(request.owner);
    strings.insert(strings.end(), request.keys.begin(), request.keys.end());
  }
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload += AgentStrings(strings);
  return AgentEncode(kAgentNames, payload.data(), payload.size());
}

bool DecodeNameRequest(const std::string& payload, int32_t* ticket, PmixNameRequest* request) {
  AgentNamesHead head;
  std::vector<std::string> strings;
  if (payload.size() < sizeof head) return false;
  memcpy(&head, payload.data(), sizeof head);
  if (head.kind < 0 || head.kind > 2 || head.want < 0 ||
      !AgentSplitStrings(payload.data() + sizeof head, payload.size() - sizeof head, &strings) || strings.empty())
    return false;
  *ticket = head.ticket;
  request->kind = static_cast<PmixNameRequest::Kind>(head.kind);
  request->want = static_cast<size_t>(head.want);
  request->wait = (head.flags & kAgentNamesWait) != 0;
  request->owner = strings[0];
  if (request->kind == PmixNameRequest::kPublish) {
    if (strings.size() % 2 != 1) return false;
    for (size_t i = 1; i + 1 < strings.size(); i += 2)
      request->names.push_back(
          PublishedName{strings[i], strings[i + 1], strings[0], (head.flags & kAgentNamesFirstRead) != 0});
  } else {
    request->keys.assign(strings.begin() + 1, strings.end());
  }
  return true;
}

std::string EncodeNameAnswer(int32_t ticket, NameTable::Status status, const std::vector<PublishedName>& found) {
  AgentNamesAnswerHead head{ticket, static_cast<int32_t>(status)};
  std::vector<std::string> strings;
  for (const PublishedName& n : found) strings.insert(strings.end(), {n.key, n.value, n.owner});
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  payload += AgentStrings(strings);
  return AgentEncode(kAgentNamesAnswer, payload.data(), payload.size());
}

bool DecodeNameAnswer(const std::string& payload, int32_t* ticket, NameTable::Status* status,
                      std::vector<PublishedName>* found) {
  AgentNamesAnswerHead head;
  std::vector<std::string> strings;
  if (payload.size() < sizeof head) return false;
  memcpy(&head, payload.data(), sizeof head);
  if (head.status < NameTable::kDone || head.status > NameTable::kNotFound ||
      !AgentSplitStrings(payload.data() + sizeof head, payload.size() - sizeof head, &strings) ||
      strings.size() % 3 != 0)
    return false;
  *ticket = head.ticket;
  *status = static_cast<NameTable::Status>(head.status);
  for (size_t i = 0; i < strings.size(); i += 3) found->push_back(PublishedName{strings[i], strings[i + 1], strings[i + 2], false});
  return true;
}

}  // namespace pmi
