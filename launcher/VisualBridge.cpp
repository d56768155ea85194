// Placeholder until the monitor bridge lands: nothing is ever posted.
#include "launcher/Control.h"

int MsgQueueExist = 0;
key_t msg_key = 0;
int msg_qID = 0;
QueueMessage visualMessage;

int VisaulSystemInit() { return 0; }
void MessageSend(int, int) {}
void MessageSend(int, int, const char*) {}
void MessageSend(int, int, int) {}
void MessageSend(int, int, int, const char*) {}
void MessageSend(int, int, int, const char*, const char*, int) {}
void MessageSend(int, int, int, const char*, int, const char*, const char*) {}
void* TransmitMessage(void*) { return nullptr; }
