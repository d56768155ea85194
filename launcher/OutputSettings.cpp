#include "launcher/OutputSettings.h"

#include <cstring>

namespace {

// A switch: unset or "0" is off, "1" on; anything else is refused.
bool ReadSwitch(const char* (*get)(const char*), const char* name, bool* on, std::string* error) {
  const char* value = get(name);
  if (value == nullptr || strcmp(value, "0") == 0) return true;
  if (strcmp(value, "1") == 0) {
    *on = true;
    return true;
  }
  *error = std::string("ERROR-Control Process: ") + name + " must be 0 or 1: " + value + "\n";
  return false;
}

}  // namespace

bool ReadOutputSettings(const char* (*get)(const char*), OutputSettings* settings, std::string* error) {
  *settings = OutputSettings();
  return ReadSwitch(get, "TARVO_LABEL", &settings->label, error) &&
         ReadSwitch(get, "TARVO_MONITOR", &settings->monitor, error);
}
