// The pure parts of spawning: the child argument vector, the machine-file
// and program-file readers on in-memory files, and the status of a run.
#include "launcher/spawn/Inputs.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using spawn::LauncherParams;
using spawn::MachineFileHosts;
using Words = std::vector<std::string>;

LauncherParams SomeParams() {
  LauncherParams p;
  p.consolePort = 4001;
  p.syncPort = 4002;
  p.address = "10.1.2.3";
  p.addressPort = 4003;
  p.visualPort = 4004;
  p.count = 4;
  p.workdir = "/home/u";
  return p;
}

// An in-memory FILE over a copy of `text`, closed with the object.
class MemFile {
 public:
  explicit MemFile(const std::string& text) : text_(text + '\0') { file_ = fmemopen(&text_[0], text.size(), "r"); }
  ~MemFile() {
    if (file_ != nullptr) fclose(file_);
  }
  FILE* get() const { return file_; }

 private:
  std::string text_;
  FILE* file_;
};

TEST(ChildVector, RemoteFormWithUserArguments) {
  // Rank 2 of four with "-ssh" and the user arguments x y.
  Words v = spawn::ChildVector(true, true, "a", {"/home/u/prog", "x", "y"}, SomeParams(), 2);
  Words expected = {"ssh",  "a",        "carrier", "/home/u/prog", "x", "y", "4001",
                    "4002", "10.1.2.3", "4003",    "4004",         "2", "4", "/home/u"};
  EXPECT_EQ(v, expected);
  EXPECT_EQ(v.size() + 1, 2u + 13u) << "u + 13 entries with the null entry";
  EXPECT_EQ(spawn::ChildVector(true, false, "b", {"p"}, SomeParams(), 0)[0], "rsh");
}

TEST(ChildVector, LocalFormDropsShellAndHost) {
  Words v = spawn::ChildVector(false, true, "ignored", {"/home/u/prog", "x"}, SomeParams(), 0);
  Words expected = {"carrier", "/home/u/prog", "x", "4001", "4002", "10.1.2.3", "4003", "4004", "0", "4", "/home/u"};
  EXPECT_EQ(v, expected);
  // Without user arguments the console port stands right after the program.
  Words bare = spawn::ChildVector(false, false, "", {"/home/u/prog"}, SomeParams(), 3);
  ASSERT_EQ(bare.size() + 1, 0u + 11u);
  EXPECT_EQ(bare[2], "4001");
  EXPECT_EQ(bare[7], "3");
  EXPECT_EQ(bare[8], "4");
}

TEST(ChildVector, KeepsTheWordLimitAndTheSystemsBounds) {
  LauncherParams p = SomeParams();
  // A thousand arguments and a program path of PATH_MAX's characters fit;
  // the vector's bytes beside the environment are held to ARG_MAX.
  Words words(1 + 1000, std::string(127, 'a'));
  words[0] = "/" + std::string(kMaxPathText - 1, 'p');
  const size_t bytes = spawn::VectorBytes(spawn::ChildVector(false, false, "", words, p, p.count));
  EXPECT_EQ(spawn::CheckVector(words, p, 1000, bytes + 1000), "");
  EXPECT_EQ(spawn::CheckVector(words, p, 1001, bytes + 1000),
            "ERROR-Control Process: 1000 user arguments do not fit the child argument vector (at most " +
                std::to_string(bytes + 1000) + " bytes with the environment, ARG_MAX)\n");
  words[0] += "p";
  EXPECT_EQ(spawn::CheckVector(words, p, 0, 1u << 30),
            "ERROR-Control Process: program path is longer than 4095 characters: " + words[0] + "\n");

  Words longArg = {"prog", std::string(127, 'x')};
  EXPECT_EQ(spawn::CheckVector(longArg, p, 0, 1u << 20), "");
  longArg[1].push_back('x');
  EXPECT_EQ(spawn::CheckVector(longArg, p, 0, 1u << 20),
            "ERROR-Control Process: argument is longer than 127 characters: " + longArg[1] + "\n");

  p.workdir = "/" + std::string(kMaxPathText - 1, 'd');
  EXPECT_EQ(spawn::CheckVector({"prog"}, p, 0, 1u << 20), "");
  p.workdir += "d";
  EXPECT_EQ(spawn::CheckVector({"prog"}, p, 0, 1u << 20),
            "ERROR-Control Process: working directory is longer than 4095 characters: " + p.workdir + "\n");
}

// Names starting with "bad" do not resolve.
bool NotBad(const char* name) { return std::string(name).compare(0, 3, "bad") != 0; }

// The hosts of `n` processes, or the result that stopped the reading.
Words Hosts(const std::string& text, int n, std::string* report, MachineFileHosts::Result* stop = nullptr,
            bool (*resolves)(const char*) = NotBad) {
  MemFile file(text);
  MachineFileHosts hosts(file.get(), resolves);
  Words out;
  for (int i = 0; i < n; ++i) {
    std::string host;
    MachineFileHosts::Result r = hosts.Next(&host, report);
    if (r != MachineFileHosts::kHost) {
      if (stop) *stop = r;
      break;
    }
    out.push_back(host);
  }
  return out;
}

TEST(MachineFile, HostsAreReusedFromTheStartInOrder) {
  std::string report;
  EXPECT_EQ(Hosts("a b", 4, &report), (Words{"a", "b", "a", "b"}));
  EXPECT_EQ(Hosts("  a\n\tb\r\n\n c \f", 5, &report), (Words{"a", "b", "c", "a", "b"}))
      << "any white space separates words";
  EXPECT_EQ(Hosts("127.0.0.2\n", 2, &report), (Words{"127.0.0.2", "127.0.0.2"}));
  EXPECT_EQ(report, "");
}

TEST(MachineFile, UnknownHostIsReportedOnEveryPassAndTakesNoProcess) {
  std::string report;
  EXPECT_EQ(Hosts("a badhost b", 4, &report), (Words{"a", "b", "a", "b"}));
  const std::string once = "ERROR-Host: badhost does NOT exists\nERROR-Please check you machinefile\n";
  EXPECT_EQ(report, once + once);
}

TEST(MachineFile, NoUsableWordForTheFirstProcessMeansLocal) {
  for (const std::string text : {"", "   \n\t\n", "bad1 bad2"}) {
    std::string report;
    MachineFileHosts::Result stop = MachineFileHosts::kHost;
    EXPECT_TRUE(Hosts(text, 3, &report, &stop).empty()) << text;
    EXPECT_EQ(stop, MachineFileHosts::kLocal) << text;
    if (text == "bad1 bad2") {
      EXPECT_EQ(report,
                "ERROR-Host: bad1 does NOT exists\nERROR-Please check you machinefile\n"
                "ERROR-Host: bad2 does NOT exists\nERROR-Please check you machinefile\n");
    }
  }
}

TEST(MachineFile, LongWordIsReportedAndSkipped) {
  const std::string limit(31, 'h');
  const std::string over(32, 'k');
  std::string report;
  EXPECT_EQ(Hosts(limit + " " + over + " b", 3, &report), (Words{limit, "b", limit}));
  EXPECT_EQ(report, "ERROR-Host: " + over + " is longer than 31 characters\nERROR-Please check you machinefile\n");

  // A huge word is named by its start only, and never overruns anything.
  report.clear();
  EXPECT_EQ(Hosts(std::string(5000, 'z') + " a", 1, &report), (Words{"a"}));
  EXPECT_EQ(report, "ERROR-Host: " + std::string(128, 'z') +
                        "... is longer than 31 characters\nERROR-Please check you machinefile\n");
}

// Resolves "a" the first time only, like a host that goes away mid-run.
int lookups = 0;
bool OnlyFirstLookup(const char*) { return ++lookups == 1; }

TEST(MachineFile, AWholePassWithoutUsableHostStopsTheReading) {
  for (const std::string text : {"a b", "a b c d"}) {
    lookups = 0;
    std::string report;
    MachineFileHosts::Result stop = MachineFileHosts::kHost;
    EXPECT_EQ(Hosts(text, 10, &report, &stop, OnlyFirstLookup), (Words{"a"}));
    EXPECT_EQ(stop, MachineFileHosts::kExhausted) << text;
    // Each word after "a" to the end, then one full pass: bounded.
    EXPECT_LE(lookups, 2 * 4 + 1);
  }
}

TEST(ProgramLineSplit, BlanksOnlySeparate) {
  using spawn::SplitProgramLine;
  EXPECT_EQ(SplitProgramLine("prog a b"), (Words{"prog", "a", "b"}));
  EXPECT_EQ(SplitProgramLine("   prog a"), (Words{"prog", "a"})) << "leading blanks are skipped";
  EXPECT_EQ(SplitProgramLine("prog  a   b"), (Words{"prog", "a", "b"})) << "a run of blanks yields no word";
  EXPECT_EQ(SplitProgramLine("prog a "), (Words{"prog", "a", ""})) << "trailing blanks: one empty last word";
  EXPECT_EQ(SplitProgramLine("prog a    "), (Words{"prog", "a", ""}));
  EXPECT_EQ(SplitProgramLine("    "), (Words{""})) << "a line of blanks is one empty word";
  EXPECT_EQ(SplitProgramLine("p\ta\r"), (Words{"p\ta\r"})) << "tabs and carriage returns belong to words";
}

bool ReadLines(const std::string& text, std::vector<spawn::ProgramLine>* lines, std::string* error) {
  MemFile file(text);
  return spawn::ReadProgramFile(file.get(), "/d/pf", lines, error);
}

TEST(ProgramFile, EmptyLinesTakeNoRankAndALastLineWithoutLineEndCounts) {
  std::vector<spawn::ProgramLine> lines;
  std::string error;
  ASSERT_TRUE(ReadLines("a 1\n\nb 2\r\n\n\nc", &lines, &error));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].words, (Words{"a", "1"}));
  EXPECT_EQ(lines[1].words, (Words{"b", "2\r"}));
  EXPECT_EQ(lines[2].words, (Words{"c"}));
  EXPECT_EQ(lines[2].number, 6);

  ASSERT_TRUE(ReadLines("", &lines, &error));
  EXPECT_TRUE(lines.empty());
  ASSERT_TRUE(ReadLines("\n\n", &lines, &error));
  EXPECT_TRUE(lines.empty());
  ASSERT_TRUE(ReadLines(" \n", &lines, &error));
  ASSERT_EQ(lines.size(), 1u) << "a line of blanks is not empty";
  EXPECT_EQ(lines[0].words, (Words{""}));
}

TEST(ProgramFile, RefusesLinesBeyondTheLimitsByPathAndLine) {
  std::vector<spawn::ProgramLine> lines;
  std::string error;
  const std::string full(1023, 'x');
  EXPECT_FALSE(ReadLines("a\n" + full + "\n", &lines, &error)) << "a 1023-character word is too long";
  EXPECT_EQ(error, "ERROR-Control Process: program file /d/pf, line 2: a word longer than 127 characters\n");

  std::string fits = "p";
  while (fits.size() + 2 <= 1023) fits += " a";
  ASSERT_EQ(fits.size(), 1023u);
  ASSERT_FALSE(ReadLines(fits, &lines, &error)) << "512 words are more than 128";
  EXPECT_EQ(error, "ERROR-Control Process: program file /d/pf, line 1: more than 128 words\n");

  EXPECT_FALSE(ReadLines("\n\na\n" + full + "y\n", &lines, &error));
  EXPECT_EQ(error, "ERROR-Control Process: program file /d/pf, line 4: longer than 1023 characters\n");

  std::string words128 = "p", words129;
  for (int i = 1; i < 128; ++i) words128 += " a";
  words129 = words128 + " a";
  EXPECT_TRUE(ReadLines(words128 + "\n" + std::string(127, 'w'), &lines, &error));
  EXPECT_EQ(lines[0].words.size(), 128u);
  EXPECT_FALSE(ReadLines(words129, &lines, &error));
  EXPECT_EQ(error, "ERROR-Control Process: program file /d/pf, line 1: more than 128 words\n");
  EXPECT_FALSE(ReadLines(std::string(128, 'w'), &lines, &error));
}

}  // namespace
