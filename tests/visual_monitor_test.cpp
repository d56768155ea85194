// The monitor program `visual` alone, and started by VisaulSystemInit from
// the search path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "launcher/Control.h"
#include "tests/visual_util.h"

namespace {

const std::string kVisual = std::string(TARVO_BIN_DIR) + "/visual";

class Monitor : public visualtest::PrivateQueueTest {
 protected:
  // Starts visual -quelvastro in the private directory, its output to a file.
  pid_t Start() {
    std::string out = dir_ + "/visual.out";
    pid_t pid = fork();
    if (pid == 0) {
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || chdir(dir_.c_str()) != 0) _exit(97);
      dup2(fd, 1);
      execl(kVisual.c_str(), "visual", "-quelvastro", static_cast<char*>(nullptr));
      _exit(98);
    }
    return pid;
  }
  std::string Output() const { return testutil::ReadFile(dir_ + "/visual.out"); }

  static void Post(int queue, long type, const std::string& text) {
    QueueMessage m;
    memset(&m, 0, sizeof m);
    m.type = type;
    memcpy(m.text, text.data(), std::min(text.size(), sizeof m.text));
    ASSERT_EQ(msgsnd(queue, &m, sizeof m.text, 0), 0);
  }
};

TEST_F(Monitor, PrintsEachRecordAndEndsAfterTheEndOfRunRecord) {
  // A queue that exists already is used as it is, records included.
  int queue = msgget(key_, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(queue, 0);
  Post(queue, 1, "4 77 go Process4 0");
  Post(queue, 4, "4 2  5,0,-2 7 x y");
  Post(queue, 11, "4 2 ");
  Post(queue, 99, "odd");
  Post(queue, 6, std::string(100, 'z'));  // fills the field, no NUL
  Post(queue, 2, "5 ");                   // a process ending, not the run
  Post(queue, 2, "-1 ");
  Post(queue, 3, "after the end");

  EXPECT_EQ(support::WaitChild(Start(), 20000), 0);
  EXPECT_EQ(Output(),
            "Msg_RMPRocessBegin: 4 77 go Process4 0\n"
            "Msg_AsynOneToOneChannelSend: 4 2  5,0,-2 7 x y\n"
            "Msg_SynOneToOneChannelDestroy: 4 2 \n"
            "99: odd\n"
            "Msg_AsynOneToOneChannelDestroy: " + std::string(100, 'z') + "\n"
            "Msg_RMPRocessEnd: 5 \n"
            "Msg_RMPRocessEnd: -1 \n");
  EXPECT_EQ(visualtest::ExistingQueue(key_), -1) << "the queue is removed";
}

TEST_F(Monitor, StopSignalRemovesTheQueueAndEndsWithZero) {
  for (int signo : {SIGTERM, SIGINT}) {
    pid_t pid = Start();
    ASSERT_TRUE(WaitForQueue(true, 10)) << "visual creates the queue";
    struct msqid_ds info;
    ASSERT_EQ(msgctl(visualtest::ExistingQueue(key_), IPC_STAT, &info), 0);
    EXPECT_EQ(info.msg_perm.mode & 0777, 0666u);
    ASSERT_EQ(kill(pid, signo), 0);
    EXPECT_EQ(support::WaitChild(pid, 10000), 0) << signo;
    EXPECT_EQ(visualtest::ExistingQueue(key_), -1) << signo;
  }
  EXPECT_EQ(Output(), "");
}

using MonitorStart = visualtest::PrivateQueueTest;

// The monitor's start forks and sleeps: the launcher's main flow runs in a
// child, in the private directory, with no monitor on its PATH.
TEST_F(MonitorStart, MissingQueueEndsWith255AfterTheTwoReports) {
  std::string empty = dir_ + "/nobin";
  ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
  support::ChildResult r = support::RunInChild(dir_, [&] {
    if (chdir(dir_.c_str()) != 0 || setenv("PATH", empty.c_str(), 1) != 0) _exit(97);
    if (setenv("TARVO_MONITOR", "1", 1) != 0) _exit(98);
    char* argv[] = {const_cast<char*>("tarvo"), const_cast<char*>("-np"), const_cast<char*>("1"),
                    const_cast<char*>("/bin/true"), nullptr};
    _exit(ControlMain(4, argv));
  }, 30000);
  EXPECT_EQ(r.status, 255);
  char keyLine[64];
  snprintf(keyLine, sizeof keyLine, "Error: errno = %d for key %x\n", ENOENT, static_cast<unsigned>(key_));
  EXPECT_NE(r.err.find(std::string(keyLine) + "Failure: Create message Queue: No such file or directory\n"),
            std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Failure: Create visual process\n: No such file or directory\n"), std::string::npos)
      << "the monitor's child reports its failed start: " << r.err;
  EXPECT_EQ(r.out, "");
}

// A monitor that does not read its queue never holds the launcher up: what
// a full queue does not take is dropped (the end-of-run record after a short
// wait for room) and the poster goes on.
TEST_F(MonitorStart, PostsToAFullQueueAreDroppedRatherThanWaitedFor) {
  const int id = msgget(key_, IPC_CREAT | 0600);
  ASSERT_GE(id, 0);
  support::ChildResult r = support::RunInChild(dir_, [&] {
    MsgQueueExist = 1;
    msg_qID = id;
    for (int i = 0; i < 2000; ++i) MessageSend(6, i, 9);
    MessageSend(2, -1);
  }, 30000);
  EXPECT_EQ(r.status, 0) << r.err;
  msqid_ds info{};
  ASSERT_EQ(msgctl(id, IPC_STAT, &info), 0);
  EXPECT_GT(info.msg_qnum, 0u);
  EXPECT_LT(info.msg_qnum, 2000u) << "the queue filled; the rest were dropped";
}

TEST_F(MonitorStart, MonitorFromThePathReceivesTheRecordsAndRemovesItsQueue) {
  support::ChildResult r = support::RunInChild(dir_, [&] {
    std::string path = std::string(TARVO_BIN_DIR) + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    if (chdir(dir_.c_str()) != 0 || setenv("PATH", path.c_str(), 1) != 0) _exit(97);
    if (VisaulSystemInit() != 1 || MsgQueueExist != 1) _exit(4);
    MessageSend(1, 4, 77, "go", "Process4", 0);
    MessageSend(6, 3, 9);
    MessageSend(2, -1);
  }, 30000);
  EXPECT_EQ(r.status, 0) << r.err;
  // The monitor, started by the child, prints to the child's output file and
  // removes its queue after the end-of-run record.
  EXPECT_TRUE(WaitForQueue(false, 10));
  EXPECT_EQ(testutil::ReadFile(dir_ + "/child.out"),
            "Msg_RMPRocessBegin: 4 77 go Process4 0\n"
            "Msg_AsynOneToOneChannelDestroy: 3 9 \n"
            "Msg_RMPRocessEnd: -1 \n");
}

}  // namespace
