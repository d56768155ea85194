// The monitor bridge: starts the monitor program, posts event texts to its
// message queue, and serves the visual endpoint.
#include "launcher/services/ServiceLoop.h"
#include "launcher/services/VisualBridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/net_socket.h"
#include "common/process_start.h"
#include "common/textfield.h"
#include "launcher/context/RunContext.h"
#include "launcher/run/RunControl.h"
#include "launcher/services/Services.h"
#include "launcher/services/SourceFilter.h"

namespace {

// The bridge thread and main's end-of-run report both post through the one
// buffer visualMessage; this guards it and MsgQueueExist, counts the events
// that were dropped, and remembers a monitor that stopped taking from its
// queue (`stalled`, with the queue's length then). At namespace scope
// because MessageSend, which other programs call, takes no bridge.
struct QueueGuard {
  pthread_mutex_t mutex;
  long dropped;
  bool stalled;
  msgqnum_t stalledAt;
} visualGuard = {PTHREAD_MUTEX_INITIALIZER, 0, false, 0};

// The monitor needs this long to create its queue.
const unsigned kMonitorStartSeconds = 2;

// A monitor that has taken nothing off its full queue for this long has
// died or stopped reading.
const int64_t kQueueStallMs = 2000;

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Posts the record in visualMessage; false when it was dropped. A full
// queue is waited on for as long as the monitor takes from it: it reads
// everything, however slowly. Once it has taken nothing for
// kQueueStallMs, this and every later record that a full queue does not
// take is dropped at once, until the monitor takes one again: a monitor
// that has died or stopped reading holds the run no longer than that.
// Called with the mutex held; only these posts fill the queue, so while
// one waits the queue's length can only fall.
bool PostHeld() {
  int64_t lastTaken = -1;
  msgqnum_t length = 0;
  int pauseUs = 100;
  for (;;) {
    if (msgsnd(msg_qID, &visualMessage, MSG_SIZE, IPC_NOWAIT) == 0) {
      visualGuard.stalled = false;
      return true;
    }
    if (errno == EINTR) continue;
    msqid_ds info;
    // Anything but a full queue (it was removed): nothing will take it.
    if (errno != EAGAIN || msgctl(msg_qID, IPC_STAT, &info) != 0) return false;
    if (visualGuard.stalled) {
      if (info.msg_qnum >= visualGuard.stalledAt) return false;
      visualGuard.stalled = false;  // reading again
    }
    const int64_t now = NowMs();
    if (lastTaken < 0 || info.msg_qnum < length) {
      lastTaken = now;
      length = info.msg_qnum;
    } else if (now - lastTaken >= kQueueStallMs) {
      visualGuard.stalled = true;
      visualGuard.stalledAt = info.msg_qnum;
      return false;
    }
    usleep(static_cast<useconds_t>(pauseUs));
    pauseUs = std::min(pauseUs * 2, 2000);
  }
}

void Post(int code, const std::string& text) {
  pthread_mutex_lock(&visualGuard.mutex);
  if (MsgQueueExist != 0) {
    visualMessage.type = code;
    FitQueueText(text, visualMessage.text);
    if (!PostHeld()) ++visualGuard.dropped;
  }
  pthread_mutex_unlock(&visualGuard.mutex);
}

int EndpointFd(CUDPConnection* endpoint) { return endpoint != nullptr ? endpoint->Socket() : -1; }

// Starts the monitor, which keeps none of the launcher's ports; one that
// cannot exec reports in the form of perror("Failure: Create visual
// process\n") and ends with 0.
void StartMonitor(char* const argv[]) {
  const int ports[] = {EndpointFd(addressConnection), EndpointFd(visualConnection), EndpointFd(synConnection),
                       EndpointFd(consoleConnection)};
  ChildSetup setup;
  setup.closeFds = ports;
  setup.closeCount = static_cast<int>(sizeof ports / sizeof ports[0]);
  ChildExec exec;
  exec.file = argv[0];
  exec.argv = argv;
  exec.envp = environ;
  exec.failure = kVisualStartFailed;
  exec.failedStatus = 0;
  std::string err;
  ProcessStart(setup, exec, false, &err);
}

void AppendList(std::string& out, const int32_t* values, int count) {
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += std::to_string(values[i]);
  }
}

}  // namespace

// ---- Texts ----

std::string VisualText(int a) { return std::to_string(a) + " "; }

std::string VisualText(int a, const char* s) { return std::to_string(a) + " " + Text(s) + " "; }

std::string VisualText(int a, int b) { return std::to_string(a) + " " + std::to_string(b) + " "; }

std::string VisualText(int a, int b, const char* s) {
  return std::to_string(a) + " " + std::to_string(b) + " " + Text(s);
}

std::string VisualText(int a, int b, const char* s, const char* t, int c) {
  return std::to_string(a) + " " + std::to_string(b) + " " + Text(s) + " " + Text(t) + " " + std::to_string(c);
}

std::string VisualText(int a, int b, const char* list, int c, const char* s, const char* t) {
  // Two blanks before the list: the monitor receives them as they are.
  return std::to_string(a) + " " + std::to_string(b) + "  " + Text(list) + " " + std::to_string(c) + " " + Text(s) +
         " " + Text(t);
}

size_t FitQueueText(const std::string& text, char (&field)[sizeof(QueueMessage::text)]) {
  size_t n = std::min(text.size(), sizeof field - 1);
  memcpy(field, text.data(), n);
  field[n] = '\0';
  return n + 1;
}

// ---- MessageSend ----

void MessageSend(int code, int a) { Post(code, VisualText(a)); }

void MessageSend(int code, int a, const char* s) { Post(code, VisualText(a, s)); }

void MessageSend(int code, int a, int b) { Post(code, VisualText(a, b)); }

void MessageSend(int code, int a, int b, const char* s) { Post(code, VisualText(a, b, s)); }

void MessageSend(int code, int a, int b, const char* s, const char* t, int c) {
  Post(code, VisualText(a, b, s, t, c));
}

void MessageSend(int code, int a, int b, const char* list, int c, const char* s, const char* t) {
  Post(code, VisualText(a, b, list, c, s, t));
}

// ---- Dispatch ----

VisualCall DispatchVisualEvent(const char (&datagram)[sizeof(VisualEvent)], int nprocs, const TagLookup& lookup) {
  VisualEvent event;
  memcpy(&event, datagram, sizeof event);
  VisualCall call;
  // Taken unsigned, negative codes are above 11 too; code 0 posts nothing.
  if (event.code == 0 || static_cast<uint32_t>(event.code) > static_cast<uint32_t>(Msg_SynOneToOneChannelDestroy)) {
    return call;
  }
  call.code = event.code;
  call.a = event.process;
  const std::string text(event.text, TextFieldLength(event.text, sizeof event.text));
  switch (event.code) {
    case Msg_RMPRocessBegin: {
      int32_t tag = 0;
      if (!lookup || !lookup(event.process, &tag)) tag = 0;
      call.form = VisualForm::kBegin;
      call.b = tag;
      call.s = text;
      call.t = "Process" + std::to_string(event.process);
      call.c = event.argument;
      break;
    }
    case Msg_RMPRocessEnd:
      call.form = VisualForm::kInt;
      break;
    case Msg_AsynOneToOneChannelCreate:
    case Msg_SynOneToOneChannelCreate:
      call.form = VisualForm::kIntIntText;
      call.b = event.argument;
      call.s = text;
      break;
    case Msg_AsynOneToOneChannelDestroy:
    case Msg_SynOneToOneChannelDestroy:
      call.form = VisualForm::kIntInt;
      call.b = event.argument;
      break;
    case Msg_AsynOneToOneChannelSend:
    case Msg_AsynOneToOneChannelRecv:
    case Msg_SynOneToOneChannelSend:
    case Msg_SynOneToOneChannelRecv:
    case Msg_SynOneToOneChannelAck:
      call.form = VisualForm::kList;
      call.b = event.argument;
      AppendList(call.list, event.ranks, std::max(0, std::min(nprocs, kVisualRankValues)));
      call.c = event.argument2;
      call.s = std::string(event.text2, TextFieldLength(event.text2, sizeof event.text2));
      call.t = text;
      break;
    default:
      break;
  }
  return call;
}

std::string VisualCallText(const VisualCall& call) {
  switch (call.form) {
    case VisualForm::kNone:
      return std::string();
    case VisualForm::kInt:
      return VisualText(call.a);
    case VisualForm::kIntInt:
      return VisualText(call.a, call.b);
    case VisualForm::kIntIntText:
      return VisualText(call.a, call.b, call.s.c_str());
    case VisualForm::kBegin:
      return VisualText(call.a, call.b, call.s.c_str(), call.t.c_str(), call.c);
    case VisualForm::kList:
      return VisualText(call.a, call.b, call.list.c_str(), call.c, call.s.c_str(), call.t.c_str());
  }
  return std::string();
}

void DeliverVisualCall(const VisualCall& call) {
  switch (call.form) {
    case VisualForm::kNone:
      return;
    case VisualForm::kInt:
      MessageSend(call.code, call.a);
      return;
    case VisualForm::kIntInt:
      MessageSend(call.code, call.a, call.b);
      return;
    case VisualForm::kIntIntText:
      MessageSend(call.code, call.a, call.b, call.s.c_str());
      return;
    case VisualForm::kBegin:
      MessageSend(call.code, call.a, call.b, call.s.c_str(), call.t.c_str(), call.c);
      return;
    case VisualForm::kList:
      MessageSend(call.code, call.a, call.b, call.list.c_str(), call.c, call.s.c_str(), call.t.c_str());
      return;
  }
}

// ---- Start-up of the monitor ----

int VisaulSystemInit() {
  char program[] = "visual";
  char* const argv[] = {program, const_cast<char*>(kMonitorFlag), nullptr};  // execvp changes none
  // A child that fails to exec must not flush a copy of our buffers.
  fflush(stdout);
  fflush(stderr);
  // A failed fork goes unnoticed: the attach below then reports the missing queue.
  StartMonitor(argv);
  sleep(kMonitorStartSeconds);

  // The monitor makes the same key from its working directory, which it
  // inherits from the launcher.
  key_t key = ftok(".", kMonitorQueueProject);
  // Attach only: the monitor creates the queue, the launcher never does.
  int id = msgget(key, 0666);
  pthread_mutex_lock(&visualGuard.mutex);
  msg_key = key;
  msg_qID = id;
  if (id < 0) {
    int err = errno;
    pthread_mutex_unlock(&visualGuard.mutex);
    fprintf(stderr, "Error: errno = %d for key %x\n", err, static_cast<unsigned>(key));
    errno = err;
    perror("Failure: Create message Queue");
    return -1;
  }
  MsgQueueExist = 1;
  pthread_mutex_unlock(&visualGuard.mutex);
  return 1;
}

// ---- The visual endpoint ----

void* ServeVisual(void* arg) {
  const ServiceThread& service = *static_cast<ServiceThread*>(arg);
  char datagram[sizeof(VisualEvent)];
  ReceiveFailure failure{kStepVisualRecv, kLineVisualRecv};
  return ServeEndpoint(service, datagram, sizeof datagram, failure, [&datagram](const Datagram&) {
    bool closing = false;
    VisualCall call = DispatchVisualEvent(datagram, numProcs, [&closing](int32_t fd, int32_t* tag) {
      if (!ControlEnterRequest()) {
        closing = true;
        return false;
      }
      ProcessAddress entry;
      bool found = aList.Lookup(fd, &entry);
      ControlLeaveRequest();
      if (found) *tag = entry.tag;
      return found;
    });
    if (closing) return false;
    // Nothing goes back to the sender.
    DeliverVisualCall(call);
    return true;
  });
}

// ---- The bridge for a whole run ----

namespace {

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Wakes the receive that the bridge thread is blocked in with a code-0
// event (posts nothing) sent to its own endpoint over loopback.
void WakeBridge(int port) {
  const int32_t none = 0;
  (void)NetUdpSendOnce(nullptr, "127.0.0.1", port, &none, sizeof none);
}

// Time the monitor gets to show what is queued and remove its queue; it
// counts as gone when it takes nothing off the queue for kMonitorStallMs.
const int kMonitorDrainMs = 5000;
const int kMonitorStallMs = 500;

// True when the monitor takes something off queue `id` within `seconds`
// (its last receive's time moves), waiting no longer than that.
bool MonitorReadWithin(int id, int seconds) {
  msqid_ds info;
  if (msgctl(id, IPC_STAT, &info) != 0) return false;
  const time_t before = info.msg_rtime;
  for (int waited = 0; waited < seconds * 1000; waited += 50) {
    SleepMs(50);
    if (msgctl(id, IPC_STAT, &info) != 0) return false;
    if (info.msg_rtime != before) return true;
  }
  return false;
}

// Waits for the monitor to remove queue `id`; removes it after the bound.
void AwaitQueueRemoval(int id) {
  msqid_ds info;
  msgqnum_t last = 0;
  int still = 0;
  for (int waited = 0; waited < kMonitorDrainMs; waited += 10) {
    if (msgctl(id, IPC_STAT, &info) != 0) return;  // removed
    still = info.msg_qnum == last ? still + 10 : 0;
    last = info.msg_qnum;
    if (last > 0 && still >= kMonitorStallMs) break;
    SleepMs(10);
  }
  msgctl(id, IPC_RMID, nullptr);
}

}  // namespace

// Joins the bridge thread within `seconds`; false when it has not ended.
bool MonitorBridge::JoinWithin(int seconds) {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += seconds;
  return pthread_timedjoin_np(thread_, nullptr, &deadline) == 0;
}

MonitorBridge::~MonitorBridge() { Stop(); }

int MonitorBridge::Start(CUDPConnection* endpoint, RunSenders* senders, RunControl* control) {
  if (VisaulSystemInit() != 1) return 255;
  // The bridge's own stop ends the receive quietly too.
  started_.reset(new Thread);
  started_->service = ServiceThread{endpoint, senders, nullptr, &started_->stopping, control};
  if (pthread_create(&thread_, nullptr, ServeVisual, &started_->service) != 0) {
    ErrorMsg("pthread_create", kLineThreadCreate, kErrorSource);
    msgctl(msg_qID, IPC_RMID, nullptr);
    return 1;
  }
  running_.store(true);
  return 0;
}

void MonitorBridge::Stop() {
  if (!running_.exchange(false)) return;
  // What has reached the endpoint is taken, then the receive times out.
  started_->stopping.store(true);
  const bool self = pthread_equal(pthread_self(), thread_) != 0;
  if (!self) {
    timeval drain{0, 200 * 1000};
    CUDPConnection* endpoint = started_->service.endpoint;
    setsockopt(endpoint->Socket(), SOL_SOCKET, SO_RCVTIMEO, &drain, sizeof drain);
    WakeBridge(endpoint->Port());
  }
  pthread_mutex_lock(&visualGuard.mutex);
  const int id = msg_qID;
  pthread_mutex_unlock(&visualGuard.mutex);
  // The thread waits on a full queue while the monitor takes from it: a
  // monitor that still reads gets what is left (as long as it has taken
  // something in each 5 s, for about 2 minutes at most).
  bool joined = self || JoinWithin(5);
  for (int slice = 0; !joined && slice < 12 && MonitorReadWithin(id, 5); ++slice) joined = JoinWithin(5);
  if (!joined) {
    // Blocked in a post to a full queue that no monitor reads: removing the
    // queue ends the post.
    msgctl(id, IPC_RMID, nullptr);
    if (!JoinWithin(5)) {
      pthread_detach(thread_);
      (void)started_.release();  // the thread may still read it until the process ends
    }
  }
  if (self) (void)started_.release();  // the thread goes on reading it
  MessageSend(Msg_RMPRocessEnd, -1);
  AwaitQueueRemoval(id);
  pthread_mutex_lock(&visualGuard.mutex);
  MsgQueueExist = 0;
  pthread_mutex_unlock(&visualGuard.mutex);
  SayDroppedMonitorEvents();
}

long SayDroppedMonitorEvents() {
  pthread_mutex_lock(&visualGuard.mutex);
  const long dropped = visualGuard.dropped;
  visualGuard.dropped = 0;
  visualGuard.stalled = false;
  pthread_mutex_unlock(&visualGuard.mutex);
  if (dropped > 0) {
    fprintf(stderr, "tarvo: the monitor took nothing from its full queue for %d s: %ld events were not posted\n",
            static_cast<int>(kQueueStallMs / 1000), dropped);
  }
  return dropped;
}

void* TransmitMessage(void* endpoint) { return ServeAlone(ServeVisual, endpoint); }
