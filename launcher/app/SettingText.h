// The reading of one setting's text, shared by the settings' and the
// allocation's readers.
#ifndef TARVO_LAUNCHER_APP_SETTINGTEXT_H
#define TARVO_LAUNCHER_APP_SETTINGTEXT_H

#include <string>

/// TARVO_PPN's largest: the most ranks of a run.
const int kMaxPpn = 2000;

/// A whole decimal number from 0 to `max`, all of the text, into *out.
bool ParseWhole(const char* text, int max, int* out);

/// The "ERROR-" line of a malformed setting: "NAME=VALUE is not WANT".
std::string Malformed(const char* name, const char* value, const std::string& want);

#endif  // TARVO_LAUNCHER_APP_SETTINGTEXT_H
