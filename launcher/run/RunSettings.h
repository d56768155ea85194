// The launcher's settings of its own (TARVO_* variables), as the run control
// and the spawners take them. The app layer reads them (app/ReadSettings.h).
#ifndef TARVO_LAUNCHER_RUN_RUNSETTINGS_H
#define TARVO_LAUNCHER_RUN_RUNSETTINGS_H

#include <string>
#include <vector>

/// The launcher's settings of its own, from TARVO_* environment variables,
/// read once at start-up.
struct RunSettings {
  double killGrace = 3.0;     // TARVO_KILL_GRACE: seconds from SIGTERM to SIGKILL
  bool killOnBadExit = true;  // TARVO_KILL_ON_BAD_EXIT: a failing rank ends the run
  double timeout = 0.0;       // TARVO_TIMEOUT: seconds the run may last; 0 for no limit
  int sshWindow = 8;          // TARVO_SSH_WINDOW: remote shells logging in at once; 0 for no limit
  /// TARVO_LAUNCH: "rank" starts every rank through carrier (a remote one
  /// through its own remote shell); "host" starts one launch agent per
  /// remote host and the launcher's own ranks directly.
  /// "slurm" starts one agent per node of the Slurm allocation through one
  /// srun step.
  enum Launch { kLaunchRank, kLaunchHost, kLaunchSlurm } launch = kLaunchRank;
  /// TARVO_EXPORT in host mode: every variable (the default), none, or the
  /// names listed.
  enum Export { kExportAll, kExportNone, kExportList } exportMode = kExportAll;
  std::vector<std::string> exportNames;
  bool label = false;    // TARVO_LABEL=1: every line of a rank comes out whole, prefixed "[R] "
  /// TARVO_PTY=0: the ranks write to tarvo's own standard output and error
  /// (unless labelled); by default each rank's standard output is a terminal
  /// of its own and its lines come out whole.
  bool pty = true;
  bool monitor = false;  // TARVO_MONITOR=1: the monitor bridge runs for the run
  /// TARVO_STACKS=0: no call stacks of the ranks at the time limit nor on
  /// SIGQUIT (which then has its default action again).
  bool stacks = true;
  /// TARVO_STACKS_SAMPLES: the stacks are read this many times (1 or 2),
  /// 200 ms apart, and the ranks whose stacks moved are named.
  int stackSamples = 2;
  /// TARVO_STACKS_DOT: the merged tree also written as a Graphviz graph
  /// into this file each time it is printed; empty for none.
  std::string stacksDot;
  /// TARVO_OUTPUT, TARVO_ERROR: each rank's standard output (error) into the
  /// file that the pattern names (%r rank, %h host, %% a percent); empty for
  /// the relay.
  std::string outputPattern, errorPattern;
  int bind = 0;                 // TARVO_BIND: RankBind; core when only TARVO_CPUS_PER_RANK is set
  bool reportBinding = false;   // TARVO_REPORT_BINDING=1: one line per rank on its CPUs
  /// TARVO_PPN: consecutive ranks per host (0: the machine file's lines in
  /// turn); inside Slurm SLURM_NTASKS_PER_NODE by default.
  int ppn = 0;
  /// TARVO_CPUS_PER_RANK: units of the binding's level per rank, with
  /// OMP_NUM_THREADS to match (0: unset, one unit and no OMP_NUM_THREADS);
  /// inside Slurm SLURM_CPUS_PER_TASK by default.
  int cpusPerRank = 0;
  int gpusPerRank = 0;   // TARVO_GPUS_PER_RANK: GPUs per rank (0: every rank sees every GPU)
  bool dryRun = false;   // TARVO_DRY_RUN=1: the map on standard error, no rank started
  /// TARVO_PMIX: a PMIx server for the ranks (Open MPI's programs): 1
  /// always, 0 never, -1 (auto) when a rank's program may speak PMIx.
  int pmix = -1;
  /// TARVO_RSH: the remote shell's words (`ssh -F FILE -p 2222`), in place
  /// of the "rsh" or "ssh" that -rsh and -ssh choose; empty for those.
  std::vector<std::string> rsh;
  /// TARVO_KVS_LIMIT: MiB of keys and values that the run's key-value space
  /// (the MPI ranks' PMI-1 puts) may hold.
  int kvsLimitMiB = 64;
  /// TARVO_LOGIN_TIMEOUT: seconds that a remote shell's far side has to
  /// report (the agent's hello, carrier's start notice) before the run ends.
  double loginTimeout = 60.0;
  /// TARVO_STDIN: the rank that reads tarvo's standard input, kStdinAll
  /// (a copy each) or kStdinNone (every rank an empty input).
  enum { kStdinNone = -1, kStdinAll = -2 };
  int stdinWho = 0;
  /// TARVO_WDIR: the ranks' working directory on every host, as given
  /// (start-up makes a relative one absolute from its own); empty: tarvo's.
  std::string wdir;
  /// TARVO_TIMEOUT_SIGNAL=SIG@SECONDS: `timeoutSignal` (0: none) goes to
  /// every rank `timeoutSignalBefore` seconds before the time limit.
  int timeoutSignal = 0;
  double timeoutSignalBefore = 0.0;
};

#endif  // TARVO_LAUNCHER_RUN_RUNSETTINGS_H
