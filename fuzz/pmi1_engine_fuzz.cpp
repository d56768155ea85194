// The PMI-1 engine behind its line framers, for any bytes from up to four
// clients, against a plain model of the protocol.
//
// Input: byte 0 chooses the number of clients and the job's placement; then
// steps, each chosen by one byte: raw bytes from a client, a request built
// from a table (so that the fuzzer reaches deep states), a first line on the
// TCP endpoint (initack), or the caller's end of a barrier with some puts of
// another host. Checked: the framer cuts exactly the lines of the stream
// and breaks exactly at a line over 1024 bytes or a NUL; every request line
// gets one reply of the right form, or none where the protocol has none
// (barrier_in, abort, the body of a multi-line request), or ends its client;
// replies are single lines of at most 1024 bytes; put and init succeed
// exactly when the model says so; a get answers what the model's store
// holds; a barrier is handed up exactly when every client has entered, with
// exactly the puts since the last one, and barrier_out reaches every client
// only after the union came back.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "pmi/line_framer.h"
#include "pmi/pmi1_engine.h"
#include "pmi/process_mapping.h"

namespace {

using pmi::Action;
using Words = std::vector<std::pair<std::string, std::string>>;

const char kKvs[] = "kv";

struct Client {
  pmi::LineFramer framer;
  std::string stream;  // the model's bytes of an unfinished line
  bool closed = false;  // the framer broke: the caller closed the connection
  bool ended = false;   // the engine ended it (abort, broken framing)
  bool spoke = false, initialized = false, waiting = false, finalized = false;
  std::string multiLine;
  int blockLines = 0;   // lines of the open block
  int spawnBlocks = 0;  // blocks of a spawn taken, its answer still to come
  std::map<std::string, std::string> block;  // the open spawn block's first values
};

// A count as the engine reads it (strtol's decimal int), within [min, max].
bool Count(const std::map<std::string, std::string>& block, const char* key, long min, long max, long* value) {
  auto at = block.find(key);
  if (at == block.end() || at->second.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(at->second.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && *value >= min && *value <= max;
}

struct Model {
  pmi::Pmi1Engine* engine;
  std::vector<Client> clients;
  pmi::KeyValues store, newPuts, handedUp;
  bool pending = false;
};

bool SplitWords(const std::string& line, Words* words) {
  std::string word;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    if (i < line.size() && line[i] != ' ') {
      word += line[i];
      continue;
    }
    if (word.empty()) continue;
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    words->emplace_back(word.substr(0, eq), word.substr(eq + 1));
    word.clear();
  }
  return !words->empty();
}

const std::string* Find(const Words& words, const std::string& key) {
  for (const auto& w : words)
    if (w.first == key) return &w.second;
  return nullptr;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  return true;
}

bool IsLine(const std::string& text) {
  return !text.empty() && text.size() <= pmi::kMaxLine && text.find('\n') == text.size() - 1;
}

// The single reply to client among out, which must hold nothing else but
// the events allowed.
std::string OnlyReply(const std::vector<Action>& out, int client) {
  FUZZ_CHECK(out.size() >= 1 && out[0].kind == Action::kReply && out[0].client == client);
  FUZZ_CHECK(IsLine(out[0].text));
  return out[0].text;
}

bool Starts(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

// One complete line of client, through the engine, against the model.
void Line(Model& m, int id, const std::string& line) {
  Client& c = m.clients[id];
  std::vector<Action> out;
  m.engine->Take(id, line, &out);
  if (c.ended) {
    FUZZ_CHECK(out.empty());
    return;
  }
  c.spoke = true;
  Words words;
  const bool split = SplitWords(line, &words);
  const std::string name = split ? words[0].second : std::string();
  const bool breaks = c.waiting || (c.multiLine.empty() && (!split || (words[0].first != "cmd" && words[0].first != "mcmd") ||
                                                             !ValidName(name) || (words[0].first == "cmd" && name == "initack")));
  if (breaks) {
    FUZZ_CHECK(out.size() == 1 && out[0].kind == Action::kBreak && out[0].client == id);
    c.ended = true;
    return;
  }
  if (!c.multiLine.empty()) {
    const std::size_t first = line.find_first_not_of(' ');
    const bool end = first != std::string::npos && line.substr(first, line.find_last_not_of(' ') - first + 1) == "endcmd";
    if (!end && ++c.blockLines >= pmi::kMaxBlockLines) {
      FUZZ_CHECK(out.size() == 1 && out[0].kind == Action::kBreak && out[0].client == id);
      c.ended = true;
      return;
    }
    if (!end) {
      FUZZ_CHECK(out.empty());
      const std::size_t eq = line.find('=');
      if (eq != std::string::npos && eq > 0) c.block.emplace(line.substr(0, eq), line.substr(eq + 1));
      return;
    }
    // A spawn's block before its last is taken without an answer; the
    // engine takes no spawns here, so every spawn's end is refused.
    long total = 0, sofar = 0;
    const bool more = c.multiLine == "spawn" && Count(c.block, "totspawns", 1, pmi::kMaxSpawnCommands, &total) &&
                      Count(c.block, "spawnssofar", 1, total, &sofar) && sofar == c.spawnBlocks + 1 && sofar < total;
    c.block.clear();
    if (more) {
      FUZZ_CHECK(out.empty());
      ++c.spawnBlocks;
    } else {
      FUZZ_CHECK(out.size() == 1 && Starts(OnlyReply(out, id), "cmd=" + c.multiLine + "_result rc=-1 "));
      if (c.multiLine == "spawn") c.spawnBlocks = 0;
    }
    c.multiLine.clear();
    return;
  }
  if (words[0].first == "mcmd") {
    FUZZ_CHECK(out.empty());
    c.multiLine = name;
    c.blockLines = 0;
    c.block.clear();
    return;
  }
  const std::string* kvs = Find(words, "kvsname");
  const std::string* key = Find(words, "key");
  const std::string* value = Find(words, "value");
  if (name == "barrier_in") {
    c.waiting = true;
    bool all = true;
    for (const Client& other : m.clients) all = all && other.waiting;
    if (!all) {
      FUZZ_CHECK(out.empty());
      return;
    }
    FUZZ_CHECK(out.size() == 1 && out[0].kind == Action::kBarrier && out[0].puts == m.newPuts);
    m.handedUp.swap(m.newPuts);
    m.newPuts.clear();
    m.pending = true;
    return;
  }
  if (name == "abort") {
    FUZZ_CHECK(out.size() == 1 && out[0].kind == Action::kAbort && out[0].client == id);
    c.ended = true;
    return;
  }
  const std::string reply = OnlyReply(out, id);
  if (name == "finalize") {
    FUZZ_CHECK(reply == "cmd=finalize_ack\n");
    FUZZ_CHECK(out.size() == (c.finalized ? 1u : 2u));
    if (!c.finalized) FUZZ_CHECK(out[1].kind == Action::kFinalize && out[1].client == id);
    c.finalized = true;
    return;
  }
  FUZZ_CHECK(out.size() == 1);
  if (name == "init") {
    const std::string* version = Find(words, "pmi_version");
    const bool ok = !c.initialized && version != nullptr && *version == "1";
    FUZZ_CHECK(Starts(reply, "cmd=response_to_init pmi_version=1 pmi_subversion=1 rc=" + std::string(ok ? "0\n" : "-1 ")));
    c.initialized = c.initialized || ok;
  } else if (name == "put") {
    const bool ok = c.initialized && kvs != nullptr && *kvs == kKvs && key != nullptr && !key->empty() &&
                    key->size() <= pmi::kKeyMax && value != nullptr && value->size() <= pmi::kValueStoreMax &&
                    *key != pmi::kMappingKey;
    FUZZ_CHECK(ok ? reply == "cmd=put_result rc=0 msg=success\n" : Starts(reply, "cmd=put_result rc=-1 "));
    if (ok) m.store[*key] = m.newPuts[*key] = *value;
  } else if (name == "get") {
    const bool ok = c.initialized && kvs != nullptr && *kvs == kKvs && key != nullptr && m.store.count(*key) != 0 &&
                    m.store[*key].size() <= pmi::kValueStoreMax;
    FUZZ_CHECK(ok ? reply == "cmd=get_result rc=0 msg=success value=" + m.store[*key] + "\n"
                  : Starts(reply, "cmd=get_result rc=-1 "));
  } else {
    static const std::map<std::string, std::string> kReplies = {
        {"get_maxes", "maxes"}, {"get_appnum", "appnum"}, {"get_my_kvsname", "my_kvsname"},
        {"get_universe_size", "universe_size"}, {"publish_name", "publish_result"},
        {"unpublish_name", "unpublish_result"}, {"lookup_name", "lookup_result"}};
    const auto known = kReplies.find(name);
    const std::string form = known != kReplies.end() ? known->second : name + "_result";
    FUZZ_CHECK(Starts(reply, "cmd=" + form + " "));
    if (known == kReplies.end() || form.find("_result") != std::string::npos) FUZZ_CHECK(Starts(reply, "cmd=" + form + " rc=-1 "));
  }
}

// Bytes from a client: the framer against a plain cut of the stream.
void Feed(Model& m, int id, const std::string& bytes) {
  Client& c = m.clients[id];
  if (c.closed) return;
  std::vector<std::string> lines;
  const bool framed = c.framer.Feed(bytes.data(), bytes.size(), &lines);
  std::vector<std::string> expected;
  bool broken = false;
  for (char ch : bytes) {
    if (ch == '\n') {
      expected.push_back(c.stream);
      c.stream.clear();
    } else if (ch == '\0' || c.stream.size() == pmi::kMaxLine - 1) {
      broken = true;
      break;
    } else {
      c.stream += ch;
    }
  }
  FUZZ_CHECK(framed == !broken && lines == expected);
  // What the framer holds, seen through Feed alone: once broken it takes
  // nothing more; else a line end completes exactly the unfinished line.
  pmi::LineFramer probe = c.framer;
  std::vector<std::string> rest;
  const bool more = probe.Feed("\n", 1, &rest);
  FUZZ_CHECK(more == !broken && rest == (broken ? std::vector<std::string>() : std::vector<std::string>{c.stream}));
  for (const std::string& line : lines) Line(m, id, line);
  if (broken) c.closed = true;
}

// The caller's end of a barrier: the host's puts and another host's.
void Complete(Model& m, const pmi::KeyValues& remote) {
  pmi::KeyValues all = m.handedUp;
  for (const auto& kv : remote) all[kv.first] = kv.second;
  std::vector<Action> out;
  const bool done = m.engine->CompleteBarrier(all, &out);
  FUZZ_CHECK(done == m.pending);
  if (!done) {
    FUZZ_CHECK(out.empty());
    return;
  }
  m.pending = false;
  for (const auto& kv : all) m.store[kv.first] = kv.second;
  std::size_t at = 0;
  for (std::size_t id = 0; id < m.clients.size(); ++id) {
    Client& c = m.clients[id];
    FUZZ_CHECK(c.waiting);
    c.waiting = false;
    if (c.ended) continue;
    FUZZ_CHECK(at < out.size() && out[at].kind == Action::kReply && out[at].client == static_cast<int>(id) &&
               out[at].text == "cmd=barrier_out\n");
    ++at;
  }
  FUZZ_CHECK(at == out.size());
}

const char* const kKeys[] = {"a", "-bcast-1-0", "-allgather-shm-1-1", "PMI_process_mapping",
                             "kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk"};  // 65

std::string Value(fuzz::Input& in) {
  const uint8_t b = in.Byte();
  const std::size_t length = b < 200 ? b : 980 + (b - 200) % 12;  // around kValueStoreMax too
  return std::string(length, static_cast<char>('0' + b % 10));
}

std::string Request(fuzz::Input& in) {
  const std::string key = kKeys[in.Byte() % 5];
  switch (in.Byte() % 16) {
    case 0: return "cmd=init pmi_version=1 pmi_subversion=1";
    case 1: return "cmd=get_maxes";
    case 2: return "cmd=get_appnum";
    case 3: return "cmd=get_my_kvsname";
    case 4: return "cmd=get_universe_size";
    case 5: case 6: return std::string("cmd=put kvsname=") + kKvs + " key=" + key + " value=" + Value(in);
    case 7: case 8: return std::string("cmd=get kvsname=") + kKvs + " key=" + key;
    case 9: case 10: return "cmd=barrier_in";
    case 11: return "cmd=finalize";
    case 12: return "cmd=abort exitcode=" + std::to_string(in.Byte());
    case 13: return "cmd=lookup_name service=s";
    case 14: return "mcmd=spawn";
    default: return "endcmd";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t shape = in.Byte();
  const int clients = 1 + shape % 4;
  pmi::JobFacts facts;
  facts.kvsname = kKvs;
  facts.size = 2 * clients;
  facts.universeSize = facts.size;
  std::vector<std::string> hosts;
  for (int r = 0; r < facts.size; ++r) hosts.push_back(std::string(1, static_cast<char>('a' + ((shape >> 2) >> (r % 6)) % 3)));
  facts.processMapping = pmi::ProcessMapping(hosts);
  for (int i = 0; i < clients; ++i) facts.clients.push_back(pmi::LocalRank{2 * i + 1, i % 2});
  pmi::Pmi1Engine engine(facts);
  Model m{&engine, std::vector<Client>(clients), {}, {}, {}, false};
  m.store[pmi::kMappingKey] = facts.processMapping;
  auto rankOf = [](const std::string& id) { return id.size() == 3 && id[0] == 'i' && id[1] == 'd' ? id[2] - '0' : -1; };

  for (int step = 0; step < 4096 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    const int id = in.Byte() % clients;
    if (op % 8 < 2) {
      const std::vector<char> raw = in.Bytes(in.Byte());
      Feed(m, id, std::string(raw.begin(), raw.end()));
    } else if (op % 8 < 6) {
      Feed(m, id, Request(in) + "\n");
    } else if (op % 8 == 6) {
      pmi::KeyValues remote;
      for (int n = in.Byte() % 3; n > 0; --n) remote[kKeys[in.Byte() % 3]] = Value(in);
      Complete(m, remote);
    } else {
      const std::string line = op & 8 ? "cmd=initack pmiid=id" + std::to_string(in.Byte() % 10) : in.Text();
      std::vector<Action> out;
      const int got = engine.TakeInitack(line, rankOf, &out);
      Words words;
      const std::string* pmiid = nullptr;
      int want = -1;
      if (line.size() < pmi::kMaxLine && line.find('\0') == std::string::npos && SplitWords(line, &words) &&
          words[0].first == "cmd" && words[0].second == "initack" && (pmiid = Find(words, "pmiid")) != nullptr) {
        const int rank = rankOf(*pmiid);
        for (int i = 0; i < clients; ++i)
          if (rank == 2 * i + 1 && !m.clients[i].spoke && !m.clients[i].ended) want = i;
      }
      FUZZ_CHECK(got == want);
      if (want < 0) {
        FUZZ_CHECK(out.empty());
        continue;
      }
      m.clients[want].spoke = true;
      FUZZ_CHECK(out.size() == 4);
      std::string text;
      for (const Action& a : out) text += a.client == want && IsLine(a.text) ? a.text : "?";
      FUZZ_CHECK(text == "cmd=initack\ncmd=set size=" + std::to_string(facts.size) + "\ncmd=set rank=" +
                             std::to_string(2 * want + 1) + "\ncmd=set debug=0\n");
    }
  }
  return 0;
}
