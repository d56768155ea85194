// The standard streams of the run's children (each local process, or the
// remote shell of a remote one): rank 0 reads the launcher's standard input
// and every other rank an empty one; with labelling, what a rank writes on
// standard output or standard error comes out on the same stream of the
// launcher in whole lines, each prefixed "[R] ".
//
// The spawner asks ForRank before it starts a rank and calls Started right
// after (whether the start succeeded or not); the end of the run calls
// Finish once every child has been reaped.
#ifndef TARVO_LAUNCHER_OUTPUTRELAY_H
#define TARVO_LAUNCHER_OUTPUTRELAY_H

#include <cstddef>
#include <string>

// The relay's handler, LabelLines and LabelRest, shared with the agent.
#include "common/line_labels.h"

/// Descriptors for a child's fds 0, 1 and 2; -1 leaves the launcher's own.
struct ChildStreams {
  int fds[3] = {-1, -1, -1};
};

/// Starts relaying for the run: with `label`, the thread that reads the
/// ranks' pipes. Call once, before the first ForRank.
void OutputRelayStart(bool label);

/// With labelling: `gone` is called once, from the relay's thread, when a
/// write to the launcher's stream 1 or 2 fails because its reader has gone.
void OutputRelayOnReaderGone(void (*gone)(int stream));

/// Whether the ranks' lines are labelled (the launch agents label their
/// ranks' lines themselves).
bool OutputRelayLabels();

/// The streams of rank `rank`'s child (of job `job`: 0 the run's first,
/// k the k-th that ranks spawned, whose lines are labelled "[k:R] " and
/// which read no standard input). The descriptors stay the launcher's
/// until Started; they are close-on-exec, so no other child inherits them.
ChildStreams OutputRelayForRank(int rank, int job = 0);

/// Closes the launcher's copies of the child's ends after its start.
void OutputRelayStarted(const ChildStreams& streams);

/// After every child has ended: writes what the pipes still hold, completes
/// every last line without its line end, and ends the thread. Only the first
/// call does anything; it also runs at exit.
void OutputRelayFinish();

#endif  // TARVO_LAUNCHER_OUTPUTRELAY_H
