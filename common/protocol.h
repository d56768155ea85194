// Sizes, run-time event codes and address protocol codes shared by the
// launcher, the transport and the address registry.
//
// Every number is a 32-bit signed integer with internal linkage, so each
// module that includes this header holds its own copy. Codes travel as the
// first 32-bit field of their datagram, little-endian (host order).
#ifndef TARVO_COMMON_PROTOCOL_H
#define TARVO_COMMON_PROTOCOL_H

#include <climits>
#include <cstdint>

#include "common/started_notice.h"

// Sizes.
static const int32_t MAX_PROCESS = 100;
static const int32_t MSG_SIZE = 100;
static const int32_t HOSTNAME_SIZE = 32;  // width of ProcessAddress::hostname
// An address's dotted text as the endpoints and the registry carry it:
// NUL-padded, without a terminator when it fills the field.
static const int32_t ADDRESS_TEXT_SIZE = 128;
static const int32_t USER_MSG_SIZE = 100;

// The child argument vector: an element (the program path, an argument, the
// working directory, the launcher's address) holds 127 characters and its
// NUL; a program-file line holds at most 128 words, the program and its
// arguments.
static const int32_t kMaxVectorElement = 127;
static const int32_t kMaxProgramWords = 128;
// A path that the launcher takes whole (its working directory, the program
// path, the machine-file and program-file paths): what the system takes,
// PATH_MAX bytes with its NUL.
static const int32_t kMaxPathText = PATH_MAX - 1;

// The monitor: the launcher starts it as "visual" kMonitorFlag, and both
// make the queue's key with ftok(the launcher's working directory,
// kMonitorQueueProject), the character 's'.
static const int32_t kMonitorQueueProject = 115;
static const char kMonitorFlag[] = "-quelvastro";

// Run-time event codes: 1 to 16, then 22 to 32; 17 to 21 are not assigned.
// The visual bridge forwards 1 to 11; the synchronisation service takes 29 to 32.
static const int32_t Msg_RMPRocessBegin = 1;
static const int32_t Msg_RMPRocessEnd = 2;
static const int32_t Msg_AsynOneToOneChannelCreate = 3;
static const int32_t Msg_AsynOneToOneChannelSend = 4;
static const int32_t Msg_AsynOneToOneChannelRecv = 5;
static const int32_t Msg_AsynOneToOneChannelDestroy = 6;
static const int32_t Msg_SynOneToOneChannelCreate = 7;
static const int32_t Msg_SynOneToOneChannelSend = 8;
static const int32_t Msg_SynOneToOneChannelRecv = 9;
static const int32_t Msg_SynOneToOneChannelAck = 10;
static const int32_t Msg_SynOneToOneChannelDestroy = 11;
static const int32_t Msg_MutexCreate = 12;
static const int32_t Msg_MutexDestroy = 13;
static const int32_t Msg_MutexLock = 14;
static const int32_t Msg_MutexUnlock = 15;
static const int32_t Msg_MutexOwnlock = 16;
static const int32_t Msg_BarrierCreate = 22;
static const int32_t Msg_BarrierDestroy = 23;
static const int32_t Msg_BarrierWait = 24;
static const int32_t Msg_BarrierLeaving = 25;
static const int32_t Msg_UserMessage = 26;
static const int32_t Msg_TopologySend = 27;
static const int32_t Msg_TopologyRecv = 28;
static const int32_t Msg_TopologyBroadcast = 29;
static const int32_t Msg_TopologyGather = 30;
static const int32_t Msg_TopologyReduce = 31;
static const int32_t Msg_TopologyScatter = 32;

// Address protocol codes: requests are odd, each answer is its request plus 1.
static const int32_t JOIN = 1;
static const int32_t JOINACK = 2;
static const int32_t ADDRESS = 3;
static const int32_t ADDRESSACK = 4;
static const int32_t LEAVE = 5;
static const int32_t LEAVEACK = 6;
// carrier's notices that its rank's program has started on a remote host
// (its login is over) and has ended (started_notice.h, which carrier, in C,
// takes them from). Never answered.
static const int32_t STARTED = TARVO_STARTED;
static const int32_t ENDED = TARVO_ENDED;

// Identifier values with a meaning in the address protocol. The runtime's
// C header repeats them as TRV_ANY_ID, TRV_TABLE_ID and TRV_NONE_ID; the
// runtime library checks at compile time that they agree.
static const int32_t kNewIdentifier = 999;  // JOIN: let the list allocate one
static const int32_t kWholeTable = 998;     // ADDRESS: send every entry
static const int32_t kNotFound = 997;       // answer: nothing found, or already registered

// Display names indexed by code, "NULL" at 0. Defined once, in protocol.cpp.
extern const char* const ControlMsg[7];  // address protocol codes 0 to 6
extern const char* const VisualMsg[12];  // event codes 0 to 11

#endif  // TARVO_COMMON_PROTOCOL_H
