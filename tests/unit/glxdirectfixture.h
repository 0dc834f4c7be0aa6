// Shared set-up of the unit tests of GL inside the proxy on the recording fake GL library: the
// library's path and its call log, an instance set up on a private Xvfb, an instance loaded
// without a display connection with two slots in use, and a client tag whose context records
// translated program and shader ids.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>
#include <string>

#include "fakecore.h"
#include "fakegl.h"
#include "proxy/connections.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xext/glxobjects.h"
#include "xvfb_fixture.h"

inline const std::string kFakeGlLibrary = std::string(TARVO_FAKEGL_DIR) + "/libtarvo_fakegl.so";

// How many lines of the fake library's call log start with the call of name.
inline size_t fakeglCountCalls(const std::string &name) {
  std::string log = fakeglLog();
  size_t n = 0;
  for (size_t at = log.find(name + "("); at != std::string::npos; at = log.find(name + "(", at + 1))
    if (at == 0 || log[at - 1] == '\n') n++;
  return n;
}

// Client synchronisations the instance asked for, when countSync stands in for them.
inline int syncs = 0;
inline void countSync(ClientConnection *, Display *) { syncs++; }
inline void noSync(ClientConnection *, Display *) {}

// One Xvfb (320x240x24) per test suite; each test sets up an instance of the fake library on a
// display connection of its own. Fixtures deriving from it call SetUp first and stop on a fatal
// failure; TearDown restores the client synchronisation and frees the instance.
class GlxDirectXvfbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new XvfbServer;
    XvfbOptions options;
    options.screens = {"320x240x24"};
    startError_ = server_->start(options);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(startError_, "");
    fakeglReset();
    display_ = XOpenDisplay(server_->displayName().c_str());
    ASSERT_NE(display_, nullptr);
    GlCapabilities caps{};
    ASSERT_EQ(glxdirectSetupDisplay(kFakeGlLibrary.c_str(), 68, display_, 0, &instance_, &caps), nullptr);
  }
  // Library contexts at 0x1000, 0x2000, ... (they stand in as handles only: the fake takes any);
  // their serials.
  void addContexts(uint32_t *serials, uintptr_t n) {
    for (uintptr_t k = 0; k < n; k++)
      serials[k] = glxdirectAddContext(instance_, reinterpret_cast<void *>(0x1000 * (k + 1)));
  }
  void TearDown() override {
    glxdirectSyncClient = glxSyncClientWithDisplay;
    glxdirectFreeInstance(instance_);
    if (display_) XCloseDisplay(display_);
  }

  static inline XvfbServer *server_ = nullptr;
  static inline std::string startError_;
  FakeCore core_;  // clients, the grab state and the log
  Display *display_ = nullptr;
  GlxLibraryInstance *instance_ = nullptr;
};

// Slots 1 (current) and 2 of an instance loaded without a display connection: contexts at
// &handles[1] and &handles[2] drawing into 0x101 and 0x102, full scratch, and a display record
// that only names ":9" in failure texts. Undone by fakeglFreeTwoSlots.
inline void fakeglTwoSlots(GlxLibraryInstance *instance, char *handles, _XPrivDisplay *display) {
  instance->scratch = static_cast<uint8_t *>(calloc(1, kGlxDirectScratchSize));
  instance->scratchSize = kGlxDirectScratchSize;
  for (uint32_t slot = 1; slot <= 2; slot++) {
    GlxDirectTagSlot &s = instance->tagSlots[slot];
    s.context = reinterpret_cast<GLXContext>(&handles[slot]);
    s.drawDrawable = s.readDrawable = 0x100 + slot;
    s.isNew = 0;
    s.proxyTag = 0;
    s.proxyTagCount = 1;
  }
  instance->highestTagSlot = 2;
  static char displayName[8] = ":9";
  *display = static_cast<_XPrivDisplay>(calloc(1, sizeof **display));
  (*display)->display_name = displayName;
  instance->display = reinterpret_cast<Display *>(*display);
  instance->currentTagSlot = 1;
}

inline void fakeglFreeTwoSlots(GlxLibraryInstance *instance, _XPrivDisplay display) {
  free(display);
  free(instance->scratch);
  free(instance);
  fakeglReset();
}

// A tag of client whose context records the client's program 5 as the library's 105 and shader 6
// as 106, behind slot 1 of the instance; *tag set to it. Undone by fakeglDropObjectTag.
inline void fakeglObjectTag(FakeClient *client, GlxLibraryInstance *instance, uint32_t *tag) {
  auto *context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
  ASSERT_EQ(glxInitContextObjects(context, nullptr), 1);
  GlxTagEntry *entry = glxAllocTag(client->client);
  ASSERT_NE(entry, nullptr);
  entry->context = context;
  *tag = glxTagOf(entry);
  instance->tagSlots[1].proxyTag = *tag;
  FakeCore::Current current(*client);
  glxRecordProgramId(*tag, 5, 105);
  glxRecordShaderId(*tag, 6, 106, 0x8B31);
}

inline void fakeglDropObjectTag(GlxLibraryInstance *instance) {
  instance->tagSlots[1].proxyTag = 0;
  glxFreeTagTable();
  xproxyGlxClientGone = nullptr;
}
