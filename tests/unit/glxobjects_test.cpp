// Program and shader handles of a GLX share group: lookups through the tag's context, and
// attach, detach and delete in every order, a shader attached twice, a program deleted with
// delete-pending shaders (each entry freed exactly once: the sanitizer build checks it).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "fakecore.h"
#include "proxy/connections.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxobjects.h"

namespace {

class GlxObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = &core.addClient(false);
    context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
    ASSERT_EQ(glxInitContextObjects(context, nullptr), 1);
    GlxTagEntry *entry = glxAllocTag(client->client);
    ASSERT_NE(entry, nullptr);
    entry->context = context;  // the entry's reference is the record's only one
    tag = glxTagOf(entry);
  }
  void TearDown() override {
    glxFreeTagTable();  // frees the context and its lists
    xproxyGlxClientGone = nullptr;
  }
  int shaders() {
    int n = 0;
    for (GlxShaderEntry *s = context->objectLists->shaders; s; s = s->next) n++;
    return n;
  }
  FakeCore core;
  FakeClient *client = nullptr;
  GlxContextRecord *context = nullptr;
  uint32_t tag = 0;
};

TEST_F(GlxObjectsTest, LookupsByTag) {
  FakeCore::Current current(*client);
  glxRecordProgramId(tag, 5, 105);
  glxRecordShaderId(tag, 6, 106, 0x8B31);
  EXPECT_EQ(glxLookupProgramId(tag, 5), 105u);
  EXPECT_EQ(glxLookupShaderId(tag, 6), 106u);
  EXPECT_EQ(glxLookupObjectId(tag, 6), 106u);
  EXPECT_EQ(glxLookupObjectId(tag, 7), 7u);
  EXPECT_TRUE(core.logged("UNE"));
  EXPECT_EQ(glxLookupProgramId(tag + 1, 5), 5u);  // no such tag: unchanged, nothing recorded
  glxRecordProgramId(tag + 1, 8, 108);
  EXPECT_EQ(glxFindProgramEntry(tag, 108), nullptr);
  FakeClient &other = core.addClient(false);
  FakeCore::Current otherCurrent(other);
  EXPECT_EQ(glxLookupProgramId(tag, 5), 5u);  // another client's tag
}

// Every order of attach (A), detach (D), delete shader (S) and delete program (P) on one
// program and one shader, A always first; the shader is gone exactly when it is deleted and no
// longer attached.
TEST_F(GlxObjectsTest, EveryOrderFreesOnce) {
  FakeCore::Current current(*client);
  std::array<char, 3> steps{'D', 'P', 'S'};
  do {
    glxRecordProgramId(tag, 1, 101);
    glxRecordShaderId(tag, 2, 102, 0);
    glxAttachShaderEntry(tag, 101, 102);
    glxAttachShaderEntry(tag, 101, 102);  // refused by GL: counted once
    ASSERT_EQ(glxFindShaderEntry(tag, 102)->attachments, 1);
    bool attached = true, deleted = false;
    for (char step : steps) {
      if (step == 'D') glxDetachShaderEntry(tag, 101, 102), attached = false;
      if (step == 'P') glxDropProgramEntry(tag, 101), attached = false;
      if (step == 'S') deleted = true, glxDropShaderEntry(tag, 102);
      EXPECT_EQ(glxFindShaderEntry(tag, 102) != nullptr, !(deleted && !attached))
          << std::string(steps.begin(), steps.end()) << " after " << step;
    }
    EXPECT_EQ(glxFindProgramEntry(tag, 101), nullptr);
    EXPECT_EQ(shaders(), 0);
  } while (std::next_permutation(steps.begin(), steps.end()));
}

// A program deleted with two delete-pending shaders, one also held by another program.
TEST_F(GlxObjectsTest, ProgramTakesPendingShaders) {
  FakeCore::Current current(*client);
  glxRecordProgramId(tag, 1, 101);
  glxRecordProgramId(tag, 2, 201);
  glxRecordShaderId(tag, 3, 103, 0);
  glxRecordShaderId(tag, 4, 104, 0);
  glxAttachShaderEntry(tag, 101, 103);
  glxAttachShaderEntry(tag, 101, 104);
  glxAttachShaderEntry(tag, 201, 104);
  glxDropShaderEntry(tag, 103);
  glxDropShaderEntry(tag, 104);
  EXPECT_EQ(glxLookupShaderId(tag, 3), 103u);  // still translatable while attached
  glxDropProgramEntry(tag, 101);
  EXPECT_EQ(glxFindShaderEntry(tag, 103), nullptr);
  ASSERT_NE(glxFindShaderEntry(tag, 104), nullptr);
  EXPECT_EQ(glxFindShaderEntry(tag, 104)->attachments, 1);
  glxDetachShaderEntry(tag, 201, 104);
  EXPECT_EQ(shaders(), 0);
  // Attachments left at the end go with the lists.
  glxRecordShaderId(tag, 5, 105, 0);
  glxAttachShaderEntry(tag, 201, 105);
}

}  // namespace
