#include "launcher/spawn/PmixSetup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "launcher/mpi/MpiServer.h"
#include "launcher/run/AgentHub.h"
#include "launcher/run/RunControl.h"
#include "pmi/pmix_relay.h"

namespace spawnplan {

namespace {

bool Loopback(const std::string& host) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return false;
  const uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(result);
  return (address >> 24) == 127;
}

// Several nodes of the job on this one machine: more than one of its node
// names resolves to a loopback address (127.0.0.0/8).
bool SharedMachine(const std::set<std::string>& nodes) {
  if (RunControlSettings().pmixShared >= 0) return RunControlSettings().pmixShared == 1;
  if (nodes.size() < 2) return false;
  int local = 0;
  for (const std::string& node : nodes) local += Loopback(node) ? 1 : 0;
  return local > 1;
}

}  // namespace

void ServePmix(MpiServer* mpi, std::vector<std::string> hosts, const std::vector<int>& appnums,
               const std::vector<int>& agentOf, const std::vector<std::string>& agentHosts, AgentHub* hub) {
  if (!RunControlSettings().pmix || !MpiHavePmix() || hosts.empty()) return;
  pmi::PmixJob job;
  job.nspace = "tarvo_" + std::to_string(getpid());
  auto own = std::find(agentOf.begin(), agentOf.end(), -1);
  job.thisHost = own != agentOf.end() ? hosts[static_cast<size_t>(own - agentOf.begin())] : std::string();
  for (size_t i = 0; i < hosts.size(); ++i) {
    hosts[i] = agentOf[i] < 0 ? job.thisHost : agentHosts[static_cast<size_t>(agentOf[i])];
  }
  job.hosts = hosts;
  job.appnums = appnums;
  job.sharedMachine = SharedMachine(std::set<std::string>(hosts.begin(), hosts.end()));
  std::string why;
  if (!mpi->ServePmix(job, &why)) {
    fprintf(stderr, "tarvo: no PMIx server for the ranks (Open MPI programs start alone): %s\n", why.c_str());
    return;
  }
  for (size_t a = 0; hub != nullptr && a < agentHosts.size(); ++a) {
    hub->SetPmixJob(static_cast<int>(a), mpi->PmixJobPayload(agentHosts[a]));
  }
}

void MergeRankEnvironment(std::vector<char*>* envp, std::vector<std::string>& ours) {
  std::set<std::string> names;
  bool pmix = false;
  for (const std::string& e : ours) {
    names.insert(e.substr(0, e.find('=')));
    pmix = pmix || pmi::IsOutsidePmixVariable(e.c_str());
  }
  std::vector<char*> merged;
  for (char* e : *envp) {
    if (e == nullptr) break;
    const char* eq = strchr(e, '=');
    const std::string name = eq == nullptr ? std::string(e) : std::string(e, static_cast<size_t>(eq - e));
    if (names.count(name) != 0 || (pmix && pmi::IsOutsidePmixVariable(e))) continue;
    merged.push_back(e);
  }
  for (std::string& e : ours) merged.push_back(&e[0]);
  merged.push_back(nullptr);
  envp->swap(merged);
}

}  // namespace spawnplan
