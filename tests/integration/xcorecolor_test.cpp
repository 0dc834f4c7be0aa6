// Colormap and colour requests through their handlers, in both byte orders, on a PseudoColor
// visual: a colour script gives the same report through the proxy as directly against an
// 8-bit Xvfb, with one and two 8-bit heads and with PseudoColor emulated on 24-bit heads. With
// two heads every head's real colormap holds the colours at its own pixels.
#include "corerequests_fixture.h"

#include <X11/Xlib.h>

#include <functional>
#include <sstream>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/xcore.h"
#include "proxy/xemulation.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "rawclient_fixture.h"
#include "xvfb_fixture.h"

namespace corerequests {
namespace {

constexpr uint8_t kCreateColormap = 78, kFreeColormap = 79, kCopyColormapAndFree = 80, kListInstalled = 83,
                  kAllocColor = 84, kAllocNamedColor = 85, kAllocColorCells = 86, kAllocColorPlanes = 87,
                  kFreeColors = 88, kStoreColors = 89, kStoreNamedColor = 90, kQueryColors = 91, kLookupColor = 92;

// One run of the script: sends a request and gives back what the client received for it.
using Exchange = std::function<std::vector<Bytes>(const Bytes &)>;

struct ScriptIds {
  uint32_t window, visual, first, second;  // window and visual of the colormaps; two free ids
};

// The colour script: what it reports leaves pixel numbers out (they may differ) and keeps the
// colours read back and the errors. `colormaps` receives the first colormap and the pixels
// whose colours it set, for the per-head checks.
std::string colourScript(bool big, const ScriptIds &ids, const Exchange &exchange, std::vector<uint32_t> *pixels) {
  std::ostringstream report;
  auto u16 = [&](const Bytes &m, size_t at) { return get(m, at, 2, big); };
  auto u32 = [&](const Bytes &m, size_t at) { return get(m, at, 4, big); };
  auto step = [&](const char *name, const Bytes &request) {
    std::vector<Bytes> answers = exchange(request);
    report << name << ":";
    for (const Bytes &a : answers) report << (a[0] == 0 ? " error " + std::to_string(a[1]) : std::string(" reply"));
    report << "\n";
    return answers;
  };
  auto reply = [&](const std::vector<Bytes> &answers) -> const Bytes * {
    return answers.size() == 1 && answers[0][0] == 1 ? &answers[0] : nullptr;
  };
  auto named = [&](uint8_t opcode, uint32_t cmap, const std::string &name) {
    return Request(big).b(opcode).b(0).s(0).i(cmap).s(uint32_t(name.size())).s(0).text(name).done();
  };
  auto queryColours = [&](const char *name, uint32_t cmap, const std::vector<uint32_t> &query) {
    Request r(big);
    r.b(kQueryColors).b(0).s(0).i(cmap);
    for (uint32_t p : query) r.i(p);
    auto answers = step(name, r.done());
    if (const Bytes *m = reply(answers)) {
      uint32_t n = u16(*m, 8);
      for (uint32_t k = 0; k < n && 32 + 8 * k + 6 <= m->size(); k++)
        report << "  " << std::hex << u16(*m, 32 + 8 * k) << "," << u16(*m, 34 + 8 * k) << ","
               << u16(*m, 36 + 8 * k) << std::dec << "\n";
    }
  };
  uint32_t c1 = ids.first, c2 = ids.second;
  step("CreateColormap", Request(big).b(kCreateColormap).b(0).s(0).i(c1).i(ids.window).i(ids.visual).done());
  auto a = step("AllocColor", Request(big).b(kAllocColor).b(0).s(0).i(c1).s(0x1234).s(0x5678).s(0x9abc).s(0).done());
  uint32_t p1 = 0;
  if (const Bytes *m = reply(a)) {
    p1 = u32(*m, 16);
    report << std::hex << "  " << u16(*m, 8) << "," << u16(*m, 10) << "," << u16(*m, 12) << std::dec << "\n";
  }
  a = step("AllocNamedColor red", named(kAllocNamedColor, c1, "red"));
  uint32_t pRed = 0;
  if (const Bytes *m = reply(a)) {
    pRed = u32(*m, 8);
    report << std::hex << "  " << u16(*m, 12) << "," << u16(*m, 14) << "," << u16(*m, 16) << " " << u16(*m, 18)
           << "," << u16(*m, 20) << "," << u16(*m, 22) << std::dec << "\n";
  }
  step("AllocNamedColor unknown", named(kAllocNamedColor, c1, "no-such-colour"));
  a = step("AllocColorCells", Request(big).b(kAllocColorCells).b(0).s(0).i(c1).s(2).s(1).done());
  uint32_t q0 = 0, q1 = 0, mask = 0;
  if (const Bytes *m = reply(a)) {
    report << "  " << u16(*m, 8) << " pixels " << u16(*m, 10) << " masks\n";
    q0 = u32(*m, 32), q1 = u32(*m, 36), mask = u32(*m, 40);
  }
  step("StoreColors", Request(big)
                          .b(kStoreColors).b(0).s(0).i(c1)
                          .i(q0).s(0x1111).s(0x2222).s(0x3333).b(7).b(0)
                          .i(q0 | mask).s(0x4444).s(0x5555).s(0x6666).b(7).b(0)
                          .done());
  step("StoreNamedColor", Request(big).b(kStoreNamedColor).b(7).s(0).i(c1).i(q1).s(4).s(0).text("blue").done());
  step("StoreColors read-only", Request(big).b(kStoreColors).b(0).s(0).i(c1).i(p1).s(1).s(2).s(3).b(7).b(0).done());
  queryColours("QueryColors", c1, {p1, pRed, q0, q0 | mask, q1});
  a = step("LookupColor", named(kLookupColor, c1, "green"));
  if (const Bytes *m = reply(a))
    report << std::hex << "  " << u16(*m, 8) << "," << u16(*m, 10) << "," << u16(*m, 12) << " " << u16(*m, 14) << ","
           << u16(*m, 16) << "," << u16(*m, 18) << std::dec << "\n";
  a = step("AllocColorPlanes", Request(big).b(kAllocColorPlanes).b(0).s(0).i(c1).s(1).s(1).s(1).s(1).done());
  if (const Bytes *m = reply(a))
    report << "  " << u16(*m, 8) << " pixels, planes " << __builtin_popcount(u32(*m, 12)) << "+"
           << __builtin_popcount(u32(*m, 16)) << "+" << __builtin_popcount(u32(*m, 20)) << "\n";
  step("FreeColors", Request(big).b(kFreeColors).b(0).s(0).i(c1).i(0).i(p1).done());
  step("CopyColormapAndFree", Request(big).b(kCopyColormapAndFree).b(0).s(0).i(c2).i(c1).done());
  queryColours("QueryColors copy", c2, {q0, q0 | mask, q1});
  step("StoreColors moved", Request(big).b(kStoreColors).b(0).s(0).i(c1).i(q0).s(1).s(2).s(3).b(7).b(0).done());
  step("StoreColors copy", Request(big).b(kStoreColors).b(0).s(0).i(c2).i(q0).s(0x7777).s(0x8888).s(0x9999).b(7).b(0).done());
  queryColours("QueryColors copy again", c2, {q0});
  if (pixels) *pixels = {pRed, q0, q1};
  return report.str();
}

// The same script directly against an 8-bit Xvfb through a raw client of the same byte order.
std::string directReport(bool big) {
  XvfbServer reference;
  XvfbOptions options;
  options.screens = {"320x240x8"};
  options.extraArguments = {"-nolisten", "tcp"};
  EXPECT_EQ(reference.start(options), "");
  Display *display = XOpenDisplay(reference.displayName().c_str());
  EXPECT_NE(display, nullptr);
  uint32_t visual = uint32_t(XVisualIDFromVisual(DefaultVisual(display, 0)));
  EXPECT_EQ(DefaultVisual(display, 0)->c_class, PseudoColor);
  XCloseDisplay(display);
  RawClient raw;
  EXPECT_EQ(raw.connect(reference.displayNumber(), big ? 'B' : 'l'), "");
  Exchange exchange = [&](const Bytes &request) {
    std::vector<Bytes> answers;
    raw.send(request);
    uint16_t probe = uint16_t(raw.sequence() + 1);
    raw.send(Request(big).b(43).b(0).s(1).done());  // GetInputFocus
    for (RawBytes m; raw.read(m, 5000).empty();) {
      if (m[0] == 1 && rawGet16(m, 2, big) == probe) break;
      answers.push_back(m);
    }
    return answers;
  };
  return colourScript(big, {raw.rootWindow(), visual, raw.idBase() | 1, raw.idBase() | 2}, exchange, nullptr);
}

struct ColourCase {
  const char *name;
  std::vector<std::string> screens;
  uint32_t emulation;
  bool big;
};

const ColourCase kCases[] = {
    {"Pseudo8OneHeadLsbFirst", {"320x240x8"}, 0, false},
    {"Pseudo8TwoHeadsMsbFirst", {"320x240x8", "320x240x8"}, 0, true},
    {"Emulated8OneHeadLsbFirst", {"320x240x24"}, kEmulatePseudoColor8, false},
    {"Emulated8TwoHeadsMsbFirst", {"320x240x24", "320x240x24"}, kEmulatePseudoColor8, true},
    {"Emulated8TwoHeadsLsbFirst", {"320x240x24", "320x240x24"}, kEmulatePseudoColor8, false},
};

uint32_t ownerIndex() { return xproxyCurrentClient ? xproxyCurrentClient->index : 0; }

class ColourTest : public CoreRequestTest, public ::testing::WithParamInterface<ColourCase> {
 protected:
  HarnessOptions options() const override { return {GetParam().screens, GetParam().emulation, {}}; }
  void SetUp() override {
    bigOrder = GetParam().big;
    xemulationSetClientIndexFunction(ownerIndex);
    CoreRequestTest::SetUp();
  }
  void TearDown() override {
    CoreRequestTest::TearDown();
    xemulationSetClientIndexFunction(nullptr);
  }
  uint32_t pseudoColorVisual() const {
    for (uint32_t k = 0; k < screen->visualCount; k++)
      if (screen->visuals[k].visualClass == PseudoColor && screen->visuals[k].depth == 8)
        return screen->visuals[k].visualId;
    return 0;
  }
};

TEST_P(ColourTest, ScriptMatchesADirectServerAndEveryHeadHoldsTheColours) {
  uint32_t visual = pseudoColorVisual();
  ASSERT_NE(visual, 0u);
  Exchange exchange = [&](const Bytes &request) {
    send(request);
    return messages();
  };
  std::vector<uint32_t> pixels;
  ScriptIds ids{screen->root, visual, clientId(1), clientId(2)};
  std::string proxied = colourScript(big(), ids, exchange, &pixels);
  std::string direct = directReport(big());
  EXPECT_EQ(proxied, direct);
  // Every head's real colormap of the copy holds the stored and allocated colours at the
  // head's own pixel.
  auto *shadow = static_cast<ColormapShadow *>(resourceLookupByType(clientId(2), kResourceColormap));
  ASSERT_NE(shadow, nullptr);
  const uint16_t expected[][3] = {{0xffff, 0, 0}, {0x7777, 0x8888, 0x9999}, {0, 0, 0xffff}};
  for (Head *head : heads) {
    SCOPED_TRACE(head->screen);
    for (size_t k = 0; k < pixels.size(); k++) {
      XColor colour{};
      colour.pixel = xproxyPixelToServer(pixels[k], shadow->visual, head);
      static int errors;
      errors = 0;
      auto *previous = XSetErrorHandler([](Display *, XErrorEvent *) { return ++errors, 0; });
      XQueryColors(judge, resourceServerId(clientId(2), kResourceColormap, head), &colour, 1);
      XSync(judge, False);
      XSetErrorHandler(previous);
      EXPECT_EQ(errors, 0);
      EXPECT_EQ(colour.red >> 8, expected[k][0] >> 8) << k;
      EXPECT_EQ(colour.green >> 8, expected[k][1] >> 8) << k;
      EXPECT_EQ(colour.blue >> 8, expected[k][2] >> 8) << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Screens, ColourTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Two 8-bit heads, both byte orders.
class ColormapTest : public CoreRequestOrderTest {
 protected:
  HarnessOptions options() const override { return {{"320x240x8", "320x240x8"}, 0, {}}; }
  uint32_t rootVisual() const { return screen->rootVisual->visualId; }
  Bytes createColormap(uint32_t id, uint32_t visual, uint32_t alloc = 0) {
    return Request(big()).b(kCreateColormap).b(alloc).s(0).i(id).i(screen->root).i(visual).done();
  }
};

TEST_P(ColormapTest, RefusalsAnswerWithTheirCodeAndValue) {
  uint32_t cmap = clientId(1), unknown = clientId(0x77);
  send(createColormap(cmap, rootVisual()));
  ASSERT_TRUE(messages().empty());
  struct Case {
    const char *name;
    Bytes request;
    uint8_t code;
    uint32_t badValue;
  };
  std::vector<Case> cases = {
      {"CreateColormap invalid visual", createColormap(clientId(2), 0x1234567), 2, 0x1234567},
      {"CreateColormap invalid alloc", createColormap(clientId(2), rootVisual(), 2), 2, 2},
      {"CreateColormap used id", createColormap(cmap, rootVisual()), 14, cmap},
      {"CreateColormap not a window", Request(big()).b(kCreateColormap).b(0).s(0).i(clientId(2)).i(unknown).i(rootVisual()).done(),
       3, unknown},
      {"CreateColormap short", Request(big()).b(kCreateColormap).b(0).s(0).i(clientId(2)).i(screen->root).done(), 16, 12},
      {"FreeColormap unknown", Request(big()).b(kFreeColormap).b(0).s(0).i(unknown).done(), 12, unknown},
      {"CopyColormapAndFree unknown source", Request(big()).b(kCopyColormapAndFree).b(0).s(0).i(clientId(3)).i(unknown).done(),
       12, unknown},
      {"AllocColor unknown", Request(big()).b(kAllocColor).b(0).s(0).i(unknown).s(1).s(2).s(3).s(0).done(), 12, unknown},
      {"AllocNamedColor name past the end",
       Request(big()).b(kAllocNamedColor).b(0).s(0).i(cmap).s(9).s(0).text("red").done(), 16, 16},
      {"StoreColors partial item", Request(big()).b(kStoreColors).b(0).s(0).i(cmap).i(0).i(0).done(), 16, 16},
      {"QueryColors unknown", Request(big()).b(kQueryColors).b(0).s(0).i(unknown).i(0).done(), 12, unknown},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    expectError(c.request, c.code, c.badValue);
  }
  EXPECT_EQ(resourceLookupAny(clientId(2)), nullptr);
  EXPECT_EQ(resourceLookupAny(clientId(3)), nullptr);
}

TEST_P(ColormapTest, DefaultColormapOutlivesItsFreeAndIsNeverListedAsTheRealOne) {
  uint32_t defaultMap = screen->defaultColormap;
  send(Request(big()).b(kFreeColormap).b(0).s(0).i(defaultMap).done());
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(logged("No effect for default colormap in"));
  send(Request(big()).b(kAllocColor).b(0).s(0).i(defaultMap).s(0xffff).s(0).s(0).s(0).done());
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 1);
  EXPECT_EQ(u16(m[0], 8), 0xffffu);

  // Installed: the meta screen's default colormap (the heads' own colormaps stand for it) and
  // a client colormap; no head's real default colormap.
  uint32_t cmap = clientId(4);
  send(createColormap(cmap, rootVisual()));
  send(Request(big()).b(81).b(0).s(0).i(cmap).done());
  send(Request(big()).b(kListInstalled).b(0).s(0).i(screen->root).done());
  m = messages();
  ASSERT_EQ(m.size(), 1u);
  uint32_t n = u16(m[0], 8);
  ASSERT_EQ(m[0].size(), 32 + 4 * size_t(n));
  EXPECT_EQ(u32(m[0], 4), n);
  bool sawClient = false;
  for (uint32_t k = 0; k < n; k++) {
    uint32_t id = u32(m[0], 32 + 4 * k);
    for (Head *h : heads) EXPECT_NE(id, uint32_t(h->defaultColormap));
    EXPECT_NE(resourceLookupByType(id, kResourceColormap), nullptr) << std::hex << id;
    sawClient = sawClient || id == cmap;
  }
  EXPECT_TRUE(sawClient);
}

TEST_P(ColormapTest, StaticColormapsRefuseStores) {
  uint32_t staticVisual = 0;
  for (uint32_t k = 0; k < screen->visualCount; k++)
    if (!(screen->visuals[k].visualClass & 1) && screen->visuals[k].depth == 8) staticVisual = screen->visuals[k].visualId;
  ASSERT_NE(staticVisual, 0u);
  uint32_t cmap = clientId(5);
  send(createColormap(cmap, staticVisual));
  ASSERT_TRUE(messages().empty());
  uint32_t sent = connection->requestsSent;
  send(Request(big()).b(kStoreColors).b(0).s(0).i(cmap).i(0).s(1).s(2).s(3).b(7).b(0).done());
  send(Request(big()).b(kStoreNamedColor).b(7).s(0).i(cmap).i(0).s(3).s(0).text("red").done());
  EXPECT_EQ(connection->requestsSent - sent, 2u);  // only the round trips of the local errors
  auto m = messages();
  ASSERT_EQ(m.size(), 2u);
  for (const Bytes &e : m) EXPECT_EQ(e[1], 10);
}

TEST_P(ColormapTest, AnAllocationThatCannotBeRepeatedOnAnotherHeadIsBadAlloc) {
  uint32_t cmap = clientId(6);
  send(createColormap(cmap, rootVisual()));
  ASSERT_TRUE(messages().empty());
  // Another client takes every free cell of the second head's copy of the colormap.
  Colormap second = resourceServerId(cmap, kResourceColormap, heads[1]);
  std::vector<unsigned long> cells(256);
  int got = 0;
  for (unsigned n = 256; n > 0 && !got; n--)
    if (XAllocColorCells(judge, second, False, nullptr, 0, cells.data(), n)) got = int(n);
  XSync(judge, False);
  ASSERT_GT(got, 0);
  send(Request(big()).b(kAllocColor).b(0).s(0).i(cmap).s(0x1000).s(0x2000).s(0x3000).s(0).done());
  uint32_t sequence = client->sequence;
  auto m = messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0][0], 0);
  EXPECT_EQ(m[0][1], 11);
  EXPECT_EQ(u16(m[0], 2), sequence & 0xffff);
  EXPECT_EQ(m[0][10], kAllocColor);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ColormapTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
}  // namespace corerequests
