// The free functions of the run control, the MPI servers and the output
// relay, which the spawners and the service threads call: each reaches the
// part of the run in progress that the run object published in the run's
// context, or does without when there is none.
#include "launcher/context/RunContext.h"
#include "launcher/mpi/MpiServer.h"
#include "launcher/output/OutputRelay.h"
#include "launcher/run/RunControl.h"

const RunSettings& RunControlSettings() { return RunControl::Settings(TheRunContext().control.load()); }

int RunControlRun(std::vector<RankLaunch>& launches, AgentHub* hub, MpiServer* mpi, JobStarter* starter) {
  return RunControl::Run(TheRunContext().control.load(), launches, hub, mpi, starter);
}

void RunControlFatal(int status) {
  if (RunControl* control = TheRunContext().control.load()) control->Fatal(status);
}

void RunControlNoticed(int rank, pid_t pid, bool ended, int waitStatus) {
  if (RunControl* control = TheRunContext().control.load()) control->Noticed(rank, pid, ended, waitStatus);
}

const MpiLinks& MpiLinksOfRun() {
  static constexpr MpiLinks kNone{};
  const MpiLinks* links = TheRunContext().mpiLinks.load();
  return links != nullptr ? *links : kNone;
}

bool OutputRelayLabels() { return OutputRelay::Labels(TheRunContext().relay.load()); }

ChildStreams OutputRelayForShell() { return OutputRelay::ForShell(TheRunContext().relay.load()); }

bool OutputRelayTerminals() { return OutputRelay::Terminals(TheRunContext().relay.load()); }

ChildStreams OutputRelayForRank(int rank, int job, bool terminal) {
  return OutputRelay::ForRank(TheRunContext().relay.load(), rank, job, terminal);
}

int OutputRelayInputWho() { return OutputRelay::InputWho(TheRunContext().relay.load()); }

void OutputRelayExpectInput(size_t readers) { OutputRelay::ExpectInputReaders(TheRunContext().relay.load(), readers); }

void OutputRelayAddInputReader(int fd, const std::string& name) {
  OutputRelay::AddInputReader(TheRunContext().relay.load(), fd, name);
}

void OutputRelayStarted(const ChildStreams& streams) { OutputRelay::Started(TheRunContext().relay.load(), streams); }
