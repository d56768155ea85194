// The service threads and the monitor bridge's entry points, as other
// programs know them (launcher/Control.h includes this header).
#ifndef TARVO_LAUNCHER_SERVICES_SERVICES_H
#define TARVO_LAUNCHER_SERVICES_SERVICES_H

#include <sys/types.h>

#include <atomic>

#include "common/messages.h"

class CUDPConnection;
class RunSenders;
class CollectiveWaits;
class RunControl;

/// A service thread's one argument: the endpoint it serves and the parts of
/// the run it uses, which the run object owns and outlive the thread.
struct ServiceThread {
  CUDPConnection* endpoint;
  RunSenders* senders;     // the hosts whose datagrams the service takes
  CollectiveWaits* waits;  // SynControler's record of waiting ranks; may be null
  const std::atomic<bool>* stopping;  // TransmitMessage: set when the bridge stops; may be null
  RunControl* control = nullptr;      // told of the failures that end the run, and of carrier's notices; may be null
};

// ---- Service threads as other programs start them: the one argument is
// the endpoint (a CUDPConnection*), served for this host's senders ----
void* ResolveAddress(void* endpoint);
void* SynControler(void* endpoint);
void* DistConsole(void* endpoint);
void* TransmitMessage(void* endpoint);

// ---- The same threads as the run starts them: the argument is a
// ServiceThread* ----
void* ServeAddress(void* service);
void* ServeSync(void* service);
void* ServeConsole(void* service);
void* ServeVisual(void* service);

// ---- Monitor bridge (its queue's names: RunContext.h) ----
/// Starts the monitor and attaches its queue: 1, or -1 (reported) when the
/// queue cannot be attached; the launcher then ends with 255.
int VisaulSystemInit();
void MessageSend(int code, int a);
void MessageSend(int code, int a, const char* s);
void MessageSend(int code, int a, int b);
void MessageSend(int code, int a, int b, const char* s);
void MessageSend(int code, int a, int b, const char* s, const char* t, int c);
void MessageSend(int code, int a, int b, const char* list, int c, const char* s, const char* t);

#endif  // TARVO_LAUNCHER_SERVICES_SERVICES_H
