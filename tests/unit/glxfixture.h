// The fake core that the GLX request tests share: one meta screen of two heads whose GL-capable
// root visual maps to head visuals 0x60 and 0x61 (FBConfigs 0x90, 0x91), one client of the byte
// order the parameter names, and GLX registered under a fixed major with the rows of every minor
// below a bound written.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "xext/ext.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"

class GlxFakeCoreTest : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr uint8_t kGlxMajor = 201;
  static constexpr uint8_t kGlxFirstError = 170;

  // The common part of a test's SetUp: ASSERTs inside, so call it through ASSERT_NO_FATAL_FAILURE.
  void setUpGlx(int minors) {
    screen = core.addScreen(1600, 600, 2);
    core.addRealDisplay();
    client = &core.addClient(GetParam());
    heads = core.heads(screen);
    screen->visuals->glVersion = 64;
    for (int k = 0; k < 2; k++) {
      headVisuals[k].visualId = 0x60 + k;
      headVisuals[k].glFbConfigId = 0x90 + k;
      maps[k] = &headVisuals[k];
      heads[k]->visualMap = &maps[k];
    }
    ExtensionRecord *record = &proxyState.extensions[kGlxMajor];
    record->firstError = kGlxFirstError;
    ASSERT_EQ(extRegister(record, "GLX", 2, 14), nullptr);
    rows.clear();
    for (int minor = 0; minor < minors; minor++)
      if (const ExtRequestRow *row = glxContextRow(uint8_t(minor))) rows.push_back(*row);
    extWriteRows(record, ExtRequestTable{rows.data(), rows.size()});
    proxyState.ext.glx = record;
    proxyState.ext.glxMajor = kGlxMajor;
    glxInitContexts();
  }
  void TearDown() override {
    for (Head *h : heads) h->visualMap = nullptr;
    glxFreeTagTable();
    xproxyGlxClientGone = nullptr;
    extResetAll();
  }
  FakeMessage request(uint8_t minor) { return std::move(FakeMessage(client->big).b(kGlxMajor).b(minor).s(0)); }
  void send(const FakeBytes &bytes) {
    FakeCore::Current current(*client);
    core.send(*client, bytes);
  }
  // The GLX requests written since the last look; *last is the real-server sequence of the
  // last request written.
  std::vector<FakeBytes> copies(uint16_t *last = nullptr) {
    std::vector<FakeBytes> out;
    for (auto &r : core.serverRequests(*client))
      if (r[0] == kGlxMajor) out.push_back(r);
    if (last) *last = uint16_t(client->client->displays[0]->requestsSent);
    return out;
  }
  // A request of the minor with the tag and the words in this machine's order, as the
  // builders get it.
  std::vector<uint8_t> nativeRequest(uint8_t minor, uint32_t tag, const std::vector<uint32_t> &words) {
    std::vector<uint8_t> req(8 + 4 * words.size());
    req[0] = kGlxMajor;
    req[1] = minor;
    wirePut16(req.data() + 2, uint16_t(req.size() / 4));
    wirePut32(req.data() + 4, tag);
    for (size_t k = 0; k < words.size(); k++) wirePut32(req.data() + 8 + 4 * k, words[k]);
    return req;
  }
  // The one message the client got since the last look (an empty one when there are more or none).
  FakeBytes only() {
    auto got = core.messages(*client);
    EXPECT_EQ(got.size(), 1u);
    return got.size() == 1 ? got[0] : FakeBytes{};
  }
  // A window of the client (id 1) and a context (id 2, on the root visual, in the render mode)
  // made current through each head's reply (server tags 0x11, 0x22): the context in *made, the
  // client's tag in *tag. ASSERTs inside, so call it through ASSERT_NO_FATAL_FAILURE.
  void makeCurrent(uint32_t renderMode, GlxContextRecord **made, uint32_t *tag) {
    FakeCore::Current current(*client);
    WindowRecord *window = windowCreate(client->id(1), core.root(screen), 0, 0, 100, 100, 0, 0, 0);
    auto *context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
    *context = GlxContextRecord{screen, screen->visuals, nullptr, client->id(2), 0, 0, renderMode, {}, {}};
    if (made) *made = context;
    ASSERT_EQ(glxInitContextObjects(context, nullptr), 1);
    ASSERT_EQ(resourceAdd(client->id(2), kResourceGlxContext, context), 1);
    core.serverRequests(*client);
    core.send(*client, request(5).i(window->id).i(client->id(2)).i(0).done());
    uint16_t last = 0;
    size_t count = copies(&last).size();
    for (size_t k = 0; k < count; k++)
      core.feedServer(*client, FakeMessage(false).b(1).b(0).s(uint16_t(last - (count - 1 - k))).i(0)
                                   .i(uint32_t(0x11 * (k + 1))).pad(20).d);
    auto got = core.messages(*client);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0][0], 1);
    *tag = client->u32(got[0], 8);
  }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  VisualRecord headVisuals[2] = {};
  VisualRecord *maps[2] = {};
  std::vector<ExtRequestRow> rows;  // written into the record: they must outlive the test
};
