// The PMI-1 engine's multi-line requests: the blocks of mcmd=NAME, and
// MPICH's spawn (mcmd=spawn) read from them.
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "pmi/pmi1_engine.h"
#include "pmi/pmi1_reply.h"

namespace pmi {

// A line of client's open block: "key=value", or the closing "endcmd".
void Pmi1Engine::BlockLine(int client, const std::string& line, std::vector<Action>* out) {
  ClientState& c = clients_[client];
  if (Trimmed(line) == "endcmd") {
    const std::string name = c.multiLine;
    c.multiLine.clear();
    if (name == "spawn") return SpawnBlock(client, out);
    c.block.clear();
    out->push_back(Reply(client, "cmd=" + name + "_result rc=-1 msg=not_supported"));
    return;
  }
  if (++c.blockLines >= kMaxBlockLines) return Break(client, "a multi-line request without endcmd", out);
  if (c.multiLine != "spawn") return;  // read and dropped
  const std::size_t eq = line.find('=');
  // A line of another shape makes the block garbled: its key is empty.
  if (eq == std::string::npos || eq == 0) {
    c.block.emplace_back(std::string(), std::string());
  } else {
    c.block.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
}

namespace {

// The value of the block's first line with `key`.
const std::string* BlockValue(const std::vector<std::pair<std::string, std::string>>& block, const std::string& key) {
  for (const auto& kv : block)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

// A count of the block (key) from 0 to max; false when it is missing or
// not such a number.
bool BlockCount(const std::vector<std::pair<std::string, std::string>>& block, const char* key, int min, int max,
                int* value) {
  const std::string* text = BlockValue(block, key);
  return text != nullptr && ParseInt(*text, value) && *value >= min && *value <= max;
}

// Reads one block of a spawn into *command and *preput; what is wrong with
// it, or empty.
std::string ReadSpawnBlock(const std::vector<std::pair<std::string, std::string>>& block, Pmi1SpawnCommand* command,
                           KeyValues* preput) {
  for (const auto& kv : block)
    if (kv.first.empty()) return "a_line_that_is_not_key=value";
  const std::string* exec = BlockValue(block, "execname");
  if (exec == nullptr || exec->empty()) return "missing_execname";
  command->execname = *exec;
  if (!BlockCount(block, "nprocs", 1, INT_MAX, &command->nprocs)) return "bad_nprocs";
  int args = 0, preputs = 0, infos = 0;
  if (!BlockCount(block, "argcnt", 0, kMaxSpawnArgs, &args)) return "bad_argcnt";
  for (int i = 1; i <= args; ++i) {
    const std::string* arg = BlockValue(block, "arg" + std::to_string(i));
    if (arg == nullptr) return "missing_arg" + std::to_string(i);
    command->args.push_back(*arg);
  }
  if (!BlockCount(block, "preput_num", 0, kMaxSpawnPairs, &preputs)) return "bad_preput_num";
  for (int i = 0; i < preputs; ++i) {
    const std::string* key = BlockValue(block, "preput_key_" + std::to_string(i));
    const std::string* value = BlockValue(block, "preput_val_" + std::to_string(i));
    if (key == nullptr || value == nullptr) return "missing_preput_" + std::to_string(i);
    if (key->empty() || key->size() > kKeyMax || *key == kMappingKey) return "bad_preput_key_" + std::to_string(i);
    if (value->size() > kValueStoreMax) return "preput_val_" + std::to_string(i) + "_too_long";
    preput->emplace(*key, *value);
  }
  if (!BlockCount(block, "info_num", 0, kMaxSpawnPairs, &infos)) return "bad_info_num";
  for (int i = 0; i < infos; ++i) {
    const std::string* key = BlockValue(block, "info_key_" + std::to_string(i));
    const std::string* value = BlockValue(block, "info_val_" + std::to_string(i));
    if (key == nullptr || value == nullptr) return "missing_info_" + std::to_string(i);
    command->info.emplace_back(*key, *value);
  }
  return std::string();
}

}  // namespace

// A spawn's block is complete: answered (or handed out) after the last.
void Pmi1Engine::SpawnBlock(int client, std::vector<Action>* out) {
  ClientState& c = clients_[client];
  std::vector<std::pair<std::string, std::string>> block;
  block.swap(c.block);
  int total = 0, sofar = 0;
  const bool counted = BlockCount(block, "totspawns", 1, kMaxSpawnCommands, &total) &&
                       BlockCount(block, "spawnssofar", 1, total, &sofar);
  const int expected = static_cast<int>(c.spawn.commands.size()) + 1;
  std::string why;
  if (!counted || sofar != expected) {
    why = c.spawnWhy.empty() ? "bad_totspawns_or_spawnssofar" : c.spawnWhy;
    total = sofar;  // the spawn ends here, whatever the client meant
  } else {
    Pmi1SpawnCommand command;
    KeyValues preput;
    why = ReadSpawnBlock(block, &command, &preput);
    if (c.spawnWhy.empty()) c.spawnWhy = why;
    why = c.spawnWhy;
    c.spawn.commands.push_back(std::move(command));
    if (expected == 1) c.spawn.preput.swap(preput);
  }
  if (sofar < total) return;  // more blocks follow
  Action a;
  a.kind = Action::kSpawn;
  a.client = client;
  std::swap(a.spawn, c.spawn);
  a.spawn.rank = c.facts.rank;
  c.spawn = Pmi1Spawn();
  c.spawnWhy.clear();
  if (!why.empty() || !serving_.spawns) {
    out->push_back(Reply(client, Pmi1SpawnReply(false, why.empty() ? "not_supported" : why)));
    return;
  }
  out->push_back(std::move(a));
}

std::string Pmi1SpawnReply(bool ok, const std::string& why) {
  if (ok) return "cmd=spawn_result rc=0";
  std::string text = why.empty() ? "spawn_failed" : why;
  for (char& ch : text) {
    if (ch == ' ' || ch == '\n' || ch == '\t') ch = '_';
  }
  return "cmd=spawn_result rc=-1 msg=" + text;
}

}  // namespace pmi
