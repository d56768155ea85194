// tarvo-agent: the launch agent of TARVO_LAUNCH=host. The launcher starts one
// per remote host through one remote shell:
//
//   tarvo-agent LAUNCHER_ADDRESS PORT AGENT
//
// (AGENT "-" in a Slurm step: the task's SLURM_NODEID)
// with the run's secret as the first line of its standard input (a command
// line is visible to every user of the host). The agent connects to the
// launcher, proves itself with the secret, and starts the ranks that the
// launcher sends, each with one fork and one exec, doing for each exactly
// what carrier would (common/carrier_exec.c). It reports every rank's start
// and end, passes on the launcher's signals, labels the ranks' output lines
// when asked, and ends its ranks at once when its connection to the launcher
// is lost: the launcher is gone, and so is the run.
//
// This file is the agent's start: its forms, the secret, the connection and
// the hello; its loop is agent_loop.h's.
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/agent_loop.h"
#include "agent/agent_place.h"
#include "agent/agent_stacks.h"
#include "common/agent_wire.h"
#include "common/net_socket.h"
#include "common/signal_mask.h"

namespace {

// The secret's line, read one byte at a time so that nothing after it is
// taken from standard input: rank 0 reads the rest.
bool ReadSecret(std::string* secret) {
  char c;
  while (secret->size() <= 64) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') return !secret->empty();
    *secret += c;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The agent ends with its parent, the remote shell's session, which ends
  // when the launcher's remote shell does; its ranks' groups end with it
  // (SIGTERM, which the agent takes, once its loop runs).
  const int stacks = StacksMain(argc, argv);  // --stacks
  if (stacks >= 0) return stacks;
  const int other = PlaceMain(argc, argv);  // --cpus, --place
  if (other >= 0) return other;
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 1;
  char host[256] = "?";
  gethostname(host, sizeof host - 1);
  if (argc != 4) {
    fputs("usage: tarvo-agent LAUNCHER_ADDRESS PORT AGENT (the run's secret on standard input)\n", stderr);
    return 2;
  }
  std::string secret;
  if (!ReadSecret(&secret)) {
    AgentReport(host, "no secret on standard input", "");
    return 2;
  }
  char err[NET_ERR_LEN];
  const int link = NetTcpConnect(err, argv[1], atoi(argv[2]));
  if (link < 0) {
    AgentReport(host, "cannot reach the launcher", err);
    return 1;
  }
  AgentHello hello{};
  hello.version = kAgentProtocolVersion;
  memcpy(hello.secret, secret.data(), std::min(secret.size(), sizeof hello.secret));
  // "-": one task of a Slurm step, numbered by its node in the allocation.
  const char* node = getenv("SLURM_NODEID");
  hello.agent = strcmp(argv[3], "-") == 0 ? (node != nullptr ? atoi(node) : -1) : atoi(argv[3]);
  if (!AgentSendAll(link, AgentEncode(kAgentHello, &hello, sizeof hello))) {
    AgentReport(host, "cannot reach the launcher", strerror(errno));
    return 1;
  }
  const int signals = SignalsTaken({SIGCHLD, SIGTERM, SIGHUP, SIGINT});
  // A report after the remote shell's session is gone must not kill the
  // agent before it has cleaned up (its PMIx server's directory): a write
  // to the closed standard error then fails instead. Held, not ignored:
  // the ranks start with no signal blocked.
  PipeSignalHeld();
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = '\0';
  Agent agent(link, signals, strcmp(argv[3], "-") == 0, host, n > 0 ? self : "tarvo-agent");
  return agent.Loop();
}
