// Placeholder until this service lands: the thread ends at once.
#include "launcher/Control.h"

void* SynControler(void*) { return nullptr; }
