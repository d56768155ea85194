// The run's senders: the set, its matching, the count of dropped datagrams
// and the start-up that fills the set.
#include "launcher/services/SourceFilter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>

#include "launcher/context/RunContext.h"
#include "common/machine_words.h"
#include "common/this_machine.h"
#include "common/protocol.h"

namespace {

const uint32_t kLoopbackNetwork = 0x7F000000;  // 127.0.0.0/8

// A machine file is a list of names; one larger than this is no machine file
// (an endless pipe, say), and the rest of it is left to the spawner's reader.
const size_t kMaxMachineFileBytes = 1u << 20;
// A host word of the machine file, as the spawner reads it: a host entry's
// width less its NUL. A longer word names no host.
const int kMaxHostWord = HOSTNAME_SIZE - 1;

uint32_t MaskOf(int bits) { return bits == 0 ? 0 : ~uint32_t{0} << (32 - bits); }

// Dotted text to an address in host order.
bool ParseAddress(const char* text, uint32_t* address) {
  in_addr a;
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  *address = ntohl(a.s_addr);
  return true;
}

std::string Dotted(uint32_t address) {
  in_addr a;
  a.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One entry of the list: "a.b.c.d" or "a.b.c.d/n" with n from 0 to 32.
bool ParseEntry(const char* begin, const char* end, uint32_t* network, int* bits) {
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  char text[sizeof "255.255.255.255/32"];
  size_t length = static_cast<size_t>(end - begin);
  if (length == 0 || length >= sizeof text) return false;
  memcpy(text, begin, length);
  text[length] = '\0';
  *bits = 32;
  if (char* slash = strchr(text, '/')) {
    *slash = '\0';
    const char* digits = slash + 1;
    size_t count = strlen(digits);
    if (count == 0 || count > 2 || strspn(digits, "0123456789") != count) return false;
    *bits = atoi(digits);
    if (*bits > 32) return false;
  }
  return ParseAddress(text, network);
}

// The machine file, read ahead only when it is a regular file: a pipe or a
// FIFO gives its names once, to the spawner, which reads them as they come.
// A file that cannot be opened is the spawner's to report.
FILE* OpenRegularFile(const char* path) {
  // Not even opened otherwise: an open for reading lets a FIFO's writer go
  // on, and its data would then meet no reader once this one closes.
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // Non-blocking, in case a FIFO took the file's place since the stat.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return nullptr;
  FILE* file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) close(fd);
  return file;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

RunSenders::RunSenders() { sources_.AddPrefix(kLoopbackNetwork, 8); }

void SourceSet::AddAddress(uint32_t address) {
  auto at = std::lower_bound(addresses_.begin(), addresses_.end(), address);
  if (at == addresses_.end() || *at != address) addresses_.insert(at, address);
}

void SourceSet::AddPrefix(uint32_t network, int bits) {
  if (bits >= 32) {
    AddAddress(network);
    return;
  }
  const uint32_t mask = MaskOf(bits);
  prefixes_.emplace_back(network & mask, mask);
}

bool SourceSet::AddList(const char* text) {
  std::vector<std::pair<uint32_t, int>> entries;
  const char* end = text + strlen(text);
  if (std::all_of(text, end, IsBlank)) return true;
  for (const char* begin = text;;) {
    const char* comma = std::find(begin, end, ',');
    uint32_t network = 0;
    int bits = 0;
    if (!ParseEntry(begin, comma, &network, &bits)) return false;
    entries.emplace_back(network, bits);
    if (comma == end) break;
    begin = comma + 1;
  }
  for (const auto& e : entries) AddPrefix(e.first, e.second);
  return true;
}

bool SourceSet::AddHostName(const char* name) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address, not one per socket type
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0) return false;
  for (addrinfo* a = result; a != nullptr; a = a->ai_next) {
    sockaddr_in in;
    memcpy(&in, a->ai_addr, sizeof in);
    AddAddress(ntohl(in.sin_addr.s_addr));
  }
  freeaddrinfo(result);
  return true;
}

void SourceSet::AddMachineFile(FILE* file) {
  // Each name once: a file usually repeats its hosts.
  // Read as the spawner reads it: comments skipped, "host:N" for host,
  // "slots=N" no name.
  std::set<std::string> names;
  std::string word;
  bool comment = false;
  for (size_t read = 0; read <= kMaxMachineFileBytes; ++read) {
    int c = fgetc(file);
    if (c == '#') comment = true;
    if (c == '\n') comment = false;
    if (c != EOF && !isspace(c) && !comment) {
      // Room for the longest name and its ":N".
      if (word.size() <= static_cast<size_t>(kMaxHostWord) + 6) word.push_back(static_cast<char>(c));
      continue;
    }
    size_t length = word.size();
    if (MachineWordPlaces(word, &length) > 0) word.resize(length);
    // The spawner skips an over-long name too.
    if (!word.empty() && word.size() <= static_cast<size_t>(kMaxHostWord) && MachineSlotsWord(word) == 0) {
      names.insert(word);
    }
    word.clear();
    if (c == EOF) break;
  }
  for (const std::string& name : names) AddHostName(name.c_str());
}

void SourceSet::AddLocalHost(bool wholeLoopback) {
  if (wholeLoopback) AddPrefix(kLoopbackNetwork, 8);
  for (uint32_t address : common::ThisMachineAddresses()) AddAddress(address);
}

bool SourceSet::Accepts(const char* dottedSender) const {
  uint32_t address = 0;
  return ParseAddress(dottedSender, &address) && Accepts(address);
}

bool SourceSet::Accepts(uint32_t address) const {
  if (std::binary_search(addresses_.begin(), addresses_.end(), address)) return true;
  for (const auto& p : prefixes_) {
    if ((address & p.second) == p.first) return true;
  }
  return false;
}

std::string IgnoredSenders::Count(const char* sender) {
  uint32_t address = 0;
  ParseAddress(sender, &address);  // an unreadable sender counts as 0.0.0.0
  std::lock_guard<std::mutex> lock(mutex_);
  ++datagrams_;
  if (senders_.count(address) != 0) return std::string();
  if (senders_.size() >= kRemembered) {
    overflow_ = true;
    return std::string();
  }
  senders_.insert(address);
  if (senders_.size() > kReported) return std::string();
  return "tarvo: ignoring datagrams from " + Dotted(address) +
         ", not a host of this run; TARVO_ACCEPT_FROM adds it\n";
}

std::string IgnoredSenders::Summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (datagrams_ == 0) return std::string();
  std::string from = overflow_ ? "more than " + Plural(senders_.size(), "address", "addresses")
                               : Plural(senders_.size(), "address", "addresses");
  return "tarvo: ignored " + Plural(datagrams_, "datagram", "datagrams") + " from " + from + " not of this run\n";
}

bool RunSenders::Admit(const char* sender) {
  if (sources_.Accepts(sender) || ControlClosing()) return true;
  CountStranger(sender);
  return false;
}

void RunSenders::CountStranger(const char* sender) {
  std::string line = ignored_.Count(sender);
  if (!line.empty()) fputs(line.c_str(), stderr);
}

std::unique_ptr<RunSenders> RunSenders::Make(const char* acceptFrom, const char* machineFile, std::string* err,
                                             const std::string& allocationHosts) {
  SourceSet sources;
  if (acceptFrom != nullptr && !sources.AddList(acceptFrom)) {
    // One line, whatever the value holds.
    std::string shown(acceptFrom);
    std::replace_if(shown.begin(), shown.end(), [](char c) { return iscntrl(static_cast<unsigned char>(c)); }, '?');
    *err = "ERROR-Control Process: TARVO_ACCEPT_FROM=" + shown +
           " is not a comma-separated list of IPv4 addresses and prefixes (such as 10.1.0.0/16)\n";
    return nullptr;
  }
  // A machine file may name loopback aliases (127.0.0.2) as hosts of their
  // own; each loopback address then stands only for itself.
  sources.AddLocalHost(machineFile == nullptr && allocationHosts.empty());
  if (FILE* file = OpenRegularFile(machineFile)) {
    sources.AddMachineFile(file);
    fclose(file);
  }
  std::string text = allocationHosts;
  if (FILE* file = text.empty() ? nullptr : fmemopen(&text[0], text.size(), "r")) {
    sources.AddMachineFile(file);
    fclose(file);
  }
  return std::unique_ptr<RunSenders>(new RunSenders(std::move(sources)));
}

void RunSenders::Report() const {
  std::string line = ignored_.Summary();
  if (!line.empty()) fputs(line.c_str(), stderr);
}
