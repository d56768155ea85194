// The agent protocol's framing and encodings: the frames and records are
// the wire contract's (common/wire.h).
#ifndef TARVO_COMMON_AGENT_WIRE_H
#define TARVO_COMMON_AGENT_WIRE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/wire.h"

/// One whole frame as received.
struct AgentMessage {
  int32_t type = 0;
  std::string payload;
};

/// Cuts a byte stream into frames. Feed appends received bytes and moves
/// every whole frame to *out; false when the stream is malformed (then the
/// connection is to be ended). `fromAgent` chooses which side's types are
/// accepted.
class AgentFrameReader {
 public:
  explicit AgentFrameReader(bool fromAgent) : fromAgent_(fromAgent) {}
  bool Feed(const char* data, size_t size, std::vector<AgentMessage>* out);

 private:
  bool fromAgent_;
  std::string buffer_;
};

/// A frame ready to send.
std::string AgentEncode(int32_t type, const void* payload, size_t size);
/// The payload of a string list: each string followed by its NUL.
std::string AgentStrings(const std::vector<std::string>& strings);
/// Sends all of `data` on a stream socket (no SIGPIPE); false when the
/// connection fails or a send times out.
bool AgentSendAll(int fd, const std::string& data);
/// Splits a string-list payload; false unless it is empty or ends in NUL.
bool AgentSplitStrings(const char* data, size_t size, std::vector<std::string>* out);
/// The frames of one side's part of a fence: `puts` in kAgentFencePuts
/// frames of at most half the largest payload, then kAgentFenceDone.
std::string AgentEncodeFence(const std::map<std::string, std::string>& puts);
/// One side's part of a PMIx fence: `blob` in kAgentPmixPart frames of at
/// most half the largest payload, then kAgentPmixDone.
std::string AgentEncodePmixFence(const std::string& blob);
/// The kAgentPmixSet frame that goes before the frames of the fence of
/// `ranks` (ascending), nothing for the job's (empty).
std::string AgentEncodePmixSet(const std::vector<int>& ranks);
/// A kAgentPmixSet payload's ranks; false unless they are ascending and
/// not negative, one at least.
bool AgentTakePmixSet(const std::string& payload, std::vector<int>* ranks);
/// The kAgentPmixNspace frame that goes before the frames of a spawned
/// job's fence, fetch or serve; nothing for the run's first job (empty).
std::string AgentEncodePmixNspace(const std::string& nspace);
/// A kAgentPmixServed frame (kAgentPmixFetched with `type`): the answer to
/// request `tag`, with the data when `status` is 0; data over the largest
/// payload is answered with status 1 and none.
std::string AgentEncodePmixServed(int tag, int status, const std::string& data, int32_t type = kAgentPmixServed);
/// Adds the pairs of a kAgentFencePuts payload to *puts; false unless it is
/// a string list of key, value pairs with keys that are not empty.
bool AgentTakeFencePuts(const std::string& payload, std::map<std::string, std::string>* puts);

#endif  // TARVO_COMMON_AGENT_WIRE_H
