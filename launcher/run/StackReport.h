// Where every rank is: the ranks' call paths merged into one prefix tree,
// as tarvo prints it on standard error at the time limit and on SIGQUIT.
#ifndef TARVO_LAUNCHER_RUN_STACKREPORT_H
#define TARVO_LAUNCHER_RUN_STACKREPORT_H

#include <string>
#include <vector>

#include "common/stack_wire.h"

/// A line of more than this many frames shows its first two, "...", and
/// its last one.
const size_t kStackLineFrames = 4;

/// The report's lines, each "tarvo: ..." with its newline: a header, then
/// the tree from `main` outward, one line per stretch without a branch,
/// indented two blanks a level, branches with more ranks first (the lower
/// first rank on a tie), then the ranks that could not be read, grouped by
/// why. A spawned job's processes follow the first job's, named as the
/// other reports name them: "rank 0, job 1 ranks 0-1". Frames outside main
/// are dropped (StackFromMain). Pure: tested directly.
std::vector<std::string> StackReport(const std::vector<RankStack>& stacks);

#endif  // TARVO_LAUNCHER_RUN_STACKREPORT_H
