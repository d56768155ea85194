// The address service: the handler on raw request bytes, then the real
// thread ResolveAddress over loopback inside this process.
#include "launcher/services/AddressService.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/textfield.h"
#include "launcher/Control.h"
#include "tests/support/address_wire.h"
#include "tests/support/loopback.h"

namespace {

using namespace support;  // the datagram builders and their offsets

struct Handled {
  bool answered = false;
  std::vector<char> bytes;
  std::string host;
  int port = -1;
};

Handled Handle(AddressList& list, const std::vector<char>& request, const char* host = "127.0.0.9", int port = 4000) {
  char field[128];
  CopyTextField(field, sizeof field, host);
  AddressReply reply;
  Handled h;
  h.answered = HandleAddressRequest(request.data(), static_cast<int>(request.size()), field, port, list, &reply);
  if (h.answered) {
    EXPECT_NE(reply.data, nullptr);
    h.bytes.assign(reply.data.get(), reply.data.get() + reply.length);
  } else {
    EXPECT_EQ(reply.data, nullptr) << "nothing to send";
  }
  h.host = reply.host;
  h.port = reply.port;
  return h;
}

TEST(AddressHandler, JoinRegistersNewIdsAndAnswersWithTheRequestId) {
  AddressList list;
  Handled h = Handle(list, Message(JOIN, 999, 42, "10.0.0.5", "nodeA", 5005));
  ASSERT_TRUE(h.answered);
  EXPECT_EQ(h.bytes, Answer(JOINACK, 999)) << "999 is answered with 999, not the identifier allocated";
  ProcessAddress e;
  ASSERT_TRUE(list.Lookup(1, &e));
  EXPECT_EQ(e.tag, 42);
  EXPECT_STREQ(e.ip, "10.0.0.5");
  EXPECT_STREQ(e.hostname, "nodeA");
  EXPECT_EQ(e.port, 5005);

  h = Handle(list, Message(JOIN, 7, 1, "10.0.0.7", "b", 7007));
  EXPECT_EQ(h.bytes, Answer(JOINACK, 7));
  EXPECT_EQ(list.Size(), 2);
}

TEST(AddressHandler, JoinFromTheHoldingAddressIs997AndFromAnotherChangesNothing) {
  AddressList list;
  const std::string ip(128, '1');  // a full-width text compares by the whole field
  EXPECT_EQ(Handle(list, Message(JOIN, 3, 1, ip, "a", 300)).bytes, Answer(JOINACK, 3));
  EXPECT_EQ(Handle(list, Message(JOIN, 3, 2, ip, "b", 300)).bytes, Answer(JOINACK, 997)) << "repeat";
  EXPECT_EQ(Handle(list, Message(JOIN, 3, 3, "10.0.0.9", "c", 300)).bytes, Answer(JOINACK, 3)) << "other ip";
  EXPECT_EQ(Handle(list, Message(JOIN, 3, 4, ip, "d", 301)).bytes, Answer(JOINACK, 3)) << "other port";
  EXPECT_EQ(Handle(list, Message(JOIN, 3, 5, std::string(127, '1'), "e", 300)).bytes, Answer(JOINACK, 3))
      << "a prefix of the text is another address";
  ASSERT_EQ(list.Size(), 1);
  ProcessAddress e;
  ASSERT_TRUE(list.Lookup(3, &e));
  EXPECT_EQ(e.tag, 1) << "the first registration keeps the entry";
  EXPECT_EQ(Handle(list, Message(ADDRESS, 3)).bytes, Answer(ADDRESSACK, 3, ip, 300));
}

TEST(AddressHandler, FourByteJoinRegistersIdZeroWithEmptyFields) {
  AddressList list;
  std::vector<char> shortJoin(4);
  int32_t code = JOIN;
  memcpy(shortJoin.data(), &code, 4);
  Handled h = Handle(list, shortJoin);
  ASSERT_TRUE(h.answered);
  EXPECT_EQ(h.bytes, Answer(JOINACK, 0));
  ProcessAddress e;
  ASSERT_TRUE(list.Lookup(0, &e));
  ProcessAddress zero;
  memset(&zero, 0, sizeof zero);
  EXPECT_EQ(memcmp(&e, &zero, sizeof e), 0);
}

TEST(AddressHandler, BytesBeyondTheRequestAreIgnored) {
  AddressList list;
  std::vector<char> longJoin = Message(JOIN, 2, 0, "10.0.0.2", "", 20);
  longJoin.resize(400, 'x');
  EXPECT_EQ(Handle(list, longJoin).bytes, Answer(JOINACK, 2));
  EXPECT_EQ(Handle(list, Message(ADDRESS, 2)).bytes, Answer(ADDRESSACK, 2, "10.0.0.2", 20));
}

TEST(AddressHandler, AddressGivesIpAndPortOnlyOr997) {
  AddressList list;
  Handle(list, Message(JOIN, 5, 99, "192.168.1.5", "hostfive", 5555));
  // tag and hostname of the entry stay out of the answer.
  EXPECT_EQ(Handle(list, Message(ADDRESS, 5, 123, "junk", "junk", 1)).bytes,
            Answer(ADDRESSACK, 5, "192.168.1.5", 5555));
  EXPECT_EQ(Handle(list, Message(ADDRESS, 6)).bytes, Answer(ADDRESSACK, 997));
  EXPECT_EQ(Handle(list, Message(ADDRESS, 997)).bytes, Answer(ADDRESSACK, 997));
}

TEST(AddressHandler, TableReplyIsHeaderThenRecordsInOrder) {
  AddressList list;
  Handled empty = Handle(list, Message(ADDRESS, 998));
  EXPECT_EQ(empty.bytes, Answer(ADDRESSACK, 0)) << "176 bytes, port 0";

  Handle(list, Message(JOIN, 3, 30, "10.0.0.3", "c", 33));
  Handle(list, Message(JOIN, 1, 10, "10.0.0.1", std::string(40, 'h'), 11));
  Handle(list, Message(JOIN, 2, 20, "10.0.0.2", "b", 22));
  Handle(list, Message(LEAVE, 3));
  Handled h = Handle(list, Message(ADDRESS, 998, 5, "x", "y", 9));
  ASSERT_EQ(h.bytes.size(), kSize + 2 * kRecord);
  EXPECT_EQ(std::vector<char>(h.bytes.begin(), h.bytes.begin() + kSize), Answer(ADDRESSACK, 0, "", 2));

  // Each record: fd, tag, ip[128], hostname[32], port; texts NUL-padded, a
  // full-width host name with no terminator.
  auto record = [](int fd, int tag, const std::string& ip, const std::string& host, int port) {
    std::vector<char> r(kRecord, 0);
    memcpy(r.data(), &fd, 4);
    memcpy(r.data() + 4, &tag, 4);
    memcpy(r.data() + 8, ip.data(), ip.size());
    memcpy(r.data() + 136, host.data(), std::min<size_t>(host.size(), 32));
    memcpy(r.data() + 168, &port, 4);
    return r;
  };
  std::vector<char> want = record(1, 10, "10.0.0.1", std::string(40, 'h'), 11);
  std::vector<char> two = record(2, 20, "10.0.0.2", "b", 22);
  want.insert(want.end(), two.begin(), two.end());
  EXPECT_EQ(std::vector<char>(h.bytes.begin() + kSize, h.bytes.end()), want);
}

TEST(AddressHandler, TableReplyGrowsPastOneDatagramAndIsStillBuilt) {
  AddressList list;
  for (int fd = 1; fd <= 380; ++fd) list.Add(fd, 0, "10.0.0.1", "", fd);
  Handled h = Handle(list, Message(ADDRESS, 998));
  ASSERT_TRUE(h.answered);
  EXPECT_EQ(h.bytes.size(), 176u + 380u * 172u) << "the send, not the handler, refuses it";
  EXPECT_EQ(GetInt(h.bytes, kPort), 380);
  EXPECT_EQ(GetInt(h.bytes, kSize + 379 * kRecord), 380);
}

TEST(AddressHandler, LeaveRemovesTheFirstEntryOnceThen997) {
  AddressList list;
  list.Add(4, 1, "10.0.0.4", "", 40);
  list.Add(4, 2, "10.0.0.5", "", 50);
  EXPECT_EQ(Handle(list, Message(LEAVE, 4)).bytes, Answer(LEAVEACK, 4));
  ProcessAddress e;
  ASSERT_TRUE(list.Lookup(4, &e));
  EXPECT_EQ(e.tag, 2) << "only the first entry goes";
  EXPECT_EQ(Handle(list, Message(LEAVE, 4)).bytes, Answer(LEAVEACK, 4));
  EXPECT_EQ(Handle(list, Message(LEAVE, 4)).bytes, Answer(LEAVEACK, 997));
  EXPECT_EQ(Handle(list, Message(LEAVE, 8)).bytes, Answer(LEAVEACK, 997));
  EXPECT_EQ(list.Size(), 0);
}

TEST(AddressHandler, OtherCodesAreDroppedAndChangeNothing) {
  AddressList list;
  list.Add(1, 0, "10.0.0.1", "", 10);
  for (int code : {0, JOINACK, ADDRESSACK, LEAVEACK, 7, -1, 0x01000000}) {
    Handled h = Handle(list, Message(code, 1, 0, "10.0.0.2", "", 20));
    EXPECT_FALSE(h.answered) << "code " << code;
  }
  EXPECT_FALSE(Handle(list, std::vector<char>()).answered) << "an empty datagram reads as code 0";
  EXPECT_EQ(list.Size(), 1);
}

TEST(AddressHandler, AnswerGoesToTheSenderNotToTheRequestAddress) {
  AddressList list;
  for (const std::vector<char>& req : {Message(JOIN, 1, 0, "10.9.9.9", "", 999), Message(ADDRESS, 1),
                                       Message(ADDRESS, 998), Message(LEAVE, 1)}) {
    Handled h = Handle(list, req, "127.0.0.3", 6123);
    ASSERT_TRUE(h.answered);
    EXPECT_EQ(h.host, "127.0.0.3");
    EXPECT_EQ(h.port, 6123);
  }
  // A full-width sender text comes back terminated for the send.
  Handled h = Handle(list, Message(ADDRESS, 1), std::string(128, '7').c_str(), 1);
  EXPECT_EQ(h.host, std::string(128, '7'));
}

// ---- The thread over loopback ----

// A loopback socket of the test's own.
using Client = support::LoopbackSocket;

// One service thread for the whole suite, on the launcher's aList: the run's
// closing can happen only once per process, and it is what ends the thread.
class AddressThread : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    endpoint = new CUDPConnection(100);
    ASSERT_EQ(endpoint->Open(0), 0);
    ASSERT_EQ(pthread_create(&thread, nullptr, ResolveAddress, endpoint), 0);
    started = true;
  }
  static void TearDownTestSuite() {
    if (!started) return;
    // Closing: the next datagram ends the thread without an answer.
    ControlBeginClosing();
    Client waker;
    EXPECT_TRUE(waker.Send(endpoint->Port(), Message(ADDRESS, 998)));
    void* result = reinterpret_cast<void*>(1);
    pthread_join(thread, &result);
    EXPECT_EQ(result, nullptr);
    waker.SetTimeout(200);
    EXPECT_TRUE(waker.Receive().empty()) << "no answer once the run is closing";
    endpoint->Close();
    delete endpoint;
  }
  void SetUp() override {
    // Start each test from an empty registry; no request is in flight here.
    std::unique_ptr<ProcessAddress[]> all;
    int n = aList.Snapshot(&all);
    for (int i = 0; i < n; ++i) aList.Remove(all[i].fd);
    ASSERT_EQ(aList.Size(), 0);
  }
  int Port() const { return endpoint->Port(); }

  static CUDPConnection* endpoint;
  static pthread_t thread;
  static bool started;
};
CUDPConnection* AddressThread::endpoint = nullptr;
pthread_t AddressThread::thread;
bool AddressThread::started = false;

TEST_F(AddressThread, RegistersLooksUpAndLeaves) {
  Client c;
  std::string self = "127.0.0.1";
  EXPECT_EQ(c.Ask(Port(), Message(JOIN, 999, 8, self, "me", c.Port())), Answer(JOINACK, 999));
  EXPECT_EQ(c.Ask(Port(), Message(JOIN, 1, 8, self, "me", c.Port())), Answer(JOINACK, 997));
  EXPECT_EQ(c.Ask(Port(), Message(ADDRESS, 1)), Answer(ADDRESSACK, 1, self, c.Port()));
  std::vector<char> table = c.Ask(Port(), Message(ADDRESS, 998));
  ASSERT_EQ(table.size(), kSize + kRecord);
  EXPECT_EQ(GetInt(table, kPort), 1);
  EXPECT_EQ(GetInt(table, kSize + 4), 8) << "the record carries the tag";
  EXPECT_EQ(c.Ask(Port(), Message(LEAVE, 1)), Answer(LEAVEACK, 1));
  EXPECT_EQ(c.Ask(Port(), Message(LEAVE, 1)), Answer(LEAVEACK, 997));
}

TEST_F(AddressThread, ShortAndLongDatagramsAndDroppedCodes) {
  Client c;
  // A full request first, so that stale bytes would show behind a short one.
  EXPECT_EQ(c.Ask(Port(), Message(JOIN, 5, 1, "10.0.0.66666", "full", 777)), Answer(JOINACK, 5));
  std::vector<char> shortJoin = Message(JOIN, 6, 0, "10.0.0.6");
  shortJoin.resize(kIp + 4);  // "10.0" and nothing after it
  EXPECT_EQ(c.Ask(Port(), shortJoin), Answer(JOINACK, 6));
  EXPECT_EQ(c.Ask(Port(), Message(ADDRESS, 6)), Answer(ADDRESSACK, 6, "10.0", 0))
      << "the bytes a short datagram leaves out are zero, not the last request's";

  std::vector<char> longLeave = Message(LEAVE, 6);
  longLeave.resize(1000, '\x7f');
  EXPECT_EQ(c.Ask(Port(), longLeave), Answer(LEAVEACK, 6));

  // Dropped requests get nothing; the request after them is still answered.
  for (int code : {0, JOINACK, ADDRESSACK, LEAVEACK, 7}) EXPECT_TRUE(c.Send(Port(), Message(code, 6)));
  EXPECT_EQ(c.Ask(Port(), Message(LEAVE, 6)), Answer(LEAVEACK, 997)) << "the first datagram back";
}

}  // namespace
