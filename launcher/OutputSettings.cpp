#include "launcher/OutputSettings.h"

#include <cstring>

namespace {

// A switch: unset, empty or "0" is off, "1" on; anything else is refused,
// in the words of the run control's settings.
bool ReadSwitch(const char* (*get)(const char*), const char* name, bool* on, std::string* error) {
  const char* value = get(name);
  if (value == nullptr || *value == '\0' || strcmp(value, "0") == 0) return true;
  if (strcmp(value, "1") == 0) {
    *on = true;
    return true;
  }
  *error = std::string("ERROR-Control Process: ") + name + "=" + value + " is not 0 or 1\n";
  return false;
}

}  // namespace

bool ReadOutputSettings(const char* (*get)(const char*), OutputSettings* settings, std::string* error) {
  *settings = OutputSettings();
  return ReadSwitch(get, "TARVO_LABEL", &settings->label, error) &&
         ReadSwitch(get, "TARVO_MONITOR", &settings->monitor, error);
}
