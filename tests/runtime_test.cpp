// The runtime library against fake launcher services on loopback: each fake
// is a UDP socket in a thread of its own that answers each request as the
// test says (or not at all), and keeps every request it received.
#include "runtime/tarvo_runtime.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/messages.h"
#include "common/protocol.h"
#include "common/textfield.h"
#include "tests/support/loopback.h"

namespace {

using Datagram = std::string;
// Given the request and how many came before it, the datagrams to answer.
using Handler = std::function<std::vector<Datagram>(const Datagram& request, int index)>;

class FakeService {
 public:
  explicit FakeService(Handler handler) : handler_(std::move(handler)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeService() {
    stop_ = true;
    thread_.join();
  }
  int Port() const { return sock_.Port(); }
  std::vector<Datagram> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Sends one datagram from the service's socket to `port` on loopback.
  void SendTo(int port, const Datagram& d) { sock_.Send(port, d); }

 private:
  void Serve() {
    // Bounded: the thread ends when the test ends, at the latest after 60 s.
    for (int round = 0; round < 1200 && !stop_; ++round) {
      pollfd p{sock_.Fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[70000];
      sockaddr_in from;
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(sock_.Fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      Datagram request(buf, static_cast<size_t>(n));
      int index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        index = static_cast<int>(requests_.size());
        requests_.push_back(request);
      }
      for (const Datagram& d : handler_(request, index))
        sendto(sock_.Fd(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  Handler handler_;
  support::LoopbackSocket sock_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Datagram> requests_;
  std::thread thread_;
};

AddressMessage Parse(const Datagram& d) {
  AddressMessage m;
  memset(&m, 0, sizeof m);
  memcpy(&m, d.data(), d.size() < sizeof m ? d.size() : sizeof m);
  return m;
}

Datagram Answer(int32_t code, int32_t fd, const char* ip = nullptr, int32_t port = 0) {
  AddressMessage m;
  memset(&m, 0, sizeof m);
  m.code = code;
  m.fd = fd;
  if (ip) CopyTextField(m.ip, sizeof m.ip, ip);
  m.port = port;
  return Datagram(reinterpret_cast<const char*>(&m), sizeof m);
}

struct Record {
  int32_t fd, tag;
  char ip[128];
  char hostname[32];
  int32_t port;
};
static_assert(sizeof(Record) == 172, "table record");

Datagram Table(const std::vector<Record>& records) {
  Datagram d = Answer(ADDRESSACK, 0, nullptr, static_cast<int32_t>(records.size()));
  for (const Record& r : records) d.append(reinterpret_cast<const char*>(&r), sizeof r);
  return d;
}

Record MakeRecord(int32_t fd, int32_t tag, const char* ip, const char* host, int32_t port) {
  Record r;
  memset(&r, 0, sizeof r);
  r.fd = fd;
  r.tag = tag;
  CopyTextField(r.ip, sizeof r.ip, ip);
  CopyTextField(r.hostname, sizeof r.hostname, host);
  r.port = port;
  return r;
}

// A context aimed at the fakes, with short waits so that lost answers cost
// little time.
trv_ctx Context(int addressPort, int syncPort = 1, int consolePort = 1) {
  trv_ctx ctx;
  memset(&ctx, 0, sizeof ctx);
  ctx.rank = 2;
  ctx.size = 4;
  snprintf(ctx.host, sizeof ctx.host, "127.0.0.1");
  ctx.address_port = addressPort;
  ctx.sync_port = syncPort;
  ctx.console_port = consolePort;
  ctx.visual_port = 1;
  ctx.timeout = 0.2;
  ctx.attempts = 3;
  ctx.sync_repeat = 0;
  ctx.sync_sock = -1;
  return ctx;
}

// Sets carrier's variables for one test and removes them afterwards.
class CarrierEnv {
 public:
  CarrierEnv() {
    Set("TARVO_RANK", "3");
    Set("TARVO_SIZE", "16");
    Set("TARVO_HOST", "10.1.2.3");
    Set("TARVO_CONSOLE_PORT", "4001");
    Set("TARVO_SYNC_PORT", "4002");
    Set("TARVO_ADDRESS_PORT", "4003");
    Set("TARVO_VISUAL_PORT", "4004");
    Set("TARVO_WORKDIR", "/home/u");
  }
  ~CarrierEnv() {
    for (auto& kv : saved_) {
      if (kv.second.first) setenv(kv.first.c_str(), kv.second.second.c_str(), 1);
      else unsetenv(kv.first.c_str());
    }
  }
  void Set(const char* name, const char* value) {
    if (!saved_.count(name)) {
      const char* old = getenv(name);
      saved_[name] = {old != nullptr, old ? old : ""};
    }
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }

 private:
  std::map<std::string, std::pair<bool, std::string>> saved_;
};

// ------------------------------------------------------------ environment

TEST(RuntimeInit, ReadsCarriersEnvironment) {
  CarrierEnv env;
  trv_ctx ctx;
  ASSERT_EQ(trv_init(&ctx), TRV_OK);
  EXPECT_EQ(ctx.rank, 3);
  EXPECT_EQ(ctx.size, 16);
  EXPECT_STREQ(ctx.host, "10.1.2.3");
  EXPECT_EQ(ctx.console_port, 4001);
  EXPECT_EQ(ctx.sync_port, 4002);
  EXPECT_EQ(ctx.address_port, 4003);
  EXPECT_EQ(ctx.visual_port, 4004);
  EXPECT_STREQ(ctx.workdir, "/home/u");
  EXPECT_GT(ctx.timeout, 0);
  EXPECT_GT(ctx.attempts, 0);
  EXPECT_EQ(ctx.sync_sock, -1);
  trv_finish(&ctx);
}

TEST(RuntimeInit, NamesWhatIsMissingOrMalformed) {
  struct Case {
    const char* name;
    const char* value;
  } cases[] = {
      {"TARVO_RANK", nullptr},       {"TARVO_RANK", "16"},          {"TARVO_RANK", "-1"},
      {"TARVO_RANK", "2x"},          {"TARVO_SIZE", "0"},           {"TARVO_SIZE", nullptr},
      {"TARVO_HOST", "vm"},          {"TARVO_HOST", nullptr},       {"TARVO_CONSOLE_PORT", "65536"},
      {"TARVO_SYNC_PORT", ""},       {"TARVO_ADDRESS_PORT", "0"},   {"TARVO_VISUAL_PORT", nullptr},
  };
  for (const Case& c : cases) {
    CarrierEnv env;
    env.Set(c.name, c.value);
    trv_ctx ctx;
    EXPECT_EQ(trv_init(&ctx), TRV_ENOTTARVO) << c.name << "=" << (c.value ? c.value : "(unset)");
    EXPECT_STREQ(ctx.problem, c.name);
  }
  EXPECT_STRNE(trv_strerror(TRV_ENOTTARVO), trv_strerror(TRV_ETIMEOUT));
}

// ------------------------------------------------------------ address protocol

TEST(RuntimeJoin, SendsTheRecordAndConfirmsTheRegistration) {
  FakeService svc([](const Datagram& d, int) -> std::vector<Datagram> {
    AddressMessage m = Parse(d);
    if (m.code == JOIN) return {Answer(JOINACK, m.fd)};
    if (m.code == ADDRESS) return {Answer(ADDRESSACK, m.fd, "127.0.0.5", 6001)};
    return {};
  });
  trv_ctx ctx = Context(svc.Port());
  int id = -1;
  ASSERT_EQ(trv_join(&ctx, 3, 77, "127.0.0.5", "nodeA", 6001, &id), TRV_OK);
  EXPECT_EQ(id, 3);
  auto reqs = svc.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  ASSERT_EQ(reqs[0].size(), 176u);
  AddressMessage j = Parse(reqs[0]);
  EXPECT_EQ(j.code, JOIN);
  EXPECT_EQ(j.fd, 3);
  EXPECT_EQ(j.tag, 77);
  EXPECT_EQ(std::string(j.ip, TextFieldLength(j.ip, sizeof j.ip)), "127.0.0.5");
  EXPECT_EQ(std::string(j.hostname, TextFieldLength(j.hostname, sizeof j.hostname)), "nodeA");
  EXPECT_EQ(j.port, 6001);
  AddressMessage a = Parse(reqs[1]);
  EXPECT_EQ(a.code, ADDRESS);
  EXPECT_EQ(a.fd, 3);
}

TEST(RuntimeJoin, Answer997MeansThisRegistrationIsAlreadyThere) {
  FakeService svc([](const Datagram& d, int) -> std::vector<Datagram> {
    return {Answer(JOINACK, Parse(d).code == JOIN ? 997 : 0)};
  });
  trv_ctx ctx = Context(svc.Port());
  int id = -1;
  EXPECT_EQ(trv_join(&ctx, 5, 0, "127.0.0.1", "h", 6000, &id), TRV_OK);
  EXPECT_EQ(id, 5);
  EXPECT_EQ(svc.Requests().size(), 1u) << "997 needs no confirmation";
}

TEST(RuntimeJoin, IdentifierHeldByAnotherAddressIsAConflict) {
  FakeService svc([](const Datagram& d, int) -> std::vector<Datagram> {
    AddressMessage m = Parse(d);
    if (m.code == JOIN) return {Answer(JOINACK, m.fd)};
    return {Answer(ADDRESSACK, m.fd, "127.0.0.1", 5999)};  // another port holds it
  });
  trv_ctx ctx = Context(svc.Port());
  EXPECT_EQ(trv_join(&ctx, 1, 0, "127.0.0.1", "h", 6000, nullptr), TRV_ECONFLICT);
}

TEST(RuntimeJoin, AnyIdentifierIsLearntFromTheTableAndNotRegisteredTwice) {
  // A small registry: the answer to the first JOIN is lost, so the library
  // must find its entry in the table instead of registering again.
  std::mutex mu;
  std::vector<Record> entries = {MakeRecord(1, 0, "127.0.0.9", "other", 7000)};
  FakeService svc([&](const Datagram& d, int) -> std::vector<Datagram> {
    std::lock_guard<std::mutex> lock(mu);
    AddressMessage m = Parse(d);
    if (m.code == JOIN) {
      entries.push_back(MakeRecord(entries.back().fd + 1, m.tag, m.ip, m.hostname, m.port));
      return {};  // lost answer
    }
    if (m.code == ADDRESS && m.fd == 998) return {Table(entries)};
    return {};
  });
  trv_ctx ctx = Context(svc.Port());
  int id = -1;
  ASSERT_EQ(trv_join(&ctx, TRV_ANY_ID, 4, "127.0.0.1", "me", 6100, &id), TRV_OK);
  EXPECT_EQ(id, 2);
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(entries.size(), 2u) << "registered once";
}

TEST(RuntimeJoin, RefusesIdentifiersWithAProtocolMeaning) {
  trv_ctx ctx = Context(1);
  EXPECT_EQ(trv_join(&ctx, 997, 0, "127.0.0.1", "h", 1, nullptr), TRV_EINVAL);
  EXPECT_EQ(trv_join(&ctx, 998, 0, "127.0.0.1", "h", 1, nullptr), TRV_EINVAL);
  EXPECT_EQ(trv_join(&ctx, -1, 0, "127.0.0.1", "h", 1, nullptr), TRV_EINVAL);
  EXPECT_EQ(trv_join(&ctx, 1, 0, "127.0.0.1", "h", 70000, nullptr), TRV_EINVAL);
  EXPECT_EQ(trv_address(&ctx, 998, nullptr, nullptr), TRV_EINVAL);
  EXPECT_EQ(trv_leave(&ctx, 997), TRV_EINVAL);
  EXPECT_EQ(trv_address(&ctx, 997, nullptr, nullptr), TRV_EINVAL);
}

TEST(RuntimeAddress, FoundAndNotFound) {
  FakeService svc([](const Datagram& d, int) -> std::vector<Datagram> {
    AddressMessage m = Parse(d);
    if (m.fd == 4) return {Answer(ADDRESSACK, 4, "192.168.7.8", 6500)};
    return {Answer(ADDRESSACK, 997)};
  });
  trv_ctx ctx = Context(svc.Port());
  char ip[128];
  memset(ip, 'x', sizeof ip);
  int port = 0;
  ASSERT_EQ(trv_address(&ctx, 4, ip, &port), TRV_OK);
  EXPECT_STREQ(ip, "192.168.7.8");
  EXPECT_EQ(port, 6500);
  EXPECT_EQ(trv_address(&ctx, 5, ip, &port), TRV_ENOTFOUND);
}

TEST(RuntimeAddress, DropsAnswersThatAreNotTheirs) {
  // Wrong code, another identifier, a short datagram: all dropped; the real
  // answer that follows is taken.
  FakeService svc([](const Datagram& d, int) -> std::vector<Datagram> {
    AddressMessage m = Parse(d);
    return {Answer(JOINACK, m.fd, "1.1.1.1", 1), Answer(ADDRESSACK, m.fd + 1, "2.2.2.2", 2),
            Datagram("\x04\0\0\0", 4), Answer(ADDRESSACK, m.fd, "3.3.3.3", 3)};
  });
  trv_ctx ctx = Context(svc.Port());
  char ip[128];
  int port = 0;
  ASSERT_EQ(trv_address(&ctx, 7, ip, &port), TRV_OK);
  EXPECT_STREQ(ip, "3.3.3.3");
  EXPECT_EQ(port, 3);
}

TEST(RuntimeAddress, RepeatsLostRequestsAndGivesUpOnASilentService) {
  FakeService lossy([](const Datagram& d, int index) -> std::vector<Datagram> {
    if (index < 2) return {};  // the first two are lost
    return {Answer(ADDRESSACK, Parse(d).fd, "127.0.0.1", 9)};
  });
  trv_ctx ctx = Context(lossy.Port());
  int port = 0;
  EXPECT_EQ(trv_address(&ctx, 1, nullptr, &port), TRV_OK);
  EXPECT_EQ(port, 9);
  EXPECT_EQ(lossy.Requests().size(), 3u);

  FakeService silent([](const Datagram&, int) { return std::vector<Datagram>(); });
  trv_ctx quiet = Context(silent.Port());
  EXPECT_EQ(trv_address(&quiet, 1, nullptr, nullptr), TRV_ETIMEOUT);
  EXPECT_EQ(silent.Requests().size(), 3u) << "exactly `attempts` sends";
  EXPECT_EQ(trv_join(&quiet, 1, 0, "127.0.0.1", "h", 1, nullptr), TRV_ETIMEOUT);
  EXPECT_EQ(trv_leave(&quiet, 1), TRV_ETIMEOUT);
  int count = 0;
  EXPECT_EQ(trv_table(&quiet, nullptr, 0, &count), TRV_ETIMEOUT);
}

TEST(RuntimeTable, ParsesRecordsAndBoundsTheirTexts) {
  std::string longName(32, 'n');  // fills the field: no terminator on the wire
  FakeService svc([&](const Datagram&, int) -> std::vector<Datagram> {
    return {Table({MakeRecord(1, 10, "127.0.0.1", "alpha", 5001), MakeRecord(2, 20, "127.0.0.2", longName.c_str(), 5002),
                   MakeRecord(3, 30, "127.0.0.3", "gamma", 5003)})};
  });
  trv_ctx ctx = Context(svc.Port());
  trv_entry e[2];
  int count = 0;
  ASSERT_EQ(trv_table(&ctx, e, 2, &count), TRV_OK);
  EXPECT_EQ(count, 3) << "the whole count, though only two fit";
  EXPECT_EQ(e[0].id, 1);
  EXPECT_EQ(e[0].tag, 10);
  EXPECT_STREQ(e[0].ip, "127.0.0.1");
  EXPECT_STREQ(e[0].hostname, "alpha");
  EXPECT_EQ(e[0].port, 5001);
  EXPECT_EQ(e[1].hostname, longName);
  AddressMessage req = Parse(svc.Requests().at(0));
  EXPECT_EQ(req.code, ADDRESS);
  EXPECT_EQ(req.fd, 998);
}

TEST(RuntimeTable, EmptyTableAndMalformedReplies) {
  FakeService empty([](const Datagram&, int) -> std::vector<Datagram> { return {Table({})}; });
  trv_ctx ctx = Context(empty.Port());
  int count = -1;
  ASSERT_EQ(trv_table(&ctx, nullptr, 0, &count), TRV_OK);
  EXPECT_EQ(count, 0);

  // A header that promises two records but carries one, and an ordinary
  // ADDRESSACK for identifier 0: neither is a table reply.
  FakeService bad([](const Datagram&, int) -> std::vector<Datagram> {
    Datagram d = Table({MakeRecord(1, 0, "a", "b", 1)});
    int32_t two = 2;
    memcpy(&d[offsetof(AddressMessage, port)], &two, 4);
    Datagram plain = Answer(ADDRESSACK, 0, "127.0.0.1", 5);
    return {d, plain};
  });
  trv_ctx ctx2 = Context(bad.Port());
  EXPECT_EQ(trv_table(&ctx2, nullptr, 0, &count), TRV_ETIMEOUT);
}

TEST(RuntimeLeave, Answer997IsNotFoundUnlessItAnswersARepeat) {
  FakeService absent([](const Datagram&, int) -> std::vector<Datagram> { return {Answer(LEAVEACK, 997)}; });
  trv_ctx ctx = Context(absent.Port());
  EXPECT_EQ(trv_leave(&ctx, 4), TRV_ENOTFOUND);

  // The first LEAVE is served but its answer lost; the repeat meets 997.
  FakeService lost([](const Datagram&, int index) -> std::vector<Datagram> {
    if (index == 0) return {};
    return {Answer(LEAVEACK, 997)};
  });
  trv_ctx ctx2 = Context(lost.Port());
  EXPECT_EQ(trv_leave(&ctx2, 4), TRV_OK);
  EXPECT_EQ(lost.Requests().size(), 2u);

  FakeService ok([](const Datagram& d, int) -> std::vector<Datagram> { return {Answer(LEAVEACK, Parse(d).fd)}; });
  trv_ctx ctx3 = Context(ok.Port());
  EXPECT_EQ(trv_leave(&ctx3, 4), TRV_OK);
  AddressMessage m = Parse(ok.Requests().at(0));
  EXPECT_EQ(m.code, LEAVE);
  EXPECT_EQ(m.fd, 4);
}

// ------------------------------------------------------------ synchronisation

Datagram Release() { return Datagram(sizeof(SyncMessage), '\0'); }

TEST(RuntimeCollective, SendsCodeAndRankAndWaitsForTheRelease) {
  FakeService sync([](const Datagram&, int) -> std::vector<Datagram> { return {Release()}; });
  trv_ctx ctx = Context(1, sync.Port());
  ASSERT_EQ(trv_collective(&ctx, TRV_REDUCE, -1), TRV_OK);
  ASSERT_EQ(trv_collective(&ctx, TRV_SCATTER, 5.0), TRV_OK);
  auto reqs = sync.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  ASSERT_EQ(reqs[0].size(), 140u);
  SyncMessage m;
  memcpy(&m, reqs[0].data(), sizeof m);
  EXPECT_EQ(m.code, 31);
  EXPECT_EQ(m.rank, 2);
  memcpy(&m, reqs[1].data(), sizeof m);
  EXPECT_EQ(m.code, 32);
  EXPECT_EQ(trv_collective(&ctx, 28, -1), TRV_EINVAL);
  EXPECT_EQ(trv_collective(&ctx, 33, -1), TRV_EINVAL);
  trv_finish(&ctx);
}

TEST(RuntimeCollective, TimeOutOnlyWhenAskedAndRepeatsAtItsInterval) {
  FakeService silent([](const Datagram&, int) { return std::vector<Datagram>(); });
  trv_ctx ctx = Context(1, silent.Port());
  EXPECT_EQ(trv_collective(&ctx, TRV_BROADCAST, 0.3), TRV_ETIMEOUT);
  EXPECT_EQ(silent.Requests().size(), 1u) << "no repeat when sync_repeat is 0";
  trv_finish(&ctx);

  // The first request is lost; the repeat is released.
  FakeService lossy([](const Datagram&, int index) -> std::vector<Datagram> {
    if (index == 0) return {};
    return {Release()};
  });
  trv_ctx ctx2 = Context(1, lossy.Port());
  ctx2.sync_repeat = 0.1;
  EXPECT_EQ(trv_collective(&ctx2, TRV_GATHER, 10.0), TRV_OK);
  EXPECT_EQ(lossy.Requests().size(), 2u);
  trv_finish(&ctx2);
}

TEST(RuntimeCollective, AWaitingReleaseEndsTheNextOperationWithoutASend) {
  // After a time-out the service still counts the request; its release,
  // arriving later, belongs to the next operation.
  FakeService sync([](const Datagram&, int) { return std::vector<Datagram>(); });
  trv_ctx ctx = Context(1, sync.Port());
  ASSERT_EQ(trv_collective(&ctx, TRV_BROADCAST, 0.1), TRV_ETIMEOUT);
  sockaddr_in self;
  socklen_t len = sizeof self;
  ASSERT_EQ(getsockname(ctx.sync_sock, reinterpret_cast<sockaddr*>(&self), &len), 0);
  sync.SendTo(ntohs(self.sin_port), "not a release");  // from the service, but not code 0
  sync.SendTo(ntohs(self.sin_port), Release());
  pollfd p{ctx.sync_sock, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  usleep(50000);  // let the second datagram arrive too
  EXPECT_EQ(trv_collective(&ctx, TRV_BROADCAST, 5.0), TRV_OK);
  EXPECT_EQ(sync.Requests().size(), 1u) << "the waiting release was taken without a new request";
  trv_finish(&ctx);
}

// ------------------------------------------------------------ console

TEST(RuntimeConsole, SplitsLongTextsAndWaitsForEachAcknowledgement) {
  FakeService console([](const Datagram&, int) -> std::vector<Datagram> { return {"s"}; });
  trv_ctx ctx = Context(1, 1, console.Port());
  std::string text;
  for (int i = 0; i < 5000; ++i) text.push_back(static_cast<char>('a' + i % 26));
  ASSERT_EQ(trv_print(&ctx, text.data(), static_cast<int>(text.size())), TRV_OK);
  auto reqs = console.Requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].size(), 2048u);
  EXPECT_EQ(reqs[1].size(), 2048u);
  EXPECT_EQ(reqs[2].size(), 904u);
  EXPECT_EQ(reqs[0] + reqs[1] + reqs[2], text);

  ASSERT_EQ(trv_printf(&ctx, "rank %d of %d\n", 2, 4), TRV_OK);
  EXPECT_EQ(console.Requests().at(3), "rank 2 of 4\n");
  ASSERT_EQ(trv_print(&ctx, "ab\0cd", 5), TRV_OK);
  EXPECT_EQ(console.Requests().at(4), "ab") << "the text ends at its NUL";
  ASSERT_EQ(trv_print(&ctx, "", 0), TRV_OK);
  EXPECT_EQ(console.Requests().size(), 5u) << "an empty text sends nothing";
}

TEST(RuntimeConsole, LostAcknowledgementsAndASilentConsole) {
  FakeService lossy([](const Datagram&, int index) -> std::vector<Datagram> {
    if (index == 0) return {};
    if (index == 1) return {"x", "s"};  // not an acknowledgement, then one
    return {"s"};
  });
  trv_ctx ctx = Context(1, 1, lossy.Port());
  ASSERT_EQ(trv_print(&ctx, "hello\n", 6), TRV_OK);
  auto reqs = lossy.Requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[1], "hello\n");

  FakeService silent([](const Datagram&, int) { return std::vector<Datagram>(); });
  trv_ctx quiet = Context(1, 1, silent.Port());
  EXPECT_EQ(trv_print(&quiet, "lost\n", 5), TRV_ETIMEOUT);
  EXPECT_EQ(silent.Requests().size(), 3u);
}

// ------------------------------------------------------------ endpoints

TEST(RuntimeEndpoint, OpensABoundSocketAndFindsTheLocalAddress) {
  int sock = -1, port = 0;
  ASSERT_EQ(trv_open_endpoint(&sock, &port), TRV_OK);
  EXPECT_GT(port, 0);
  close(sock);
  trv_ctx ctx = Context(9);
  char ip[128];
  ASSERT_EQ(trv_local_address(&ctx, ip), TRV_OK);
  EXPECT_STREQ(ip, "127.0.0.1") << "the launcher on loopback is reached from loopback";
}

}  // namespace
