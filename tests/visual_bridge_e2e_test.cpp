// The bridge thread on a real UDP endpoint, posting to a real queue that the
// test creates under its private directory's key and reads back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/textfield.h"
#include "launcher/Control.h"
#include "launcher/services/SourceFilter.h"
#include "tests/support/loopback.h"
#include "tests/visual_util.h"

namespace {

struct Record {
  long type = 0;
  std::string text;
  ssize_t size = -1;
};

// Takes the next record off the queue, waiting at most 5 seconds.
bool NextRecord(int queue, Record* out) {
  return support::WaitUntil(5000, [&] {
    QueueMessage m;
    memset(&m, 0, sizeof m);
    ssize_t n = msgrcv(queue, &m, sizeof m.text, 0, IPC_NOWAIT | MSG_NOERROR);
    if (n < 0) return false;
    out->type = m.type;
    out->text.assign(m.text, strnlen(m.text, sizeof m.text));
    out->size = n;
    return true;
  });
}

// The processes' side: a loopback UDP socket.
struct Process : support::LoopbackSocket {
  using support::LoopbackSocket::LoopbackSocket;
  void Event(int port, int32_t code, int32_t process, int32_t argument, const char* text = "") {
    VisualEvent e;
    memset(&e, 0, sizeof e);
    e.code = code;
    e.process = process;
    e.argument = argument;
    CopyTextField(e.text, sizeof e.text, text);
    ASSERT_TRUE(Send(port, &e, sizeof e));
  }
};

using VisualBridge = visualtest::PrivateQueueTest;

TEST_F(VisualBridge, PostsEventsOfTheEndpointToTheQueue) {
  // The test ends by closing the run, which cannot be undone in a process.
  if (ControlClosing()) GTEST_SKIP() << "needs a process of its own";
  int queue = msgget(key_, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(queue, 0);
  msg_key = key_;
  msg_qID = queue;
  MsgQueueExist = 1;

  // Direct posts: the type word is the code, the message size 100.
  Record r;
  MessageSend(2, -1);
  ASSERT_TRUE(NextRecord(queue, &r));
  EXPECT_EQ(r.type, 2);
  EXPECT_EQ(r.text, "-1 ");
  EXPECT_EQ(r.size, 100);
  MessageSend(6, 3, 9);
  ASSERT_TRUE(NextRecord(queue, &r));
  EXPECT_EQ(r.type, 6);
  EXPECT_EQ(r.text, "3 9 ");
  MessageSend(3, 3, 9, "abc");
  ASSERT_TRUE(NextRecord(queue, &r));
  EXPECT_EQ(r.type, 3);
  EXPECT_EQ(r.text, "3 9 abc");

  ASSERT_NE(aList.Add(4, 77, "127.0.0.1", "here", 4000), nullptr);
  numProcs = 3;
  // Only 127.0.0.1 is a host of this run, set before the thread starts.
  RunSenders* senders = new RunSenders;
  senders->Sources() = SourceSet();
  senders->Sources().AddAddress(INADDR_LOOPBACK);
  // Released only once the thread has ended: a failed assertion leaves it
  // to the thread.
  CUDPConnection* endpoint = new CUDPConnection(100);
  ASSERT_EQ(endpoint->Open(0), 0);
  pthread_t thread;
  ServiceThread* service = new ServiceThread{endpoint, senders, nullptr, nullptr};
  ASSERT_EQ(pthread_create(&thread, nullptr, ServeVisual, service), 0);

  Process p;
  const int port = endpoint->Port();
  Process stranger(10000, INADDR_LOOPBACK + 2);  // 127.0.0.3: posts nothing
  ASSERT_GT(stranger.Port(), 0);
  stranger.Event(port, 1, 4, 0, "forged");
  p.Event(port, 0, 4, 1);
  p.Event(port, 12, 4, 1);
  p.Event(port, -1, 4, 1);
  p.Event(port, 1, 4, 0, "go");
  p.Event(port, 1, 9, 5, "hi");  // not registered
  VisualEvent list;
  memset(&list, 0, sizeof list);
  list.code = 4;
  list.process = 4;
  list.argument = 2;
  list.ranks[0] = 5;
  list.ranks[1] = 0;
  list.ranks[2] = -2;
  list.argument2 = 7;
  CopyTextField(list.text2, sizeof list.text2, "x");
  CopyTextField(list.text, sizeof list.text, "y");
  ASSERT_TRUE(p.Send(port, &list, sizeof list));
  const int32_t shortEvent[2] = {2, 5};
  ASSERT_TRUE(p.Send(port, shortEvent, sizeof shortEvent));
  ASSERT_TRUE(p.Send(port, shortEvent, 4));
  std::vector<char> longer(700, 0);
  const int32_t destroy[3] = {6, 4, 2};
  memcpy(longer.data(), destroy, sizeof destroy);
  ASSERT_TRUE(p.Send(port, longer.data(), longer.size()));

  const std::vector<std::pair<long, std::string>> expected = {
      {1, "4 77 go Process4 0"}, {1, "9 0 hi Process9 5"}, {4, "4 2  5,0,-2 7 x y"},
      {2, "5 "},                 {2, "0 "},                 {6, "4 2 "}};
  for (const auto& e : expected) {
    ASSERT_TRUE(NextRecord(queue, &r)) << e.second;
    EXPECT_EQ(r.type, e.first);
    EXPECT_EQ(r.text, e.second);
  }
  // The thread handles datagrams in order: a reply or a post for the dropped
  // codes would be here by now.
  EXPECT_TRUE(p.Idle()) << "nothing is sent back";
  QueueMessage extra;
  EXPECT_EQ(msgrcv(queue, &extra, sizeof extra.text, 0, IPC_NOWAIT), -1) << "one post per event";

  // Closing: the next failed receive ends the thread quietly.
  ControlBeginClosing();
  timeval shortWait{0, 100 * 1000};
  setsockopt(endpoint->Socket(), SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
  p.Event(port, 0, 0, 0);  // wakes the blocked receive, which then times out
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 10;
  void* result = reinterpret_cast<void*>(1);
  ASSERT_EQ(pthread_timedjoin_np(thread, &result, &deadline), 0);
  EXPECT_EQ(result, nullptr);
  endpoint->Close();
  delete endpoint;
  delete service;
  delete senders;
}

}  // namespace
