// The fake core that the GLX request tests share: one meta screen of two heads whose GL-capable
// root visual maps to head visuals 0x60 and 0x61 (FBConfigs 0x90, 0x91), one client of the byte
// order the parameter names, and GLX registered under a fixed major with the rows of every minor
// below a bound written.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
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

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  VisualRecord headVisuals[2] = {};
  VisualRecord *maps[2] = {};
  std::vector<ExtRequestRow> rows;  // written into the record: they must outlive the test
};
