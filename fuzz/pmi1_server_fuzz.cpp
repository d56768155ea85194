// The PMI-1 server with its descriptors: up to four clients on real socket
// pairs, for any bytes, closes and barrier ends, with a small bound on the
// key-value space.
//
// Input: byte 0 chooses the number of clients; then steps, each chosen by
// one byte: bytes that a client writes (a length byte, then the bytes), a
// request built from a table, a client that closes its end, or the caller's
// end of a barrier. After each step the server reads what is ready. Checked:
// every reply is whole lines of at most 1024 bytes; an event names a client
// of the job; a broken client's shown line is at most 80 characters; a
// client leaves (kLeft) at most once, only after its end was closed, and
// only when it had initialised; the bound's report comes at most once; a
// closed or broken client gets nothing more.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "pmi/pmi1_server.h"

namespace {

const char* const kRequests[] = {
    "cmd=init pmi_version=1 pmi_subversion=1\n",
    "cmd=get_maxes\n",
    "cmd=put kvsname=kv key=a value=0123456789abcdef0123456789abcdef\n",
    "cmd=put kvsname=kv key=b value=0123456789abcdef0123456789abcdef0123456789abcdef\n",
    "cmd=get kvsname=kv key=a\n",
    "cmd=barrier_in\n",
    "cmd=finalize\n",
    "cmd=abort exitcode=3\n",
    "hello there\n",
};

struct Client {
  int fd = -1;          // the rank's end
  bool closed = false;  // the rank closed its end
  bool cut = false;     // the server ended the connection (break, abort is not one)
  bool initialized = false, finalized = false, aborted = false;
  bool left = false;
};

void Serve(pmi::Pmi1Server* server, std::vector<Client>* clients, int* fullReports) {
  for (int round = 0; round < 8; ++round) {
    std::vector<pollfd> fds;
    server->Fds(&fds);
    if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0) return;
    std::vector<pmi::ServerEvent> events;
    server->OnReady(fds.data(), fds.size(), 0, &events);
    for (const pmi::ServerEvent& e : events) {
      if (e.kind == pmi::ServerEvent::kBarrier || e.kind == pmi::ServerEvent::kStranger) continue;
      FUZZ_CHECK(e.client >= 0 && static_cast<size_t>(e.client) < clients->size());
      Client& c = (*clients)[static_cast<size_t>(e.client)];
      switch (e.kind) {
        case pmi::ServerEvent::kBreak:
          FUZZ_CHECK(e.sent.size() <= 80 && !e.text.empty());
          c.cut = true;
          break;
        case pmi::ServerEvent::kLeft:
          FUZZ_CHECK(!c.left && c.closed && c.initialized && !c.finalized && !c.aborted && !c.cut);
          c.left = true;
          break;
        case pmi::ServerEvent::kFull:
          FUZZ_CHECK(++*fullReports == 1);
          break;
        case pmi::ServerEvent::kAbort:
          c.aborted = true;
          break;
        default:
          break;
      }
    }
  }
}

// What client c has been sent: whole lines of at most 1024 bytes.
void ReadReplies(Client* c) {
  if (c->closed) return;
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = recv(c->fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) got.append(buffer, static_cast<size_t>(n));
  size_t at = 0;
  while (at < got.size()) {
    const size_t nl = got.find('\n', at);
    FUZZ_CHECK(nl != std::string::npos && nl - at < pmi::kMaxLine);
    const std::string line = got.substr(at, nl - at);
    if (line.rfind("cmd=response_to_init", 0) == 0 && line.find("rc=0") != std::string::npos) c->initialized = true;
    if (line == "cmd=finalize_ack") c->finalized = true;
    at = nl + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int count = 1 + in.Byte() % 4;
  pmi::JobFacts facts;
  facts.kvsname = "kv";
  facts.size = facts.universeSize = count;
  facts.kvsLimit = 256;  // a few puts fill it
  for (int r = 0; r < count; ++r) facts.clients.push_back({r, 0});
  pmi::Pmi1Server server(facts);
  std::vector<Client> clients(static_cast<size_t>(count));
  for (int c = 0; c < count; ++c) {
    clients[static_cast<size_t>(c)].fd = server.OpenClient(c);
    FUZZ_CHECK(clients[static_cast<size_t>(c)].fd >= 0);
    server.ChildStarted(c);  // the rank has its end; the server's copy closes
  }
  int fullReports = 0;
  for (int step = 0; step < 64 && !in.Empty(); ++step) {
    const uint8_t choice = in.Byte();
    Client& c = clients[static_cast<size_t>(choice % count)];
    switch ((choice / 4) % 4) {
      case 0: {
        const std::vector<char> bytes = in.Bytes(in.Byte());
        if (!c.closed && !bytes.empty()) (void)send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        break;
      }
      case 1: {
        const char* request = kRequests[in.Byte() % (sizeof kRequests / sizeof kRequests[0])];
        if (!c.closed) (void)send(c.fd, request, strlen(request), MSG_NOSIGNAL | MSG_DONTWAIT);
        break;
      }
      case 2:
        if (!c.closed) {
          ReadReplies(&c);  // what it was told before its close counts
          close(c.fd);
          c.closed = true;
        }
        break;
      default: {
        std::vector<pmi::ServerEvent> events;
        server.CompleteBarrier(pmi::KeyValues{{"x", "1"}}, &events);
        break;
      }
    }
    Serve(&server, &clients, &fullReports);
    for (Client& each : clients) ReadReplies(&each);
  }
  for (Client& c : clients) {
    if (!c.closed) close(c.fd);
  }
  return 0;
}
