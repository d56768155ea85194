// Placeholder until this service lands: the thread ends at once.
#include "launcher/Control.h"

void* DistConsole(void*) { return nullptr; }
