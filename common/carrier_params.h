/* The launcher's parameters that end every child argument vector, after the
 * program and its arguments, in this order. carrier hands parameter k to
 * the process in the environment variable tarvo_param_name(k), where the
 * runtime library reads it. The spawner, carrier, the runtime library and
 * the tests all take the order from here. C and C++. */
#ifndef TARVO_COMMON_CARRIER_PARAMS_H
#define TARVO_COMMON_CARRIER_PARAMS_H

enum {
  TARVO_PARAM_CONSOLE_PORT = 0,
  TARVO_PARAM_SYNC_PORT = 1,
  TARVO_PARAM_HOST = 2, /* the launcher's host address, dotted text */
  TARVO_PARAM_ADDRESS_PORT = 3,
  TARVO_PARAM_VISUAL_PORT = 4,
  TARVO_PARAM_RANK = 5,
  TARVO_PARAM_SIZE = 6, /* processes of the run */
  TARVO_PARAM_WORKDIR = 7,
  TARVO_PARAMS = 8 /* how many: always the last eight words */
};

/* The environment variable of parameter k; null outside 0 to 7. */
static inline const char* tarvo_param_name(int k) {
  static const char names[TARVO_PARAMS][19] = {
      "TARVO_CONSOLE_PORT", "TARVO_SYNC_PORT", "TARVO_HOST", "TARVO_ADDRESS_PORT",
      "TARVO_VISUAL_PORT",  "TARVO_RANK",      "TARVO_SIZE", "TARVO_WORKDIR",
  };
  return k >= 0 && k < TARVO_PARAMS ? names[k] : 0;
}

#endif /* TARVO_COMMON_CARRIER_PARAMS_H */
