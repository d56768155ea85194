// Inside the app layer: the command line's helpers that the main flow shares.
#ifndef TARVO_LAUNCHER_APP_COMMANDLINE_H
#define TARVO_LAUNCHER_APP_COMMANDLINE_H

#include <string>

/// The "ERROR-" line (with its line end) that refuses a path over
/// kMaxPathLength characters: `what` names it ("program path").
std::string PathTooLong(const char* what, const char* text);

#endif  // TARVO_LAUNCHER_APP_COMMANDLINE_H
