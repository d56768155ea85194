// The build makes code for the target it was asked for: the 32-bit x86
// target with TARVO_M32, the host's 64-bit one otherwise.
#include <elf.h>
#include <gtest/gtest.h>

#include <string>

#include "common/messages.h"
#include "tests/run_util.h"

namespace {

#ifdef TARVO_M32_BUILD
static_assert(sizeof(void*) == 4 && sizeof(long) == 4, "the 32-bit build makes 32-bit code");
static_assert(sizeof(QueueMessage) == 104, "the queue record is 104 bytes on the 32-bit target");
const int kClass = ELFCLASS32;
const int kMachine = EM_386;
#else
const int kClass = ELFCLASS64;
const int kMachine = EM_X86_64;
#endif

// Every program of the run is built for the target, not only the tests.
TEST(Target, ProgramsAreBuiltForTheTarget) {
  for (const std::string& program : {std::string(TARVO_BIN_DIR) + "/tarvo", std::string(TARVO_BIN_DIR) + "/carrier",
                                     std::string(TARVO_BIN_DIR) + "/visual", std::string(TARVO_TEST_BIN_DIR) + "/fault_rank"}) {
    const std::string head = testutil::ReadFile(program).substr(0, 64);
    ASSERT_GE(head.size(), static_cast<size_t>(EI_NIDENT + 4)) << program;
    EXPECT_EQ(head.compare(0, SELFMAG, ELFMAG), 0) << program;
    EXPECT_EQ(static_cast<unsigned char>(head[EI_CLASS]), kClass) << program;
    // e_machine follows e_type in both classes, little-endian.
    const int machine = static_cast<unsigned char>(head[18]) | static_cast<unsigned char>(head[19]) << 8;
    EXPECT_EQ(machine, kMachine) << program;
  }
}

}  // namespace
