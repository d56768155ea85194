// peerbook: the registry of the processes of one run.
//
// An ordered list with one entry per registered process, in ascending order
// of identifier (`fd`); entries with equal identifiers stay in the order in
// which they were added. The same module is compiled into the launcher and
// shipped alone as libpeerbook.a.
//
// Thread safety: every operation takes `mutex` for its own duration, so the
// list may be shared by threads. An entry pointer from Add or Find stays valid
// only until that entry is removed; a thread that does not own the list's
// changes uses Lookup, which copies the entry out under the lock.
#ifndef TARVO_REGISTRY_PEERBOOK_H
#define TARVO_REGISTRY_PEERBOOK_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/messages.h"  // ProcessAddress, the record that leaves the list
#include "common/protocol.h"

// One node of the list: the fields of ProcessAddress, then the link.
struct AddressNode {
  int32_t fd;
  int32_t tag;
  char ip[ADDRESS_TEXT_SIZE];
  char hostname[HOSTNAME_SIZE];
  int32_t port;
  AddressNode* next;  // null in the last node
};

class AddressList {
 public:
  AddressList();
  ~AddressList();
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;

  /// Stores a new entry in order and returns it. An fd of 999 asks for a new
  /// identifier (NewID). Duplicates are kept; texts longer than their field are
  /// cut to it. Returns null only when no memory can be had.
  AddressNode* Add(int fd, int tag, const char* ip, const char* hostname, int port);
  /// 1 for an empty list, else the largest fd plus 1; when the largest fd is
  /// INT32_MAX, the lowest positive fd not in the list.
  int NewID();
  /// First entry in list order with this fd, or null.
  AddressNode* Find(int fd);
  /// Copies the first entry with this fd into *out; false when there is none.
  bool Lookup(int fd, ProcessAddress* out);
  /// fd of the first entry whose port and ip text equal the arguments, or -1.
  int MappingFd(const char* ip, int port);
  /// One line per entry on standard output: "fd:%d IP:%s Port:%d", flushed.
  void MappingPrint();
  /// Removes the first entry with this fd; false when there is none.
  bool Remove(int fd);
  int Size();
  /// Writes Size() records, in list order, to out[0], out[1], ...
  void ToAddressArray(ProcessAddress* out);
  /// The number of entries and their records, in list order, taken under one
  /// hold of the lock, so that the two agree even while other threads change
  /// the list. *out receives a new array (null for an empty list). -1 and a
  /// null *out when no memory can be had.
  int Snapshot(std::unique_ptr<ProcessAddress[]>* out);

  int32_t count;
  AddressNode* head;
  pthread_mutex_t mutex;

 private:
  // The bodies of the operations; the caller holds `mutex`.
  int NextID() const;
  AddressNode* FindLocked(int fd) const;
  void CopyOut(ProcessAddress* out) const;
};

#endif  // TARVO_REGISTRY_PEERBOOK_H
