// The run's one name table (MPI_Publish_name and the rest), asked by the
// PMI-1 and PMIx ranks, tarvo's own and the agents': a request is answered
// from it at once, or, for a lookup that waits, once a publish on any node
// releases it. An agent's answers go back to it in frames; those of
// tarvo's own node go where its owner says (tarvo's PMIx server).
#ifndef TARVO_LAUNCHER_MPI_NAMESERVICE_H
#define TARVO_LAUNCHER_MPI_NAMESERVICE_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pmi/name_table.h"
#include "pmi/pmix_host.h"

class NameService {
 public:
  using OwnAnswer = std::function<void(uint64_t ticket, pmi::NameTable::Status status,
                                       std::vector<pmi::PublishedName> found)>;
  /// `own`: where the answers to tarvo's own node's requests go;
  /// `toAgents`: where the frames for agents go (agent, frames).
  NameService(OwnAnswer own, std::vector<std::pair<int, std::string>>* toAgents)
      : own_(std::move(own)), toAgents_(toAgents) {}

  /// The table, which tarvo's PMI-1 servers answer from themselves.
  pmi::NameTable* Table() { return &names_; }
  /// A request of tarvo's own node, `ticket` its server's.
  void Ask(uint64_t ticket, const pmi::PmixNameRequest& r);
  /// An agent's kAgentNames (a malformed one is dropped).
  void AgentAsk(int agent, const std::string& payload);
  /// The names that `owner` published, and its lookups that wait, are
  /// dropped.
  void Drop(const std::string& owner) { names_.Drop(owner, nullptr); }

 private:
  // `ticket`'s upper half is its agent + 1 (0: tarvo's own node), the
  // lower half the ticket there.
  void Answer(uint64_t ticket, pmi::NameTable::Status status, std::vector<pmi::PublishedName> found);

  pmi::NameTable names_;
  const OwnAnswer own_;
  std::vector<std::pair<int, std::string>>* const toAgents_;
};

#endif  // TARVO_LAUNCHER_MPI_NAMESERVICE_H
