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
/// the tree from `main` (a thread's start routine) outward, one line per
/// stretch without a branch, indented two blanks a level, branches with
/// more ranks first (the lower first rank on a tie); where some ranks go on
/// beyond a frame, those that stop in it have a branch "ranks ...: in
/// FRAME". Then the ranks that could not be read, grouped by why, and, with
/// `sampledTwice` and some path read, the line that names the ranks whose
/// stacks moved between the samples ("none" for none). A spawned job's processes follow
/// the first job's, named as the other reports name them: "rank 0, job 1
/// ranks 0-1"; a thread other than the main one by its number: "ranks 0-1
/// (thread 2)". Frames outside main are dropped (StackFromMain). Pure:
/// tested directly.
std::vector<std::string> StackReport(const std::vector<RankStack>& stacks, bool sampledTwice = false);

/// The same tree as a Graphviz graph (the DOT language): a node per frame
/// labelled with the frame, its ranks as the report names them and their
/// count, an edge from caller to callee, from one root node; the ranks not
/// read as dashed nodes under the root.
std::string StackGraph(const std::vector<RankStack>& stacks);

#endif  // TARVO_LAUNCHER_RUN_STACKREPORT_H
