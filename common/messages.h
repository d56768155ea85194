// The fixed-layout wire records of the launcher's endpoints and the monitor
// queue. Integers are 32-bit signed, little-endian (host order on x86); texts
// are fixed-width byte arrays, NUL-padded, and a text as long as its field has
// no terminator. Copy bytes in and out with memcpy, never by casting a pointer
// into a receive buffer.
#ifndef TARVO_COMMON_MESSAGES_H
#define TARVO_COMMON_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/protocol.h"

// One entry of the address registry as it leaves the list; travels
// unchanged in the table reply of the address protocol: 172 bytes, no
// padding.
struct ProcessAddress {
  int32_t fd;                      // identifier of the entry
  int32_t tag;                     // supplied by the process, never interpreted
  char ip[ADDRESS_TEXT_SIZE];      // address text, NUL-padded
  char hostname[HOSTNAME_SIZE];    // host name text, NUL-padded
  int32_t port;                    // port in host order
};
static_assert(sizeof(ProcessAddress) == 172, "ProcessAddress is 172 bytes on the wire");
static_assert(offsetof(ProcessAddress, tag) == 4, "tag at 4");
static_assert(offsetof(ProcessAddress, ip) == 8, "ip at 8");
static_assert(offsetof(ProcessAddress, hostname) == 136, "hostname at 136");
static_assert(offsetof(ProcessAddress, port) == 168, "port at 168");
static_assert(std::is_trivially_copyable<ProcessAddress>::value, "copied with memcpy");

// Request and ordinary answer of the address protocol: exactly 176 bytes.
// Bytes 4 to 175 have the layout of ProcessAddress.
struct AddressMessage {
  int32_t code;        // JOIN, ADDRESS, LEAVE or their answers
  int32_t fd;          // identifier; 999 allocate, 998 whole table, 997 not found
  int32_t tag;         // stored with a JOIN; 0 in answers
  char ip[ADDRESS_TEXT_SIZE];  // address text of the process
  char hostname[32];   // host name of the process
  int32_t port;        // port; the record count in a table reply's header
};
static_assert(sizeof(AddressMessage) == 176, "AddressMessage is 176 bytes on the wire");
static_assert(offsetof(AddressMessage, code) == 0, "code at 0");
static_assert(offsetof(AddressMessage, fd) == 4, "fd at 4");
static_assert(offsetof(AddressMessage, tag) == 8, "tag at 8");
static_assert(offsetof(AddressMessage, ip) == 12, "ip at 12");
static_assert(offsetof(AddressMessage, hostname) == 140, "hostname at 140");
static_assert(offsetof(AddressMessage, port) == 172, "port at 172");
static_assert(std::is_trivially_copyable<AddressMessage>::value, "copied with memcpy");
static_assert(sizeof(AddressMessage) == 4 + sizeof(ProcessAddress), "a request is a code and a record");
static_assert(sizeof(AddressMessage) == TARVO_NOTICE_SIZE, "carrier's STARTED notice is a request");
static_assert(offsetof(AddressMessage, fd) == 4 * TARVO_NOTICE_RANK, "a notice's rank is the identifier");
static_assert(offsetof(AddressMessage, tag) == 4 * TARVO_NOTICE_PID, "a notice's pid is the tag");
static_assert(offsetof(AddressMessage, port) == 4 * TARVO_NOTICE_STATUS, "a notice's wait status is the port");

// Request and release of the synchronisation protocol: 140 bytes.
struct SyncMessage {
  int32_t code;      // 29 to 32 in a request, 0 in the release
  int32_t rank;      // sender's rank, 0 to N - 1; 0 in the release
  char body[132];    // not interpreted by the launcher; zeros in the release
};
static_assert(sizeof(SyncMessage) == 140, "SyncMessage is 140 bytes on the wire");
static_assert(offsetof(SyncMessage, rank) == 4, "rank at 4");
static_assert(offsetof(SyncMessage, body) == 8, "body at 8");
static_assert(std::is_trivially_copyable<SyncMessage>::value, "copied with memcpy");

// Run-time event sent by a process to the visual endpoint: 644 bytes.
struct VisualEvent {
  int32_t code;          // event code 1 to 11 (others are dropped)
  int32_t process;       // identifier under which the sender is registered
  int32_t argument;
  char text[100];
  int32_t ranks[100];    // one value per rank; the first numProcs are read
  int32_t argument2;
  char text2[128];
};
static_assert(sizeof(VisualEvent) == 644, "VisualEvent is 644 bytes on the wire");
static_assert(offsetof(VisualEvent, process) == 4, "process at 4");
static_assert(offsetof(VisualEvent, argument) == 8, "argument at 8");
static_assert(offsetof(VisualEvent, text) == 12, "text at 12");
static_assert(offsetof(VisualEvent, ranks) == 112, "ranks at 112");
static_assert(offsetof(VisualEvent, argument2) == 512, "argument2 at 512");
static_assert(offsetof(VisualEvent, text2) == 516, "text2 at 516");
static_assert(std::is_trivially_copyable<VisualEvent>::value, "copied with memcpy");

// System V message posted to the monitor queue. The type word is the
// platform's long (4 bytes on the 32-bit target, where the record is 104
// bytes); it is posted with a message size of 100, the text part.
struct QueueMessage {
  long type;       // the event code, always positive
  char text[100];  // NUL-terminated text formed by MessageSend
};
static_assert(offsetof(QueueMessage, text) == sizeof(long), "text follows the type word");
static_assert(sizeof(long) != 4 || sizeof(QueueMessage) == 104, "104 bytes on the 32-bit target");
static_assert(std::is_trivially_copyable<QueueMessage>::value, "copied with memcpy");

#endif  // TARVO_COMMON_MESSAGES_H
