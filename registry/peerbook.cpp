// Placeholder until the address registry lands: construction and teardown only.
#include "registry/peerbook.h"

AddressList::AddressList() : count(0), head(nullptr) { pthread_mutex_init(&mutex, nullptr); }
AddressList::~AddressList() { pthread_mutex_destroy(&mutex); }
