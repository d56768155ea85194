// One rank's output turned into labelled lines, each prefixed "[R] ": the
// launcher's output relay and the launch agent label the same way.
#ifndef TARVO_COMMON_LINE_LABELS_H
#define TARVO_COMMON_LINE_LABELS_H

#include <cstddef>
#include <string>

/// A line longer than this is written in pieces of this size, each labelled
/// and ended, so that a rank that never ends its line cannot fill the memory.
const size_t kMaxLabelledLine = 1 << 20;

/// Appends to *out every whole line that `data` completes, each prefixed
/// "[rank] " ("[job:rank] " for a job other than 0, one that ranks
/// spawned); keeps the unfinished rest in *partial.
void LabelLines(int rank, const char* data, size_t size, std::string* partial, std::string* out, int job = 0);

/// Appends the unfinished rest, if any, as a last line with its line end.
void LabelRest(int rank, std::string* partial, std::string* out, int job = 0);

#endif  // TARVO_COMMON_LINE_LABELS_H
