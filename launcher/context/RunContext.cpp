#include "launcher/context/RunContext.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

int32_t numProcs = 1;
bool ComShellFlag = false;
CUDPConnection* addressConnection = nullptr;
CUDPConnection* visualConnection = nullptr;
CUDPConnection* synConnection = nullptr;
CUDPConnection* consoleConnection = nullptr;
AddressList aList;
int MsgQueueExist = 0;
key_t msg_key = 0;
int msg_qID = 0;
QueueMessage visualMessage;

namespace {

// The guard of aList and the flag that the run is closing, which it guards.
// Never destroyed (trivial destructor), so services may still take it while
// the exit sequence tears down aList. Beside aList, whose lifetime it guards:
// the list is the process's, not a run's.
struct ListGuard {
  pthread_mutex_t mutex;
  std::atomic<bool> closing;  // once set, never cleared
} listGuard = {PTHREAD_MUTEX_INITIALIZER, {false}};

}  // namespace

void ErrorMsg(const char* msg, int line, const char* file) {
  printf("Error at %d %s", line, file);
  perror(msg);
}

bool ReadWorkingDirectory(std::string* dir) {
  char* text = getcwd(nullptr, 0);
  if (text == nullptr) {
    perror("getcwd");
    return false;
  }
  *dir = text;
  free(text);
  return true;
}

int RefuseRun(const std::string& line) {
  fputs(line.c_str(), stdout);
  fflush(stdout);
  return kRunRefused;
}

void ControlBeginClosing() {
  pthread_mutex_lock(&listGuard.mutex);
  listGuard.closing.store(true);
  pthread_mutex_unlock(&listGuard.mutex);
}

bool ControlClosing() { return listGuard.closing.load(); }

bool ControlEnterRequest() {
  pthread_mutex_lock(&listGuard.mutex);
  if (listGuard.closing.load()) {
    pthread_mutex_unlock(&listGuard.mutex);
    return false;
  }
  return true;
}

void ControlLeaveRequest() { pthread_mutex_unlock(&listGuard.mutex); }
