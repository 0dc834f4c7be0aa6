// Completing the GL work of an instance before the proxy reads pixels, the swap interval under
// the slot that draws into the drawable, and the buffer and GLSL object operations, on the
// recording fake GL library (an instance set up on a private Xvfb).
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "proxy/connections.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xext/glxobjects.h"
#include "xvfb_fixture.h"

namespace {

// The log's lines that start with one of the names, in order.
std::vector<std::string> calls(std::initializer_list<const char *> names) {
  std::vector<std::string> found;
  std::string log = fakeglLog();
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    std::string line = log.substr(at, end - at);
    for (const char *name : names)
      if (line.rfind(std::string(name) + "(", 0) == 0) found.push_back(line);
    at = end == std::string::npos ? log.size() : end + 1;
  }
  return found;
}

class GlxDirectSyncTest : public GlxDirectXvfbTest {
 protected:
  void SetUp() override {
    GlxDirectXvfbTest::SetUp();
    if (HasFatalFailure()) return;
    addContexts(serials_, 3);
    syncs = 0;
    glxdirectSyncClient = countSync;
  }
  // Slots 1 and 3 in use (drawing into 0x100 and 0x300), slot 2 free, slot 1 current.
  void slotsOneAndThree() {
    ASSERT_EQ(glxdirectCreateTag(instance_, serials_[0], 0x100, 0x100, 7), 1u);
    ASSERT_EQ(glxdirectCreateTag(instance_, serials_[1], 0x200, 0x200, 8), 2u);
    ASSERT_EQ(glxdirectCreateTag(instance_, serials_[2], 0x300, 0x300, 9), 3u);
    dGLDestroyTag(instance_, 2);
    ASSERT_EQ(glxdirectMakeTagCurrent(instance_, 1), 1);
    fakeglClearLog();
    syncs = 0;
  }

  uint32_t serials_[3] = {};
};

TEST_F(GlxDirectSyncTest, FinishAllCompletesUsedSlotsHighestFirst) {
  slotsOneAndThree();
  glxdirectFinishAll(instance_);
  std::vector<std::string> seen = calls({"glXMakeContextCurrent", "glFinish", "glFlush", "glXWaitGL"});
  ASSERT_EQ(seen.size(), 4u) << fakeglLog();
  EXPECT_NE(seen[0].find(", 768, 768, "), std::string::npos) << seen[0];
  EXPECT_EQ(seen[1], "glFinish()");
  EXPECT_NE(seen[2].find(", 256, 256, "), std::string::npos) << seen[2];
  EXPECT_EQ(seen[3], "glFinish()");
  EXPECT_EQ(std::string(fakeglLog()).find(", 512, 512, "), std::string::npos);  // slot 2 untouched
  EXPECT_EQ(instance_->currentTagSlot, 1u);

  // A glBegin open in the context of slot 1 only (the glBegin state is its context's): slot 3
  // is finished, slot 1 flushed and waited for, never finished.
  instance_->insideBegin = 1;
  fakeglClearLog();
  glxdirectFinishAll(instance_);
  seen = calls({"glFinish", "glFlush", "glXWaitGL"});
  ASSERT_EQ(seen.size(), 3u) << fakeglLog();
  EXPECT_EQ(seen[0], "glFinish()");
  EXPECT_EQ(seen[1], "glFlush()");
  EXPECT_EQ(seen[2], "glXWaitGL()");
  // Open in both contexts: flushed and waited for under each slot.
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, 3), 1);
  EXPECT_EQ(instance_->insideBegin, 0);
  instance_->insideBegin = 1;
  fakeglClearLog();
  glxdirectFinishAll(instance_);
  EXPECT_EQ(fakeglCountCalls("glFinish"), 0u);
  seen = calls({"glFlush", "glXWaitGL"});
  ASSERT_EQ(seen.size(), 4u) << fakeglLog();
  EXPECT_EQ(seen[0], "glFlush()");
  EXPECT_EQ(seen[1], "glXWaitGL()");

  glxdirectFinishAll(nullptr);
}

// A slot never used (3) is finished without a sync for the reading client, and stays new: its
// first use still syncs, for its own client.
TEST_F(GlxDirectSyncTest, FinishingANewSlotLeavesItsSyncToItsFirstUse) {
  slotsOneAndThree();
  glxdirectFinishAll(instance_);
  EXPECT_NE(std::string(fakeglLog()).find(", 768, 768, "), std::string::npos) << fakeglLog();
  EXPECT_EQ(syncs, 0);
  EXPECT_EQ(instance_->tagSlots[3].isNew, 1);
  EXPECT_EQ(instance_->tagSlots[1].isNew, 0);
  ASSERT_EQ(glxdirectMakeTagCurrent(instance_, 3), 1);
  EXPECT_EQ(syncs, 1);
}

// A server string of the library for the screen, asked without making a slot current; NULL
// for a name the library does not know.
TEST_F(GlxDirectSyncTest, QueryServerStringAsksTheLibrary) {
  slotsOneAndThree();
  uint32_t current = instance_->currentTagSlot;
  fakeglSetString(kFakeglGlxServerString | 0x20F6, "fake vendors");
  fakeglClearLog();
  const char *text = glxdirectQueryServerString(instance_, 0, 0x20F6);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "fake vendors");
  EXPECT_EQ(glxdirectQueryServerString(instance_, 0, 99), nullptr);
  EXPECT_EQ(fakeglCountCalls("glXQueryServerString"), 2u) << fakeglLog();
  EXPECT_EQ(fakeglCountCalls("glXMakeContextCurrent") + fakeglCountCalls("glXMakeCurrent"), 0u);
  EXPECT_EQ(instance_->currentTagSlot, current);
}

TEST_F(GlxDirectSyncTest, SwapIntervalRunsUnderTheSlotDrawingIntoTheDrawable) {
  slotsOneAndThree();
  // No slot draws into 0x999: the current slot stays.
  EXPECT_EQ(glxdirectSwapInterval(instance_, 0x999, 2), 0);
  EXPECT_EQ(syncs, 1);
  EXPECT_EQ(fakeglCountCalls("glXMakeContextCurrent"), 0u);
  std::vector<std::string> seen = calls({"glXSwapIntervalEXT"});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].find(", 2457, 2)"), std::string::npos) << seen[0];
  EXPECT_EQ(instance_->currentTagSlot, 1u);
  // Two slots draw into 0x100: the highest is made current.
  ASSERT_EQ(glxdirectCreateTag(instance_, serials_[1], 0x100, 0x101, 10), 2u);
  fakeglClearLog();
  EXPECT_EQ(glxdirectSwapInterval(instance_, 0x100, 0), 0);
  seen = calls({"glXMakeContextCurrent", "glXSwapIntervalEXT"});
  ASSERT_EQ(seen.size(), 2u) << fakeglLog();
  EXPECT_NE(seen[0].find(", 256, 257, "), std::string::npos) << seen[0];
  EXPECT_NE(seen[1].find(", 256, 0)"), std::string::npos) << seen[1];
  EXPECT_EQ(instance_->currentTagSlot, 2u);
}

TEST_F(GlxDirectSyncTest, BufferOperationsBoundClientSizesAndZeroTheirRoom) {
  ASSERT_EQ(glxdirectCreateTag(instance_, serials_[0], 0x100, 0x100, 7), 1u);
  GlxDirectResult result{};
  // Earlier answers in the scratch buffer must not reach the client.
  uint8_t *old = glxdirectScratch(instance_, 64);
  ASSERT_NE(old, nullptr);
  memset(old, 0xAA, 64);
  fakeglClearLog();
  uint32_t params[5] = {3};
  ASSERT_EQ(glxdirectGenBuffers(instance_, 1, reinterpret_cast<uint8_t *>(params), 4, &result), 1);
  EXPECT_EQ(fakeglCountCalls("glGenBuffers"), 1u);
  ASSERT_EQ(result.count, 3u);
  ASSERT_NE(result.data, nullptr);
  for (int i = 0; i < 12; i++) EXPECT_EQ(result.data[i], 0) << i;
  // Four bytes a name: a count whose room does not fit the GL size calls nothing.
  params[0] = 0x40000000;
  fakeglClearLog();
  ASSERT_EQ(glxdirectGenBuffers(instance_, 1, reinterpret_cast<uint8_t *>(params), 4, &result), 1);
  EXPECT_EQ(result.data, nullptr);
  EXPECT_EQ(result.count, 0u);
  EXPECT_EQ(fakeglCountCalls("glGenBuffers"), 0u);

  // Sub-data: the offset's low word only; a size beyond 32 bits calls nothing.
  uint32_t sub[5] = {16, 0xdead, 8, 0, 0x8892};
  ASSERT_EQ(glxdirectGetBufferSubData(instance_, 1, reinterpret_cast<uint8_t *>(sub), 20, &result), 1);
  std::vector<std::string> seen = calls({"glGetBufferSubData"});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].rfind("glGetBufferSubData(0x8892, 16, 8, ", 0), 0u) << seen[0];
  EXPECT_EQ(result.count, 8u);
  ASSERT_NE(result.data, nullptr);
  sub[3] = 1;
  fakeglClearLog();
  ASSERT_EQ(glxdirectGetBufferSubData(instance_, 1, reinterpret_cast<uint8_t *>(sub), 20, &result), 1);
  EXPECT_EQ(result.data, nullptr);
  EXPECT_EQ(fakeglCountCalls("glGetBufferSubData"), 0u);

}

TEST_F(GlxDirectSyncTest, ProgramsAndShadersAreRecordedAndDroppedUnderTheSlotsTag) {
  FakeClient &client = core_.addClient(false);
  FakeCore::Current current(client);
  auto *context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
  ASSERT_EQ(glxInitContextObjects(context, nullptr), 1);
  GlxTagEntry *entry = glxAllocTag(client.client);
  ASSERT_NE(entry, nullptr);
  entry->context = context;
  uint32_t tag = glxTagOf(entry);
  ASSERT_EQ(glxdirectCreateTag(instance_, serials_[0], 0x100, 0x100, tag), 1u);
  fakeglSetNextObject(40);
  GlxDirectResult result{};
  ASSERT_EQ(glxdirectCreateProgramObject(instance_, 1, nullptr, 0, &result), 1);
  EXPECT_EQ(result.value, 40);
  uint32_t type = 0x8B31;
  ASSERT_EQ(glxdirectCreateShaderObject(instance_, 1, reinterpret_cast<uint8_t *>(&type), 4, &result), 1);
  EXPECT_EQ(result.value, 41);
  EXPECT_NE(glxFindProgramEntry(tag, 40), nullptr);
  EXPECT_NE(glxFindShaderEntry(tag, 41), nullptr);
  // Deleted by the same id.
  fakeglClearLog();
  ASSERT_EQ(glxdirectDeleteProgram(instance_, 1, 40), 1);
  ASSERT_EQ(glxdirectDeleteShader(instance_, 1, 41), 1);
  EXPECT_EQ(calls({"glDeleteProgram", "glDeleteShader"}),
            (std::vector<std::string>{"glDeleteProgram(40)", "glDeleteShader(41)"}));
  EXPECT_EQ(glxFindProgramEntry(tag, 40), nullptr);
  EXPECT_EQ(glxFindShaderEntry(tag, 41), nullptr);

  // Logs: room of the size asked for, zeroed; a size beyond the GL size calls nothing.
  uint8_t *old = glxdirectScratch(instance_, 32);
  ASSERT_NE(old, nullptr);
  memset(old, 0xAA, 32);
  int32_t length = -1;
  const uint8_t *text = glxdirectGetShaderInfoLog(instance_, 1, 41, 32, &length);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(length, 0);
  for (int i = 0; i < 32; i++) EXPECT_EQ(text[i], 0) << i;
  EXPECT_EQ(calls({"glGetShaderInfoLog"}).at(0).rfind("glGetShaderInfoLog(41, 32, ", 0), 0u);
  fakeglClearLog();
  EXPECT_EQ(glxdirectGetProgramInfoLog(instance_, 1, 40, uint64_t(1) << 32, &length), nullptr);
  EXPECT_EQ(glxdirectGetAttachedObjects(instance_, 1, 40, 0x40000000, &length), nullptr);
  EXPECT_EQ(fakeglCountCalls("glGetProgramInfoLog") + fakeglCountCalls("glGetAttachedObjectsARB"), 0u);

  glxdirectFreeInstance(instance_);  // before the tag table goes
  instance_ = nullptr;
  glxFreeTagTable();
  xproxyGlxClientGone = nullptr;
}

}  // namespace
