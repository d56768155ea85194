// One rank's output turned into whole lines, each prefixed with the rank's
// label ("[R] ") or with nothing: the launcher's output relay and the launch
// agent split the same way.
#ifndef TARVO_COMMON_LINE_LABELS_H
#define TARVO_COMMON_LINE_LABELS_H

#include <cstddef>
#include <string>

/// A line longer than this is written in pieces of this size, so that a rank
/// that never ends its line cannot fill the memory. A labelled piece is
/// labelled and ended; an unlabelled one goes out as it is, no byte added.
const size_t kMaxLabelledLine = 1 << 20;

/// "[rank] " ("[job:rank] " for a job other than 0, one that ranks spawned).
std::string LineLabel(int rank, int job = 0);

/// Appends to *out every whole line that `data` completes, each prefixed
/// `label` (empty: none); keeps the unfinished rest in *partial.
void SplitLines(const std::string& label, const char* data, size_t size, std::string* partial, std::string* out);

/// Appends the unfinished rest, if any, as a last line with its line end.
void SplitRest(const std::string& label, std::string* partial, std::string* out);

/// SplitLines and SplitRest with the rank's label.
void LabelLines(int rank, const char* data, size_t size, std::string* partial, std::string* out, int job = 0);
void LabelRest(int rank, std::string* partial, std::string* out, int job = 0);

#endif  // TARVO_COMMON_LINE_LABELS_H
