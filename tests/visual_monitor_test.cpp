// The monitor program `visual` alone, and started by VisaulSystemInit from
// the search path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "launcher/Control.h"
#include "launcher/services/VisualBridge.h"
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

// Two threads post 1500 events each as fast as they can, and a reader
// slower than they are takes them: while it reads, a full queue is waited
// on and every event arrives, each thread's in order. A reader that stops
// after 100 holds the posts 2 s; then the rest are dropped without waiting,
// counted, and said once. (The run's monitor is this reader; the child
// stands for the launcher, whose threads post through MessageSend.)
const int kPerThread = 1500;

TEST_F(MonitorStart, AFullQueueIsWaitedOnWhileTheMonitorReadsAndDroppedWhenItStops) {
  for (const int stopAfter : {-1, 100}) {
    const int id = msgget(key_, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    support::ChildResult r = support::RunInChild(dir_, [&] {
      MsgQueueExist = 1;
      msg_qID = id;
      int read = 0, disorder = 0;
      msgqnum_t longest = 0;
      std::thread reader([&] {
        int next[2] = {0, 0};
        const int64_t end = static_cast<int64_t>(time(nullptr)) + 20;
        while (read != stopAfter && read < 2 * kPerThread && time(nullptr) < end) {
          msqid_ds info;
          if (msgctl(id, IPC_STAT, &info) == 0) longest = std::max(longest, info.msg_qnum);
          QueueMessage m;
          if (msgrcv(id, &m, sizeof m.text, 0, IPC_NOWAIT | MSG_NOERROR) < 0) {
            usleep(200);
            continue;
          }
          char* rest = nullptr;
          const long thread = strtol(m.text, &rest, 10), value = strtol(rest, nullptr, 10);
          if (thread < 0 || thread > 1 || value != next[thread]++) ++disorder;
          ++read;
          usleep(200);  // slower than the posts
        }
      });
      std::thread writers[2];
      for (int t = 0; t < 2; ++t) {
        writers[t] = std::thread([t] {
          for (int i = 0; i < kPerThread; ++i) MessageSend(6, t, i);
        });
      }
      for (std::thread& w : writers) w.join();
      reader.join();
      const long dropped = SayDroppedMonitorEvents();
      msqid_ds info;
      if (msgctl(id, IPC_STAT, &info) != 0) _exit(90);
      printf("read %d disorder %d dropped %ld left %d full %d\n", read, disorder, dropped,
             static_cast<int>(info.msg_qnum), (longest + 1) * MSG_SIZE > info.msg_qbytes ? 1 : 0);
    }, 60000);
    RemoveQueue();
    EXPECT_EQ(r.status, 0) << r.err;
    int read = -1, disorder = -1, left = -1, full = -1;
    long dropped = -1;
    ASSERT_EQ(sscanf(r.out.c_str(), "read %d disorder %d dropped %ld left %d full %d", &read, &disorder, &dropped,
                     &left, &full),
              5)
        << r.out << r.err;
    EXPECT_EQ(disorder, 0) << r.out;
    EXPECT_EQ(full, 1) << "the queue filled: " << r.out;
    if (stopAfter < 0) {
      EXPECT_EQ(read, 2 * kPerThread) << r.out;
      EXPECT_EQ(dropped, 0) << r.out;
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(read, stopAfter) << r.out;
      EXPECT_GT(dropped, 0) << r.out;
      EXPECT_EQ(read + left + dropped, 2 * kPerThread) << r.out;
      EXPECT_EQ(r.err, "tarvo: the monitor took nothing from its full queue for 2 s: " + std::to_string(dropped) +
                           " events were not posted\n");
    }
  }
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
