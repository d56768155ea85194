// What the MPI tests share: an MPI probe run under tarvo, placed locally or
// over the loopback sshd (started on first use), and the probe's lines in
// an order that does not depend on the ranks' timing.
#ifndef TARVO_TESTS_SUPPORT_MPI_RUN_H
#define TARVO_TESTS_SUPPORT_MPI_RUN_H

#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/launcher_harness.h"
#include "tests/run_util.h"
#include "tests/support/sshd.h"

namespace support {

inline std::string LocalName() {
  char name[256] = {0};
  gethostname(name, sizeof name - 1);
  return std::string(name).substr(0, 31);
}

using testutil::SortedLines;

// How a probe run is placed: TARVO_LAUNCH, tarvo's words before the program
// and the machine file's lines (empty: none; else over -ssh and the sshd).
struct MpiPlacement {
  const char* name;
  const char* launch;
  std::vector<std::string> args;
  std::vector<std::string> hosts;
};

class MpiRuns {
 public:
  // Starts the sshd for a remote placement; false (said why) when it cannot.
  bool Remote() {
    if (!sshd_) sshd_.reset(new Sshd(4, {"MaxStartups 100"}));
    if (!sshd_->Ready()) std::cerr << "no private sshd, remote placements skipped: " << sshd_->Why() << "\n";
    return sshd_->Ready();
  }

  // Runs `probe DIR [MODE]` as `p` places it in DIR, a directory of its own.
  // `env`: more of tarvo's environment.
  std::unique_ptr<harness::LauncherRun> Start(const MpiPlacement& p, const std::string& probe,
                                              const std::string& mode, std::string* dir,
                                              const std::map<std::string, std::string>& env = {}) {
    *dir = testutil::MakeTempDir();
    std::vector<std::string> command = {probe, *dir};
    if (!mode.empty()) command.push_back(mode);
    return StartIn(p, *dir, command, env);
  }

  // Runs `command` as `p` places it in `dir`. Open MPI's ranks keep their
  // TCP transport on loopback unless `env` says otherwise: by default it
  // leaves loopback out and connects through this machine's own address on
  // its network interface. Remote ranks get it with the rest of tarvo's
  // environment.
  std::unique_ptr<harness::LauncherRun> StartIn(const MpiPlacement& p, const std::string& dir,
                                                const std::vector<std::string>& command,
                                                const std::map<std::string, std::string>& env = {}) {
    harness::Options o;
    o.hold = false;
    o.workdir = dir;
    o.env = env;
    o.env.emplace("OMPI_MCA_btl_tcp_if_include", "lo");
    o.env["TARVO_LAUNCH"] = p.launch;
    o.env["TARVO_KILL_GRACE"] = "1";
    o.exactPath = std::string(TARVO_BIN_DIR) + ":/usr/bin:/bin";
    std::vector<std::string> args = p.args;
    if (!p.hosts.empty()) {
      std::string file;
      for (const std::string& h : p.hosts) file += h + "\n";
      testutil::WriteFile(dir + "/hosts", file);
      o.exactPath = sshd_->ShimDir() + ":" + o.exactPath;
      args.insert(args.begin(), {"-ssh", "-mf", "hosts"});
    }
    args.insert(args.end(), command.begin(), command.end());
    return std::unique_ptr<harness::LauncherRun>(new harness::LauncherRun(args, o));
  }

 private:
  std::unique_ptr<Sshd> sshd_;
};

}  // namespace support

#endif  // TARVO_TESTS_SUPPORT_MPI_RUN_H
