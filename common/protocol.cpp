#include "common/protocol.h"

const char* const ControlMsg[7] = {
    "NULL",          "JOIN Request", "JOINACK",  "ADDRESS Query",
    "ADDRESS Query ACK", "LEAVE",    "LEAVEACK",
};

const char* const VisualMsg[12] = {
    "NULL",
    "Msg_RMPRocessBegin",
    "Msg_RMPRocessEnd",
    "Msg_AsynOneToOneChannelCreate",
    "Msg_AsynOneToOneChannelSend",
    "Msg_AsynOneToOneChannelRecv",
    "Msg_AsynOneToOneChannelDestroy",
    "Msg_SynOneToOneChannelCreate",
    "Msg_SynOneToOneChannelSend",
    "Msg_SynOneToOneChannelRecv",
    "Msg_SynOneToOneChannelAck",
    "Msg_SynOneToOneChannelDestroy",
};
