// The records of the launcher's endpoints (the wire contract,
// common/wire.h) and the message of the monitor queue. The queue's message
// is the kernel's: its type word is the platform's long, so it is not a
// record of the contract and differs between a 64-bit and a 32-bit build.
#ifndef TARVO_COMMON_MESSAGES_H
#define TARVO_COMMON_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/wire.h"

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
