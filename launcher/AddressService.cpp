// Placeholder until this service lands: the thread ends at once.
#include "launcher/Control.h"

void* ResolveAddress(void*) { return nullptr; }
