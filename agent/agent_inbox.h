// The launch agent's reader of the launcher's messages, apart from the
// agent's processes so that it can be tested and fuzzed on raw bytes.
#ifndef TARVO_AGENT_AGENT_INBOX_H
#define TARVO_AGENT_AGENT_INBOX_H

#include <map>
#include <string>
#include <vector>

#include "common/agent_wire.h"

/// One thing the launcher asks of the agent.
struct AgentOrder {
  enum Kind {
    kEnv, kRank, kSignal, kAllSent, kJob, kFencePuts, kFenceDone, kPmixJob, kPmixPart, kPmixDone, kPmixFailed, kPmixSet,
    kPmixServe, kPmixFetched, kPlace, kStacksAsk, kNamesAnswer, kConnected, kSpawned, kSpawnJob, kSpawnRank,
    kPmixNspace, kPmi1Job, kPmi1Barrier, kJobGo, kTopologyAsk, kWindow
  } kind = kEnv;
  std::vector<std::string> strings;  // kEnv: NAME=VALUE; kRank: carrier's vector without "carrier";
                                     // kJob: the kvsname and PMI_process_mapping;
                                     // kPmixJob: the namespace, this node, every rank's host;
                                     // kPlace: host, output file, error file;
                                     // kSpawned, kPmixNspace: the namespace;
                                     // kSpawnJob: as kPmixJob; kSpawnRank: as kRank;
                                     // kPmi1Job: the kvsname, this node, every process's host
  std::vector<std::string> env;                 // kSpawnRank: the process's own NAME=VALUE
  int job = 0;                                  // kSpawnJob, kSpawnRank, kPmi1Job, kPmi1Barrier, kJobGo
  std::map<std::string, std::string> puts;      // kFencePuts; kPmi1Job: the preput keys
  int size = 0, universeSize = 0;               // kJob, kPmixJob, kSpawnJob
  int kvsLimitMiB = 0;                          // kJob: 0 for no bound
  std::vector<AgentJobClient> clients;          // kJob: the agent's ranks, each once
  std::vector<int> appnums;                     // kPmixJob: every rank's
  std::string bytes;                            // kPmixPart, kNamesAnswer (its payload)
  int ticket = 0;                               // kConnected, kSpawned
  bool ok = false;                              // kConnected, kJobGo (start, else drop)
  std::vector<int> pmixRanks;                   // kPmixSet
  AgentPmixModex modex{};                       // kPmixServe, kPmixFetched (bytes: the data)
  int rank = -1;
  int flags = 0;
  int bind = 0;  // kPlace, kTopologyAsk
  bool gpus = false;  // kTopologyAsk: the GPUs as well
  int cpusPerRank = 1, gpusPerRank = 0;         // kPlace
  int sig = 0;
  int samples = 1;  // kStacksAsk
  AgentWindow window{};  // kWindow
};

/// Takes one framed message from the launcher. False when it is not
/// acceptable (then the agent ends its ranks and itself, as when the
/// connection is lost). A rank's words are the program words and the eight
/// launcher parameters, so at least nine; its rank is the one that the
/// parameters name.
bool AgentReadOrder(const AgentMessage& m, AgentOrder* order);

#endif  // TARVO_AGENT_AGENT_INBOX_H
