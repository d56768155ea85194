// Texts that the run control's reports share: a list of ranks and how a
// process ended.
#ifndef TARVO_LAUNCHER_RUN_REPORTTEXT_H
#define TARVO_LAUNCHER_RUN_REPORTTEXT_H

#include <string>
#include <vector>

namespace runloop {

/// "0-3,5,7-8" for the ranks in `ranks` (ascending).
std::string RankList(const std::vector<int>& ranks);
/// What a wait status says, for the reports: "exited with status 3".
std::string Describe(int waitStatus);

}  // namespace runloop

#endif  // TARVO_LAUNCHER_RUN_REPORTTEXT_H
