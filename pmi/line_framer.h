// The framing of a PMI-1 connection: a stream of lines, each at most
// kMaxLine bytes with its '\n'. LineFramer cuts one connection's bytes into
// lines, whatever pieces they arrive in. Pure: no descriptors.
#ifndef TARVO_PMI_LINE_FRAMER_H
#define TARVO_PMI_LINE_FRAMER_H

#include <cstddef>
#include <string>
#include <vector>

namespace pmi {

// The longest request or reply line, its '\n' included (the client's own
// buffer).
constexpr std::size_t kMaxLine = 1024;

// What a client sent, for a report: its first kShownBytes bytes as text,
// a byte that is not printable ASCII as \xNN, cut to 80 characters.
std::string ShownLine(const std::string& bytes);

class LineFramer {
 public:
  // Takes the next bytes of the connection and appends each line they
  // complete, without its '\n', to *lines. Returns false once the stream
  // breaks the framing: a line longer than kMaxLine, or a NUL byte in a
  // line. The lines before the broken one are still appended; from then on
  // nothing is, and the caller ends the connection.
  bool Feed(const char* data, std::size_t size, std::vector<std::string>* lines);

  // Once broken: the first kShownBytes bytes of the line that broke it.
  static constexpr std::size_t kShownBytes = 80;
  const std::string& BrokenLine() const { return brokenLine_; }

 private:
  std::string partial_;
  std::string brokenLine_;
  bool broken_ = false;
};

}  // namespace pmi

#endif  // TARVO_PMI_LINE_FRAMER_H
