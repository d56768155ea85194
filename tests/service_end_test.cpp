// How each of the four service threads ends when its receive fails: during
// the run, with its own report and status 1 for the run control to end the
// run with; once the run is closing, quietly. Each case runs in a child,
// since the closing cannot be undone in a process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "launcher/Control.h"
#include "launcher/run/RunControl.h"
#include "launcher/services/SourceFilter.h"
#include "tests/run_util.h"
#include "tests/support/child.h"

namespace {

struct Service {
  const char* name;
  void* (*thread)(void*);      // on a ServiceThread
  void* (*documented)(void*);  // as other programs start it, on a bare endpoint
  const char* out;  // what a failure during the run writes on standard output
  const char* err;  // and on standard error
};

const Service kServices[] = {
    {"Address", ServeAddress, ResolveAddress, "", ""},
    {"Sync", ServeSync, SynControler, "Error at 1242 Control", "syn control UDPRecv: Bad file descriptor\n"},
    {"Console", ServeConsole, DistConsole, "", "console UDPRecv: Bad file descriptor\n"},
    {"Visual", ServeVisual, TransmitMessage, "Error at 1388 Control", "Visual Thread UDPRecv: Bad file descriptor\n"},
};

// The thread on an endpoint whose every receive fails, reporting to
// `control` (null: none).
void* OnClosedEndpoint(void* (*thread)(void*), RunControl* control) {
  CUDPConnection closed(100);
  closed.Open(0);
  closed.Close();
  RunSenders senders;
  ServiceThread service{&closed, &senders, nullptr, nullptr, control};
  return thread(&service);
}

class ServiceEnd : public ::testing::TestWithParam<Service> {
 protected:
  void SetUp() override { dir_ = testutil::MakeTempDir(); }
  void TearDown() override {
    if (system(("rm -rf " + dir_).c_str()) != 0) {
    }
  }
  std::string dir_;
};

TEST_P(ServiceEnd, FailedReceiveDuringTheRunReportsAndEndsWithOne) {
  const Service s = GetParam();
  support::ChildResult r = support::RunInChild(dir_, [&] {
    RunControl control(RunSettings(), nullptr);
    OnClosedEndpoint(s.thread, &control);
    fflush(stdout);
    std::vector<RankLaunch> none;
    _exit(control.Run(none));  // the run control ends the run with it
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, s.out);
  EXPECT_EQ(r.err, s.err);
}

TEST_P(ServiceEnd, FailedReceiveOnceClosingEndsTheThreadQuietly) {
  const Service s = GetParam();
  support::ChildResult r = support::RunInChild(dir_, [&] {
    ControlBeginClosing();
    CUDPConnection closed(100);
    closed.Open(0);
    closed.Close();
    if (s.documented(&closed) != nullptr) _exit(3);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Threads, ServiceEnd, ::testing::ValuesIn(kServices),
                         [](const ::testing::TestParamInfo<Service>& info) { return std::string(info.param.name); });

}  // namespace
