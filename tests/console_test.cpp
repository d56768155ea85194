#include "launcher/RunControl.h"
#include "launcher/ConsoleService.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "launcher/Control.h"
#include "tests/support/loopback.h"

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

// ---- DistConsole on a real endpoint --------------------------------------

using Sender = support::LoopbackSocket;

// One console for the whole binary, left running: its thread ends with the
// process.
class ConsoleService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (endpoint != nullptr) return;
    endpoint = new CUDPConnection(100);
    ASSERT_EQ(endpoint->Open(0), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, DistConsole, endpoint), 0);
    pthread_detach(thread);
  }
  // Sends each text from `from` and waits for its acknowledgement, so that
  // the console has written it; returns what it printed meanwhile.
  static std::string Through(Sender& from, std::initializer_list<std::string> texts) {
    testing::internal::CaptureStdout();
    for (const std::string& t : texts) {
      EXPECT_TRUE(from.Send(endpoint->Port(), t));
      EXPECT_EQ(from.Next(), "s");
    }
    return testing::internal::GetCapturedStdout();
  }
  static CUDPConnection* endpoint;
};
CUDPConnection* ConsoleService::endpoint = nullptr;

TEST_F(ConsoleService, PrintsEachDatagramAndAcknowledgesItOnce) {
  Sender s;
  EXPECT_EQ(Through(s, {"hello\n"}), "Console-> hello\n");
  EXPECT_EQ(Through(s, {"ab", "cd"}), "Console-> abConsole-> cd");
  EXPECT_EQ(Through(s, {"", std::string("\0x", 2)}), "Console-> Console-> ");
  EXPECT_EQ(Through(s, {Long3000()}), "Console-> " + Long3000().substr(0, 2048));
  EXPECT_TRUE(s.Idle()) << "one acknowledgement per datagram";
}

TEST_F(ConsoleService, AcknowledgesTheSocketThatSent) {
  Sender a, b;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(a.Send(endpoint->Port(), std::string("from a\n")));
  ASSERT_TRUE(b.Send(endpoint->Port(), std::string("from b\n")));
  EXPECT_EQ(a.Next(), "s");
  EXPECT_EQ(b.Next(), "s");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Console-> from a\nConsole-> from b\n");
  EXPECT_EQ(Through(a, {"again\n"}), "Console-> again\n");
  EXPECT_TRUE(a.Idle());
  EXPECT_TRUE(b.Idle());
}

}  // namespace
