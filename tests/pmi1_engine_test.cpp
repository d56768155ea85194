// The PMI-1 engine from raw client bytes (through the line framer), as the
// server that tarvo and the agent build around it sees them; and
// PMI_process_mapping checked by decoding it the way MPICH does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pmi/line_framer.h"
#include "pmi/pmi1_engine.h"
#include "pmi/process_mapping.h"

namespace {

using pmi::Action;

const char kKvs[] = "kvs_9111_0";

// One host's server without descriptors: each client's bytes go through its
// framer into the engine; replies collect in each client's inbox, the other
// actions in events. With autoBarrier the host is the whole job, and a
// barrier completes with its own puts.
struct Host {
  Host(std::vector<pmi::LocalRank> clients, int size, bool autoBarrier = true, const char* kvsname = kKvs,
       pmi::Pmi1Serving serving = pmi::Pmi1Serving())
      : engine(Facts(std::move(clients), size, kvsname), serving), framers(engine.Clients()), inbox(engine.Clients()),
        autoBarrier(autoBarrier) {}

  static pmi::JobFacts Facts(std::vector<pmi::LocalRank> clients, int size, const char* kvsname) {
    pmi::JobFacts f;
    f.kvsname = kvsname;
    f.size = size;
    f.universeSize = size;
    f.processMapping = "(vector,(0,1," + std::to_string(size) + "))";
    f.clients = std::move(clients);
    return f;
  }

  // Sends bytes from client and returns what it was answered; "BREAK" when
  // the connection must end.
  std::string Send(int client, const std::string& bytes) {
    std::vector<std::string> lines;
    const bool framed = framers[client].Feed(bytes.data(), bytes.size(), &lines);
    std::string broke;
    for (const std::string& line : lines) broke += Handle(client, line);
    if (!framed) broke = "BREAK";
    return broke.empty() ? Read(client) : broke;
  }

  std::string Read(int client) {
    std::string text;
    text.swap(inbox[client]);
    return text;
  }

  std::string Handle(int client, const std::string& line) {
    std::vector<Action> out;
    engine.Take(client, line, &out);
    return Dispatch(out);
  }

  std::string Dispatch(const std::vector<Action>& out) {
    std::string broke;
    for (const Action& a : out) {
      if (a.kind == Action::kReply) {
        inbox[a.client] += a.text;
      } else if (a.kind == Action::kBarrier && autoBarrier) {
        std::vector<Action> more;
        EXPECT_TRUE(engine.CompleteBarrier(a.puts, &more));
        Dispatch(more);
      } else {
        if (a.kind == Action::kBreak) broke = "BREAK";
        events.push_back(a);
      }
    }
    return broke;
  }

  pmi::Pmi1Engine engine;
  std::vector<pmi::LineFramer> framers;
  std::vector<std::string> inbox;
  std::vector<Action> events;
  bool autoBarrier;
};

// The exchange of two ranks on one host that MPICH's MPI_Init and
// MPI_Finalize make (mpi.md), byte for byte.
TEST(Pmi1Engine, MpichTranscriptOfTwoRanks) {
  Host host({{0, 0}, {1, 0}}, 2);
  const std::string put = std::string("cmd=put kvsname=") + kKvs + " key=";
  const std::string get = std::string("cmd=get kvsname=") + kKvs + " key=";
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(host.Send(c, "cmd=init pmi_version=1 pmi_subversion=1\n"),
              "cmd=response_to_init pmi_version=1 pmi_subversion=1 rc=0\n");
    EXPECT_EQ(host.Send(c, "cmd=get_maxes\n"), "cmd=maxes kvsname_max=256 keylen_max=64 vallen_max=1024\n");
    EXPECT_EQ(host.Send(c, "cmd=get_appnum\n"), "cmd=appnum appnum=0\n");
    EXPECT_EQ(host.Send(c, "cmd=get_my_kvsname\n"), "cmd=my_kvsname kvsname=kvs_9111_0\n");
    EXPECT_EQ(host.Send(c, "cmd=get_universe_size\n"), "cmd=universe_size size=2\n");
    EXPECT_EQ(host.Send(c, get + "PMI_process_mapping\n"), "cmd=get_result rc=0 msg=success value=(vector,(0,1,2))\n");
  }
  auto barrier = [&] {
    EXPECT_EQ(host.Send(0, "cmd=barrier_in\n"), "");
    EXPECT_EQ(host.Send(1, "cmd=barrier_in\n"), "cmd=barrier_out\n");
    EXPECT_EQ(host.Read(0), "cmd=barrier_out\n");
  };
  barrier();
  EXPECT_EQ(host.Send(0, put + "-bcast-1-0 value=2F6465762F73686D\n"), "cmd=put_result rc=0 msg=success\n");
  barrier();
  // A request may arrive in pieces, and two in one read.
  EXPECT_EQ(host.Send(0, put + "-allgather-shm-1-0 val"), "");
  EXPECT_EQ(host.Send(0, "ue=205E98D0\n"), "cmd=put_result rc=0 msg=success\n");
  EXPECT_EQ(host.Send(1, put + "-allgather-shm-1-1 value=202217CE\n" + get + "-bcast-1-0\n"),
            "cmd=put_result rc=0 msg=success\ncmd=get_result rc=0 msg=success value=2F6465762F73686D\n");
  barrier();
  EXPECT_EQ(host.Send(0, get + "-allgather-shm-1-1\n"), "cmd=get_result rc=0 msg=success value=202217CE\n");
  barrier();
  for (int c = 0; c < 2; ++c) {
    EXPECT_FALSE(host.engine.Finalized(c));
    EXPECT_EQ(host.Send(c, "cmd=finalize\n"), "cmd=finalize_ack\n");
    EXPECT_TRUE(host.engine.Finalized(c));
  }
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[0].kind, Action::kFinalize);
}

// MPICH's spawn (tests/mpi/pmi1_spawn.transcript): the blocks of one
// request answer nothing until the last; then the whole request comes out
// for the caller, or the engine refuses it. A row's answer is the last
// block's: "SPAWN" when the request came out.
TEST(Pmi1Engine, SpawnBlocks) {
  auto block = [](int total, int sofar, const std::string& fields) {
    return "mcmd=spawn\nnprocs=2\nexecname=./prog\ntotspawns=" + std::to_string(total) + "\nspawnssofar=" +
           std::to_string(sofar) + "\n" + fields + "endcmd\n";
  };
  const std::string plain = "argcnt=1\narg1=child one\npreput_num=1\npreput_key_0=PARENT_ROOT_PORT_NAME\n"
                            "preput_val_0=port#1$\ninfo_num=1\ninfo_key_0=wdir\ninfo_val_0=/tmp\n";
  const std::string none = "argcnt=0\npreput_num=0\ninfo_num=0\n";
  struct Row {
    std::vector<std::string> blocks;
    std::string answer;
    bool takes = true;
  };
  const std::vector<Row> rows = {
      {{block(1, 1, plain)}, "SPAWN"},
      {{block(2, 1, plain), block(2, 2, none)}, "SPAWN"},
      {{block(1, 1, plain)}, "cmd=spawn_result rc=-1 msg=not_supported\n", false},
      {{"mcmd=spawn\nnprocs=0\nexecname=p\ntotspawns=1\nspawnssofar=1\n" + none + "endcmd\n"},
       "cmd=spawn_result rc=-1 msg=bad_nprocs\n"},
      {{"mcmd=spawn\nnprocs=1\ntotspawns=1\nspawnssofar=1\n" + none + "endcmd\n"},
       "cmd=spawn_result rc=-1 msg=missing_execname\n"},
      {{block(1, 1, "argcnt=2\narg1=a\npreput_num=0\ninfo_num=0\n")}, "cmd=spawn_result rc=-1 msg=missing_arg2\n"},
      {{block(1, 1, "argcnt=257\npreput_num=0\ninfo_num=0\n")}, "cmd=spawn_result rc=-1 msg=bad_argcnt\n"},
      {{block(1, 1, "argcnt=0\npreput_num=65\ninfo_num=0\n")}, "cmd=spawn_result rc=-1 msg=bad_preput_num\n"},
      {{block(1, 1, "argcnt=0\npreput_num=1\npreput_key_0=PMI_process_mapping\npreput_val_0=x\ninfo_num=0\n")},
       "cmd=spawn_result rc=-1 msg=bad_preput_key_0\n"},
      {{block(1, 1, "argcnt=0\npreput_num=0\n")}, "cmd=spawn_result rc=-1 msg=bad_info_num\n"},
      {{block(1, 1, "garbage\n" + none)}, "cmd=spawn_result rc=-1 msg=a_line_that_is_not_key=value\n"},
      {{block(2, 2, none)}, "cmd=spawn_result rc=-1 msg=bad_totspawns_or_spawnssofar\n"},
      // A garbled first block is told once the last is in.
      {{block(2, 1, "argcnt=x\n"), block(2, 2, none)}, "cmd=spawn_result rc=-1 msg=bad_argcnt\n"},
      {{"mcmd=spawn\n" + std::string(pmi::kMaxBlockLines, 'a') + "\n"}, "BREAK"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.blocks.back().substr(0, 120));
    Host host({{0, 0}, {3, 1}}, 4, true, kKvs, pmi::Pmi1Serving{nullptr, false, row.takes});
    for (size_t b = 0; b + 1 < row.blocks.size(); ++b) EXPECT_EQ(host.Send(1, row.blocks[b]), "");
    std::string last;
    if (row.answer == "BREAK") {
      // One line a block line: the bound is on lines, not bytes.
      last = host.Send(1, "mcmd=spawn\n");
      for (int i = 0; i < pmi::kMaxBlockLines && last.empty(); ++i) last = host.Send(1, "a=b\n");
    } else {
      last = host.Send(1, row.blocks.back());
    }
    if (row.answer != "SPAWN") {
      EXPECT_EQ(last, row.answer);
      for (const Action& a : host.events) EXPECT_NE(a.kind, Action::kSpawn);
      continue;
    }
    EXPECT_EQ(last, "");
    ASSERT_EQ(host.events.size(), 1u);
    const pmi::Pmi1Spawn& s = host.events[0].spawn;
    EXPECT_EQ(host.events[0].kind, Action::kSpawn);
    EXPECT_EQ(host.events[0].client, 1);
    EXPECT_EQ(s.rank, 3);
    ASSERT_EQ(s.commands.size(), row.blocks.size());
    EXPECT_EQ(s.commands[0].execname, "./prog");
    EXPECT_EQ(s.commands[0].nprocs, 2);
    EXPECT_EQ(s.commands[0].args, std::vector<std::string>{"child one"});
    EXPECT_EQ(s.commands[0].info, (std::vector<std::pair<std::string, std::string>>{{"wdir", "/tmp"}}));
    EXPECT_EQ(s.preput, (pmi::KeyValues{{"PARENT_ROOT_PORT_NAME", "port#1$"}}));
    // The client goes on once it is answered.
    EXPECT_EQ(host.Send(1, "cmd=get_appnum\n"), "cmd=appnum appnum=1\n");
  }
}

// A spawned job's preput keys are in its space from the start.
TEST(Pmi1Engine, PreputKeys) {
  Host host({{0, 0}}, 1);
  host.engine.Preput({{"PARENT_ROOT_PORT_NAME", "tag#0$"}, {pmi::kMappingKey, "x"}});
  const std::string get = std::string("cmd=get kvsname=") + kKvs + " key=";
  host.Send(0, "cmd=init pmi_version=1 pmi_subversion=1\n");
  EXPECT_EQ(host.Send(0, get + "PARENT_ROOT_PORT_NAME\n"), "cmd=get_result rc=0 msg=success value=tag#0$\n");
  EXPECT_EQ(host.Send(0, get + "PMI_process_mapping\n"), "cmd=get_result rc=0 msg=success value=(vector,(0,1,1))\n");
}

// Bad input from client 0 of two (so that its barrier_in waits): the
// answer to the last line, or BREAK when the connection must end. A short
// kvsname leaves room in a put line for values too long for a get's reply.
TEST(Pmi1Engine, BadInput) {
  const std::string init = "cmd=init pmi_version=1 pmi_subversion=1\n";
  const std::string put = "cmd=put kvsname=k key=";
  const std::string get = "cmd=get kvsname=k key=";
  struct Row {
    std::vector<std::string> sends;
    std::string answer;  // prefix of the answer to the last send
  } rows[] = {
      {{init, init}, "cmd=response_to_init pmi_version=1 pmi_subversion=1 rc=-1 "},
      {{"cmd=init pmi_version=2 pmi_subversion=0\n"}, "cmd=response_to_init pmi_version=1 pmi_subversion=1 rc=-1 "},
      {{put + "k value=v\n"}, "cmd=put_result rc=-1 msg=not_initialized\n"},
      {{get + "k\n"}, "cmd=get_result rc=-1 msg=not_initialized\n"},
      {{init, get + "k\n"}, "cmd=get_result rc=-1 msg=key_not_found\n"},
      {{init, "cmd=put kvsname=other key=k value=v\n"}, "cmd=put_result rc=-1 msg=unknown_kvsname\n"},
      {{init, put + "k\n"}, "cmd=put_result rc=-1 msg=missing_key_or_value\n"},
      {{init, put + std::string(65, 'k') + " value=v\n"}, "cmd=put_result rc=-1 msg=key_too_long\n"},
      {{init, put + std::string(64, 'k') + " value=v\n"}, "cmd=put_result rc=0 "},
      {{init, put + "k value=" + std::string(986, 'v') + "\n"}, "cmd=put_result rc=-1 msg=value_too_long\n"},
      {{init, put + "k value=" + std::string(985, 'v') + "\n", get + "k\n"},
       "cmd=get_result rc=0 msg=success value=" + std::string(985, 'v') + "\n"},
      {{init, put + "PMI_process_mapping value=(vector,(0,2,1))\n"}, "cmd=put_result rc=-1 msg=reserved_key\n"},
      {{"cmd=frobnicate a=b\n"}, "cmd=frobnicate_result rc=-1 msg=unknown_command\n"},
      {{"cmd=publish_name service=s port=p\n"}, "cmd=publish_result rc=-1 "},
      {{"cmd=unpublish_name service=s\n"}, "cmd=unpublish_result rc=-1 "},
      {{"cmd=lookup_name service=s\n"}, "cmd=lookup_result rc=-1 "},
      {{"mcmd=spawn\nnprocs=1\nexecname=a.out\n", "endcmd\n"}, "cmd=spawn_result rc=-1 "},
      {{"cmd=get_maxes" + std::string(1010, ' ') + "\n"}, "cmd=maxes "},  // 1023 bytes and '\n'
      {{"cmd=get_maxes" + std::string(1011, ' ') + "\n"}, "BREAK"},       // 1025 bytes
      {{std::string(2000, 'x')}, "BREAK"},                                 // no '\n' yet
      {{std::string("cmd=get_maxes\0\n", 15)}, "BREAK"},
      {{"\n"}, "BREAK"},
      {{"hello\n"}, "BREAK"},
      {{"key=k cmd=get\n"}, "BREAK"},
      {{"cmd=get_maxes junk\n"}, "BREAK"},
      {{"cmd=get/maxes\n"}, "BREAK"},
      {{"cmd=" + std::string(65, 'a') + "\n"}, "BREAK"},
      {{"cmd=barrier_in\n", "cmd=get_maxes\n"}, "BREAK"},
      {{"cmd=initack pmiid=1\n"}, "BREAK"},
  };
  for (const Row& row : rows) {
    Host host({{0, 0}, {1, 0}}, 2, true, "k");
    std::string answer;
    for (const std::string& bytes : row.sends) answer = host.Send(0, bytes);
    SCOPED_TRACE(row.sends.back().substr(0, 80));
    EXPECT_EQ(answer.substr(0, row.answer.size()), row.answer);
    EXPECT_LE(answer.size(), pmi::kMaxLine);
    const bool engineBroke = !host.events.empty() && host.events.back().kind == Action::kBreak;
    if (engineBroke) {
      EXPECT_EQ(host.Handle(0, "cmd=get_maxes") + host.Read(0), "");  // ignored from then on
    }
  }
}

TEST(Pmi1Engine, AbortEndsTheClientWithoutReply) {
  Host host({{0, 0}, {5, 1}}, 6);
  EXPECT_EQ(host.Send(1, "cmd=get_appnum\n"), "cmd=appnum appnum=1\n");
  EXPECT_EQ(host.Send(1, "cmd=abort exitcode=7\n"), "");
  EXPECT_EQ(host.Send(1, "cmd=get_maxes\n"), "");
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].kind, Action::kAbort);
  EXPECT_EQ(host.events[0].client, 1);
  EXPECT_EQ(host.events[0].exitCode, 7);
}

// A connection to the TCP endpoint opens with its PMI_ID; a wrong, unknown
// or second use of an ID is refused without a word.
TEST(Pmi1Engine, InitackNamesTheRank) {
  Host host({{2, 0}, {3, 0}}, 4);
  auto rankOf = [](const std::string& id) { return id == "s3cr3t" ? 3 : id == "other" ? 1 : -1; };
  std::vector<Action> out;
  EXPECT_EQ(host.engine.TakeInitack("cmd=initack pmiid=s3cr3t", rankOf, &out), 1);
  EXPECT_EQ(host.Dispatch(out), "");
  EXPECT_EQ(host.Read(1), "cmd=initack\ncmd=set size=4\ncmd=set rank=3\ncmd=set debug=0\n");
  for (const char* line : {"cmd=initack pmiid=s3cr3t", "cmd=initack pmiid=guess", "cmd=initack pmiid=other",
                           "cmd=init pmiid=s3cr3t", "pmiid=s3cr3t cmd=initack"}) {
    out.clear();
    EXPECT_EQ(host.engine.TakeInitack(line, rankOf, &out), -1) << line;
    EXPECT_TRUE(out.empty()) << line;
  }
}

// Two hosts and the caller's exchange between them: each hands up only its
// new puts, the union comes back to both, and no rank leaves its barrier
// before that. A get on host B then finds a put made on host A.
TEST(Pmi1Engine, BarrierAcrossTwoHosts) {
  Host a({{0, 0}, {2, 0}}, 4, false);
  Host b({{1, 0}, {3, 0}}, 4, false);
  Host* hosts[] = {&a, &b};
  const std::string put = std::string("cmd=put kvsname=") + kKvs + " key=";
  auto fence = [&](std::vector<pmi::KeyValues> expected) {
    pmi::KeyValues all;
    for (int h = 0; h < 2; ++h) {
      EXPECT_EQ(hosts[h]->Send(0, "cmd=barrier_in\n"), "");
      EXPECT_EQ(hosts[h]->Send(1, "cmd=barrier_in\n"), "");
      ASSERT_EQ(hosts[h]->events.size(), 1u);
      EXPECT_EQ(hosts[h]->events[0].kind, Action::kBarrier);
      EXPECT_EQ(hosts[h]->events[0].puts, expected[h]);
      all.insert(expected[h].begin(), expected[h].end());
      hosts[h]->events.clear();
      EXPECT_TRUE(hosts[h]->engine.InBarrier(0));
    }
    for (Host* h : hosts) {
      std::vector<Action> out;
      EXPECT_TRUE(h->engine.CompleteBarrier(all, &out));
      h->Dispatch(out);
      EXPECT_EQ(h->Read(0) + h->Read(1), "cmd=barrier_out\ncmd=barrier_out\n");
      EXPECT_FALSE(h->engine.CompleteBarrier(all, &out));
    }
  };
  for (Host* h : hosts)
    for (int c = 0; c < 2; ++c) h->Send(c, "cmd=init pmi_version=1 pmi_subversion=1\n");
  a.Send(0, put + "r0 value=A0\n");
  a.Send(1, put + "r2 value=A2\n");
  b.Send(1, put + "r3 value=B3\n");
  fence({{{"r0", "A0"}, {"r2", "A2"}}, {{"r3", "B3"}}});
  EXPECT_EQ(b.Send(0, std::string("cmd=get kvsname=") + kKvs + " key=r2\n"),
            "cmd=get_result rc=0 msg=success value=A2\n");
  a.Send(0, put + "late value=L\n");
  fence({{{"late", "L"}}, {}});
  EXPECT_EQ(b.Send(1, std::string("cmd=get kvsname=") + kKvs + " key=late\n"),
            "cmd=get_result rc=0 msg=success value=L\n");
}

// Node of each rank as MPICH reads PMI_process_mapping: the tuples spell
// node ids for consecutive ranks and start again from the first tuple (or,
// once a tuple starting at node 0 was seen, from the first such) until
// every rank has one.
std::vector<int> DecodeMapping(const std::string& mapping, std::size_t ranks) {
  std::vector<int> node;
  struct Tuple { int first, count, per; };
  std::vector<Tuple> tuples;
  const std::string head = "(vector";
  if (mapping.compare(0, head.size(), head) != 0 || mapping.back() != ')') return node;
  const char* p = mapping.c_str() + head.size();
  while (*p == ',') {
    Tuple t;
    char* end;
    if (p[1] != '(') return node;
    t.first = static_cast<int>(std::strtol(p + 2, &end, 10));
    if (*end != ',') return node;
    t.count = static_cast<int>(std::strtol(end + 1, &end, 10));
    if (*end != ',') return node;
    t.per = static_cast<int>(std::strtol(end + 1, &end, 10));
    if (*end != ')' || t.count <= 0 || t.per <= 0) return node;
    tuples.push_back(t);
    p = end + 1;
  }
  if (std::string(p) != ")" || tuples.empty()) return node;
  bool wrapped = false;
  while (node.size() < ranks) {
    std::size_t i = 0;
    while (wrapped && i < tuples.size() && tuples[i].first != 0) ++i;
    if (i == tuples.size()) return {};
    for (; i < tuples.size() && node.size() < ranks; ++i) {
      if (tuples[i].first == 0) wrapped = true;
      for (int n = 0; n < tuples[i].count; ++n)
        for (int r = 0; r < tuples[i].per; ++r) node.push_back(tuples[i].first + n);
    }
  }
  node.resize(ranks);
  return node;
}

TEST(PmiProcessMapping, TrueForEveryPlacement) {
  struct Row {
    std::string hosts;  // one letter a host, in rank order
    std::string mapping;  // the exact value, where it matters
  } rows[] = {
      {"aaaa", "(vector,(0,1,4))"},        // local
      {"a", "(vector,(0,1,1))"},
      {"abab", "(vector,(0,2,1))"},        // a machine file reused cyclically
      {"aabb", "(vector,(0,2,2))"},        // blocks
      {"abcd", "(vector,(0,4,1))"},
      {"aabbaabb", "(vector,(0,2,2))"},
      {"abcabcab", "(vector,(0,3,1))"},
      {"aabbc", "(vector,(0,2,2),(2,1,1))"},  // irregular: several tuples
      {"abba", ""},
      {"aaabccab", ""},
      {"abbbbcaaaccd", ""},
      {"abcbca", ""},
      {"bbba", ""},
      {"abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd", "(vector,(0,4,1))"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> hosts;
    for (char h : row.hosts) hosts.push_back(std::string("host-") + h);
    const std::string mapping = pmi::ProcessMapping(hosts);
    SCOPED_TRACE(row.hosts + " -> " + mapping);
    if (!row.mapping.empty()) {
      EXPECT_EQ(mapping, row.mapping);
    }
    const std::vector<int> node = DecodeMapping(mapping, hosts.size());
    ASSERT_EQ(node.size(), hosts.size());
    for (std::size_t i = 0; i < hosts.size(); ++i)
      for (std::size_t j = 0; j < hosts.size(); ++j) EXPECT_EQ(node[i] == node[j], hosts[i] == hosts[j]) << i << "," << j;
  }
  EXPECT_EQ(pmi::ProcessMapping({}), "");
}

}  // namespace
