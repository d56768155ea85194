#include "common/agent_wire.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// The payload size that a type demands: -1 for a variable one.
int32_t FixedSize(int32_t type) {
  switch (type) {
    case kAgentSignal: return sizeof(AgentSignal);
    case kAgentAllSent: return 0;
    case kAgentStarted: return sizeof(AgentRankPid);
    case kAgentEnded: return sizeof(AgentRankEnd);
    case kAgentFenceDone: return 0;
    case kAgentAbort: return sizeof(AgentRankAbort);
    case kAgentPmixDone: return 0;
    case kAgentPmixFailed: return 0;
    case kAgentUnfinalized: return sizeof(int32_t);
    case kAgentStacksAsk: return sizeof(int32_t);
    case kAgentPmixFetch: return sizeof(AgentPmixModex);
    case kAgentPmixServe: return sizeof(AgentPmixModex);
    case kAgentBroke: return sizeof(AgentRankBroke);
    case kAgentConnected: return sizeof(AgentConnected);
    case kAgentJobReady:
    case kAgentJobStarted:
    case kAgentJobEnded:
    case kAgentJobUnfinalized:
    case kAgentJobAbort:
    case kAgentJobGo: return sizeof(AgentJobRank);
    case kAgentPmi1Barrier: return sizeof(int32_t);
    case kAgentTopologyAsk: return sizeof(AgentTopologyAsk);
    case kAgentWindow: return sizeof(AgentWindow);
    default: return -1;
  }
}

bool Accepted(int32_t type, bool fromAgent) {
  if (type == kAgentFencePuts || type == kAgentFenceDone || type == kAgentPmixPart || type == kAgentPmixDone ||
      type == kAgentPmixFailed || type == kAgentPmixSet || type == kAgentPmixNspace || type == kAgentPmi1Barrier) {
    return true;
  }
  if (fromAgent) {
    return type == kAgentHello || type == kAgentStarted || type == kAgentEnded || type == kAgentAbort ||
           type == kAgentWaiting || type == kAgentUnfinalized || type == kAgentStacks || type == kAgentBroke ||
           type == kAgentNames || type == kAgentConnect || type == kAgentPmixFetch || type == kAgentPmixServed ||
           type == kAgentSpawn || type == kAgentJobReady || type == kAgentJobStarted || type == kAgentJobEnded ||
           type == kAgentJobUnfinalized || type == kAgentJobAbort || type == kAgentTopology;
  }
  return type == kAgentEnv || type == kAgentRank || type == kAgentSignal || type == kAgentAllSent || type == kAgentJob ||
         type == kAgentPmixJob || type == kAgentPlace || type == kAgentStacksAsk || type == kAgentNamesAnswer ||
         type == kAgentConnected || type == kAgentPmixServe || type == kAgentPmixFetched || type == kAgentSpawned ||
         type == kAgentSpawnJob || type == kAgentSpawnRank || type == kAgentPmi1Job || type == kAgentJobGo ||
         type == kAgentTopologyAsk || type == kAgentWindow;
}

}  // namespace

bool AgentFrameReader::Feed(const char* data, size_t size, std::vector<AgentMessage>* out) {
  buffer_.append(data, size);
  size_t at = 0;
  bool ok = true;
  while (buffer_.size() - at >= sizeof(AgentFrame)) {
    AgentFrame head;
    memcpy(&head, buffer_.data() + at, sizeof head);
    const int32_t fixed = FixedSize(head.type);
    if (!Accepted(head.type, fromAgent_) || head.size < 0 || head.size > kAgentMaxPayload ||
        (fixed >= 0 && head.size != fixed)) {
      ok = false;
      break;
    }
    if (buffer_.size() - at - sizeof head < static_cast<size_t>(head.size)) break;
    AgentMessage m;
    m.type = head.type;
    m.payload.assign(buffer_, at + sizeof head, static_cast<size_t>(head.size));
    out->push_back(std::move(m));
    at += sizeof head + static_cast<size_t>(head.size);
  }
  buffer_.erase(0, at);
  return ok;
}

std::string AgentEncode(int32_t type, const void* payload, size_t size) {
  AgentFrame head{type, static_cast<int32_t>(size)};
  std::string frame(reinterpret_cast<const char*>(&head), sizeof head);
  if (size > 0) frame.append(static_cast<const char*>(payload), size);
  return frame;
}

std::string AgentStrings(const std::vector<std::string>& strings) {
  std::string blob;
  for (const std::string& s : strings) {
    blob += s;
    blob += '\0';
  }
  return blob;
}

bool AgentSplitStrings(const char* data, size_t size, std::vector<std::string>* out) {
  if (size > 0 && data[size - 1] != '\0') return false;
  for (size_t at = 0; at < size;) {
    const size_t n = strlen(data + at);
    out->emplace_back(data + at, n);
    at += n + 1;
  }
  return true;
}

std::string AgentEncodeFence(const std::map<std::string, std::string>& puts) {
  std::string frames, chunk;
  for (const auto& kv : puts) {
    std::string pair = kv.first;
    pair += '\0';
    pair += kv.second;
    pair += '\0';
    if (!chunk.empty() && chunk.size() + pair.size() > static_cast<size_t>(kAgentMaxPayload / 2)) {
      frames += AgentEncode(kAgentFencePuts, chunk.data(), chunk.size());
      chunk.clear();
    }
    chunk += pair;
  }
  if (!chunk.empty()) frames += AgentEncode(kAgentFencePuts, chunk.data(), chunk.size());
  return frames + AgentEncode(kAgentFenceDone, nullptr, 0);
}

std::string AgentEncodePmixSet(const std::vector<int>& ranks) {
  if (ranks.empty()) return std::string();
  std::vector<int32_t> wire(ranks.begin(), ranks.end());
  return AgentEncode(kAgentPmixSet, wire.data(), wire.size() * sizeof(int32_t));
}

bool AgentTakePmixSet(const std::string& payload, std::vector<int>* ranks) {
  if (payload.empty() || payload.size() % sizeof(int32_t) != 0) return false;
  ranks->clear();
  for (size_t at = 0; at < payload.size(); at += sizeof(int32_t)) {
    int32_t rank;
    memcpy(&rank, payload.data() + at, sizeof rank);
    if (rank < 0 || (!ranks->empty() && rank <= ranks->back())) return false;
    ranks->push_back(rank);
  }
  return true;
}

std::string AgentEncodePmixNspace(const std::string& nspace) {
  if (nspace.empty()) return std::string();
  const std::string payload = AgentStrings({nspace});
  return AgentEncode(kAgentPmixNspace, payload.data(), payload.size());
}

std::string AgentEncodePmixServed(int tag, int status, const std::string& data, int32_t type) {
  const bool fits = status == 0 && data.size() <= static_cast<size_t>(kAgentMaxPayload) - sizeof(AgentPmixModex);
  AgentPmixModex head{-1, tag, fits ? 0 : 1};
  std::string payload(reinterpret_cast<const char*>(&head), sizeof head);
  if (fits) payload += data;
  return AgentEncode(type, payload.data(), payload.size());
}

std::string AgentEncodePmixFence(const std::string& blob) {
  const size_t most = static_cast<size_t>(kAgentMaxPayload / 2);
  std::string frames;
  for (size_t at = 0; at < blob.size(); at += most) {
    frames += AgentEncode(kAgentPmixPart, blob.data() + at, std::min(most, blob.size() - at));
  }
  return frames + AgentEncode(kAgentPmixDone, nullptr, 0);
}

bool AgentTakeFencePuts(const std::string& payload, std::map<std::string, std::string>* puts) {
  std::vector<std::string> strings;
  if (!AgentSplitStrings(payload.data(), payload.size(), &strings) || strings.size() % 2 != 0) return false;
  for (size_t i = 0; i < strings.size(); i += 2) {
    if (strings[i].empty()) return false;
    (*puts)[strings[i]] = strings[i + 1];
  }
  return true;
}

bool AgentSendAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}
