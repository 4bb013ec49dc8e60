// Tests of the simulator's failpoints, trace and live-handle registry through
// its control interface.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/prism/prism_sim.h"
#include "system/ipu_runtime/prism.h"
#include "testing/prism_trace.h"
#include "testing/temp_dir.h"

namespace {

using talon_testing::ScopedFailpoints;
using talon_testing::ScopedPrismTrace;
using ::testing::ElementsAre;

// Catches a failpoint that fires on the wrong call or keeps firing.
TEST(PrismSimFailpoints, NthCallOnly) {
  ScopedFailpoints fail("OzyGetMemoryAllocator:4:2");
  OzyMemoryAllocator* a = nullptr;
  OzyMemoryAllocator* b = nullptr;
  OzyMemoryAllocator* c = nullptr;
  EXPECT_EQ(OzyGetMemoryAllocator(3, &a), OZY_SUCCESS);
  EXPECT_EQ(OzyGetMemoryAllocator(3, &b), 4);
  EXPECT_EQ(OzyGetMemoryAllocator(3, &c), OZY_SUCCESS);
  OzyDeleteMemoryAllocator(a);
  OzyDeleteMemoryAllocator(c);
}

// Catches a setting whose later entries are dropped, or an every-call
// failpoint that fires once.
TEST(PrismSimFailpoints, EveryCallAndSeveralFunctions) {
  OzyMemoryAllocator* a = nullptr;
  ASSERT_EQ(OzyGetMemoryAllocator(3, &a), OZY_SUCCESS);
  ScopedFailpoints fail(" OzyGetMemoryAllocator:-7 , OzyDeleteMemoryAllocator:2:1");
  OzyMemoryAllocator* b = nullptr;
  EXPECT_EQ(OzyGetMemoryAllocator(3, &b), -7);
  EXPECT_EQ(OzyGetMemoryAllocator(3, &b), -7);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(OzyDeleteMemoryAllocator(a), 2);
  EXPECT_EQ(OzyDeleteMemoryAllocator(a), OZY_SUCCESS);
}

// Catches malformed settings being half applied.
TEST(PrismSimFailpoints, MalformedSpecIsRefusedWhole) {
  EXPECT_EQ(PrismSimSetFailpoints("OzyGetMemoryAllocator:4,broken"), -1);
  EXPECT_EQ(PrismSimSetFailpoints("OzyGetMemoryAllocator:x"), -1);
  EXPECT_EQ(PrismSimSetFailpoints("OzyGetMemoryAllocator:4:0"), -1);
  EXPECT_EQ(PrismSimSetFailpoints(":4"), -1);
  OzyMemoryAllocator* a = nullptr;
  EXPECT_EQ(OzyGetMemoryAllocator(3, &a), OZY_SUCCESS);
  OzyDeleteMemoryAllocator(a);
}

// Catches a trace line without the name first or the " = result" last.
TEST(PrismSimTrace, LineShape) {
  ScopedPrismTrace trace;
  OzyMemoryAllocator* a = nullptr;
  ASSERT_EQ(OzyGetMemoryAllocator(5, &a), OZY_ERROR_RESOURCE_NOT_FOUND);
  ASSERT_EQ(OzyGetMemoryAllocator(3, &a), OZY_SUCCESS);
  OzyDeleteMemoryAllocator(a);
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "OzyGetMemoryAllocator(5) = 6");
  EXPECT_THAT(lines[1], ::testing::MatchesRegex("OzyGetMemoryAllocator\\(3, ->0x[0-9a-f]+\\) = 0"));
  EXPECT_THAT(lines[2], ::testing::MatchesRegex("OzyDeleteMemoryAllocator\\(0x[0-9a-f]+\\) = 0"));
}

TEST(PrismSimTrace, ToFile) {
  talon_testing::TempDir dir;
  std::string path = dir.path() + "/trace.txt";
  ASSERT_EQ(PrismSimSetTrace(path.c_str()), 0);
  OzyMemoryAllocator* a = nullptr;
  OzyGetMemoryAllocator(3, &a);
  OzyDeleteMemoryAllocator(a);
  ASSERT_EQ(PrismSimSetTrace(nullptr), 0);
  std::ifstream in(path);
  std::string l1, l2;
  std::getline(in, l1);
  std::getline(in, l2);
  EXPECT_EQ(l1.rfind("OzyGetMemoryAllocator(3, ->", 0), 0u);
  EXPECT_EQ(l2.rfind("OzyDeleteMemoryAllocator(", 0), 0u);
  EXPECT_EQ(PrismSimSetTrace("/nonexistent-dir/trace"), -1);
}

// Catches handles that survive their delete call or are missed by the report.
TEST(PrismSimRegistry, LiveHandleReport) {
  size_t before = PrismSimLiveHandleCount();
  OzyMemoryAllocator* a = nullptr;
  ASSERT_EQ(OzyGetMemoryAllocator(3, &a), OZY_SUCCESS);
  EXPECT_EQ(PrismSimLiveHandleCount(), before + 1);
  char report[4096];
  PrismSimLiveHandleReport(report, sizeof(report));
  EXPECT_THAT(std::string(report), ::testing::HasSubstr("OzyMemoryAllocator 0x"));
  EXPECT_EQ(OzyDeleteMemoryAllocator(a), OZY_SUCCESS);
  EXPECT_EQ(PrismSimLiveHandleCount(), before);
  // A second delete of the same handle is refused, not a crash.
  EXPECT_EQ(OzyDeleteMemoryAllocator(a), OZY_ERROR_INVALID_REQUEST);
}

}  // namespace
