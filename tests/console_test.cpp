#include "launcher/services/ConsoleService.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Shown(const std::string& datagram) {
  char line[kConsoleLineSize];
  size_t n = FormatConsoleLine(datagram.data(), static_cast<int>(datagram.size()), line);
  return std::string(line, n);
}

// 3000 bytes without a NUL, every position telling its place.
std::string Long3000() {
  std::string s(3000, 'a');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

TEST(ConsoleLine, ShowsThePrefixAndTheTextUpToItsFirstNul) {
  EXPECT_EQ(Shown("hello\n"), "Console-> hello\n");
  EXPECT_EQ(Shown("ab") + Shown("cd"), "Console-> abConsole-> cd") << "no line end is added";
  EXPECT_EQ(Shown(""), "Console-> ");
  EXPECT_EQ(Shown(std::string("\0hidden", 7)), "Console-> ");
  EXPECT_EQ(Shown(std::string("shown\0hidden", 12)), "Console-> shown");
  EXPECT_EQ(Shown(Long3000()), "Console-> " + Long3000().substr(0, 2048));
}

}  // namespace
