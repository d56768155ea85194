// The monitor bridge without its queue and its socket: the texts that
// MessageSend forms, and the decision of which MessageSend call one
// VisualEvent datagram turns into. TransmitMessage and MessageSend are thin
// layers over these.
#ifndef TARVO_LAUNCHER_VISUALBRIDGE_H
#define TARVO_LAUNCHER_VISUALBRIDGE_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/messages.h"
#include "launcher/services/Services.h"

// ---- Texts of the six MessageSend forms ----
// Integers in decimal; a null text reads as empty. The result is the whole
// text; FitQueueText cuts it to the queue record.
std::string VisualText(int a);                              // "a "
std::string VisualText(int a, const char* s);               // "a s "
std::string VisualText(int a, int b);                       // "a b "
std::string VisualText(int a, int b, const char* s);        // "a b s"
std::string VisualText(int a, int b, const char* s, const char* t, int c);  // "a b s t c"
std::string VisualText(int a, int b, const char* list, int c, const char* s,
                       const char* t);                      // "a b  list c s t"

/// Copies `text` and its NUL into the record's 100-byte text field: a text of
/// more than 99 characters is cut to 99. Bytes after the NUL are left as they
/// were. Returns the number of bytes written, the NUL included.
size_t FitQueueText(const std::string& text, char (&field)[sizeof(QueueMessage::text)]);

// ---- Dispatch of one VisualEvent ----

/// Which MessageSend overload an event turns into.
enum class VisualForm {
  kNone,        // dropped: code 0, negative or above 11
  kInt,         // code 2: process
  kIntInt,      // codes 6, 11: process, argument
  kIntIntText,  // codes 3, 7: process, argument, text
  kBegin,       // code 1: process, tag, text, name, argument
  kList,        // codes 4, 5, 8, 9, 10: process, argument, list, argument2, text2, text
};

/// One MessageSend call, arguments in the order of the overload.
struct VisualCall {
  VisualForm form = VisualForm::kNone;
  int code = 0;
  int a = 0, b = 0, c = 0;
  std::string s, t, list;
};

/// Looks up the tag under which process `fd` registered; false when it is not
/// registered.
using TagLookup = std::function<bool(int32_t fd, int32_t* tag)>;

/// Most rank values a VisualEvent carries.
const int kVisualRankValues = static_cast<int>(sizeof(VisualEvent::ranks) / sizeof(int32_t));

/// Decides the call for one received datagram, given as the full 644 bytes
/// (what a short datagram does not reach reads as zero). The list holds the
/// first `nprocs` rank values, at most kVisualRankValues. Texts end at their
/// NUL or at the end of their field. Code 1 calls `lookup` once; an
/// unregistered process gets the tag 0.
VisualCall DispatchVisualEvent(const char (&datagram)[sizeof(VisualEvent)], int nprocs, const TagLookup& lookup);

/// The text that `call` posts (empty for kNone).
std::string VisualCallText(const VisualCall& call);

/// Makes the MessageSend call that `call` stands for; nothing for kNone.
void DeliverVisualCall(const VisualCall& call);

/// Says on standard error, in one line, how many events were dropped since
/// the last call because the monitor had stopped taking from its full queue
/// (nothing when none was), and starts the count again; returns the count.
/// The bridge's Stop calls it once at the end of the run.
long SayDroppedMonitorEvents();

// ---- The bridge for a whole run ----
class CUDPConnection;
class RunSenders;

/// The monitor bridge of one run: the monitor, its queue and TransmitMessage
/// on the visual endpoint. The run object owns it.
class MonitorBridge {
 public:
  MonitorBridge() = default;
  /// Stops the bridge.
  ~MonitorBridge();
  MonitorBridge(const MonitorBridge&) = delete;
  MonitorBridge& operator=(const MonitorBridge&) = delete;

  /// Starts the monitor and attaches its queue (VisaulSystemInit), then
  /// TransmitMessage on `endpoint`, taking datagrams from `senders`. 0, or
  /// the status that ends the run (255 when the queue cannot be attached, 1
  /// when the thread cannot start), the failure reported. The main flow
  /// calls Stop at every end of a run, so that no end of the launcher leaves
  /// the queue behind.
  int Start(CUDPConnection* endpoint, RunSenders* senders, RunControl* control);

  /// Ends the bridge at the end of the run, whatever way it ends; only the
  /// first call does anything, and nothing without a started bridge. Lets
  /// TransmitMessage take what has reached the endpoint, posts the
  /// end-of-run record, waits (bounded) for the monitor to remove its queue
  /// and removes the queue itself when the monitor does not. Call it before
  /// the visual endpoint is closed.
  void Stop();

 private:
  bool JoinWithin(int seconds);

  // The thread's argument and its stop flag (a failed receive then ends the
  // thread quietly); left to a thread that does not end in time.
  struct Thread {
    ServiceThread service{};
    std::atomic<bool> stopping{false};
  };
  std::unique_ptr<Thread> started_;
  std::atomic<bool> running_{false};
  pthread_t thread_{};
};

#endif  // TARVO_LAUNCHER_VISUALBRIDGE_H
