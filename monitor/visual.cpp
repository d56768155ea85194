// visual: the monitor of a run. Started by the launcher as "visual"
// "-quelvastro" in the launcher's working directory, it creates the message
// queue of the run's key (that directory and kMonitorQueueProject) and
// prints every record posted to it as one line, "<event name>: <text>".
// It removes the queue and ends after the launcher's end-of-run record, or
// when it is asked to stop by SIGINT, SIGTERM or SIGHUP.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "common/protocol.h"
#include "common/signal_mask.h"
#include "common/textfield.h"

namespace {

const int kVisualNames = static_cast<int>(sizeof VisualMsg / sizeof VisualMsg[0]);

// The launcher's end-of-run report: MessageSend(2, -1).
const char kEndOfRunText[] = "-1 ";

volatile sig_atomic_t stopSignal = 0;
int queueId = -1;  // set before the stop handlers are installed

// Removing the queue wakes the blocked msgrcv (EIDRM), and a receive that has
// not begun yet fails at once: no stop request can be missed.
void OnStop(int signo) {
  stopSignal = signo;
  msgctl(queueId, IPC_RMID, nullptr);
}

void PrintRecord(const QueueMessage& record, size_t received) {
  size_t width = received < sizeof record.text ? received : sizeof record.text;
  int length = static_cast<int>(TextFieldLength(record.text, width));
  if (record.type >= 0 && record.type < kVisualNames) {
    printf("%s: %.*s\n", VisualMsg[record.type], length, record.text);
  } else {
    printf("%ld: %.*s\n", record.type, length, record.text);
  }
  fflush(stdout);
}

bool IsEndOfRun(const QueueMessage& record, size_t received) {
  size_t width = received < sizeof record.text ? received : sizeof record.text;
  return record.type == Msg_RMPRocessEnd &&
         TextFieldsEqual(record.text, width, kEndOfRunText, sizeof kEndOfRunText - 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || strcmp(argv[1], kMonitorFlag) != 0) {
    fprintf(stderr, "Usage: visual %s\n", kMonitorFlag);
    return 2;
  }
  // Held off until the handlers are in place, so that a stop request never
  // leaves a queue behind.
  {
    SignalsHeldWhile stops({SIGINT, SIGTERM, SIGHUP});
    key_t key = ftok(".", kMonitorQueueProject);
    if (key == -1) {
      perror("visual: ftok");
      return 1;
    }
    // A queue that already exists under the key is used as it is.
    queueId = msgget(key, IPC_CREAT | 0666);
    if (queueId < 0) {
      perror("visual: msgget");
      return 1;
    }

    struct sigaction stop;
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = OnStop;
    sigfillset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGHUP, &stop, nullptr);
    // A reader that went away must not end us with the queue still there.
    signal(SIGPIPE, SIG_IGN);
  }

  for (;;) {
    QueueMessage record;
    memset(&record, 0, sizeof record);
    ssize_t received = msgrcv(queueId, &record, sizeof record.text, 0, MSG_NOERROR);
    if (received < 0) {
      if (stopSignal != 0) return 0;  // the handler removed the queue
      if (errno == EINTR) continue;
      perror("visual: msgrcv");  // the queue was removed by someone else
      return 1;
    }
    PrintRecord(record, static_cast<size_t>(received));
    if (IsEndOfRun(record, static_cast<size_t>(received))) {
      msgctl(queueId, IPC_RMID, nullptr);
      return 0;
    }
  }
}
