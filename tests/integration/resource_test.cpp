// Id mapping, shared pixmaps and colour replication against an Xvfb with two PseudoColor
// screens and one TrueColor screen, opened as heads. Fake clients are a slot with a raw
// connection of their own whose id base is recorded as the connection setup would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/misc.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xdisplay.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "proxy/xvisual.h"
#include "rawclient_fixture.h"
#include "xclient/xtarget.h"
#include "xvfb_fixture.h"

namespace {

class ResourceDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XvfbOptions options;
    options.screens = {"640x480x8", "640x480x8", "640x480x24"};
    options.extraArguments = {"-nolisten", "tcp"};
    // Not display 0: without listeners the proxy's own display number counts as 0.
    options.displayNumber = xvfbUnusedDisplayNumber();
    ASSERT_EQ(xvfb.start(options), "");
    mainSetStartLimits();
    // Three heads on one display: two bits number them, so a client keeps 19 bits.
    proxyState.idMask = 0x7ffff;
    proxyState.idShift = 19;
    ASSERT_EQ(resourceInitClient(0), 1);
  }
  void TearDown() override {
    for (auto &c : clients) {
      c.raw->close();
      resourceFreeAllOfClient(c.record->index);
      free(c.record);
    }
    clients.clear();
    xproxyCurrentClient = nullptr;
    resourceFreeIdBases();
    // The test's table is a shallow copy of a head's visual: freed here, not by xscreenFreeAll.
    for (MetaScreen *ms = xscreenList; ms; ms = ms->next) {
      free(ms->visuals);
      ms->visuals = nullptr;
      ms->visualCount = 0;
    }
    xscreenFreeAll();
    while (mainServerDisplays) mainFreeServerDisplay(mainServerDisplays);
    proxyState.idMask = kResourceDefaultIdMask;
    proxyState.idShift = kResourceDefaultIdShift;
  }

  // Opens the screens as heads of one new meta screen, with a one-visual table (the first
  // head's default visual) mapped on each head, and the display's id layout.
  MetaScreen *openScreen(std::vector<int> screens) {
    MetaScreen *ms = xscreenNew();
    for (int s : screens) {
      int status = 0;
      const char *error = nullptr;
      std::string name = ":" + std::to_string(xvfb.displayNumber()) + "." + std::to_string(s);
      Head *head = mainOpenHead(name.c_str(), ms, 10000, 0, 0, &status, &error);
      EXPECT_NE(head, nullptr) << (error ? error : "");
      if (!head) return ms;
      heads.push_back(head);
    }
    Head *first = ms->heads;
    uint32_t defaultId = uint32_t(XVisualIDFromVisual(DefaultVisual(first->display, first->screen)));
    ms->visuals = static_cast<VisualRecord *>(calloc(1, sizeof(VisualRecord)));
    ms->visualCount = 1;
    *ms->visuals = *xvisualFindById(first->visuals, first->visualCount, defaultId);
    ms->rootVisual = ms->visuals;
    for (Head *h = ms->heads; h; h = h->next) {
      h->visualMap = static_cast<VisualRecord **>(calloc(1, sizeof(VisualRecord *)));
      uint32_t id = uint32_t(XVisualIDFromVisual(DefaultVisual(h->display, h->screen)));
      h->visualMap[0] = xvisualFindById(h->visuals, h->visualCount, id);
    }
    ServerDisplay *d = ms->heads->serverDisplay;
    d->lowestBit = 0;
    d->headBitsMask = 0x3;
    d->idShift = 2;
    d->freeBitsMask = (0x1fffffffu & ~0x1fffffu) | 0x3;
    ms->defaultColormap = ++proxyXidCounter;
    return ms;
  }

  struct FakeClient {
    ClientConnection *record;
    std::unique_ptr<RawClient> raw;
  };
  // A client slot with its own raw connection; the id base is recorded for every head.
  FakeClient &newClient() {
    FakeClient c{static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection))), std::make_unique<RawClient>()};
    c.record->index = resourceFreeClientSlot();
    c.record->fd = -1;
    EXPECT_EQ(resourceInitClient(c.record->index), 1);
    EXPECT_EQ(c.raw->connect(xvfb.displayNumber(), 'l'), "");
    for (Head *h : heads) resourceSetScreenIdBase(c.record->index, h, c.raw->idBase());
    clients.push_back(std::move(c));
    return clients.back();
  }
  uint32_t idOf(const FakeClient &c, uint32_t own) { return (c.record->index << resourceIdShift()) | own; }

  // Errors the raw connection got so far (after a round trip).
  static std::vector<int> errors(RawClient &raw) {
    std::vector<int> codes;
    EXPECT_EQ(raw.send(RawRequest(false).b(43).b(0).s(1).done()), "");  // GetInputFocus
    for (;;) {
      RawBytes m;
      if (!raw.read(m).empty()) {
        ADD_FAILURE() << "no answer";
        break;
      }
      if (m[0] == 0) codes.push_back(m[1]);
      if (m[0] == 1 && rawGet16(m, 2, false) == raw.sequence()) break;
    }
    return codes;
  }

  // Free cells of a colormap, counted by another connection that takes them all and closes.
  int freeCells(Head *head, Colormap colormap) {
    Display *d = XOpenDisplay(xvfb.displayName().c_str());
    EXPECT_NE(d, nullptr);
    unsigned long *pixels = nullptr;
    int count = 0;
    EXPECT_EQ(xdisplayAllocCells(d, colormap ? colormap : DefaultColormap(d, head->screen), &pixels, &count),
              nullptr);
    free(pixels);
    XCloseDisplay(d);
    return count;
  }
  static bool cellIsFree(Display *d, Colormap colormap, unsigned long pixel) {
    unsigned long *pixels = nullptr;
    int count = 0;
    xdisplayAllocCells(d, colormap, &pixels, &count);
    bool found = false;
    for (int i = 0; i < count; i++) found |= pixels[i] == pixel;
    XFreeColors(d, colormap, pixels, count, 0);
    free(pixels);
    XSync(d, False);
    return found;
  }
  static XColor query(Head *head, unsigned long pixel) {
    XColor c{};
    c.pixel = pixel;
    XQueryColor(head->display, head->defaultColormap, &c);
    return c;
  }

  XvfbServer xvfb;
  std::vector<Head *> heads;
  std::deque<FakeClient> clients;  // references stay valid as clients are added
};

RawBytes createPixmap(uint32_t pixmap, uint32_t drawable, unsigned depth) {
  return RawRequest(false).b(53).b(depth).s(4).i(pixmap).i(drawable).s(8).s(8).done();
}
RawBytes createGC(uint32_t gc, uint32_t drawable, uint32_t foreground) {
  return RawRequest(false).b(55).b(0).s(5).i(gc).i(drawable).i(0x4).i(foreground).done();
}
RawBytes createWindow(uint32_t window, uint32_t parent) {
  return RawRequest(false).b(1).b(0).s(8).i(window).i(parent).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0).done();
}

// Every head accepts the ids the mapping makes for a client, each head gets its own, and
// destroy-everywhere removes them on every head.
TEST_F(ResourceDisplayTest, IdsAreAcceptedOnEveryHeadAndDestroyedEverywhere) {
  MetaScreen *ms = openScreen({0, 1, 2});
  ASSERT_EQ(heads.size(), 3u);
  FakeClient &c = newClient();
  std::set<uint32_t> serverIds;
  std::vector<uint32_t> pixmaps, gcs, windows;
  for (Head *h : heads) {
    uint32_t pixmap = resourceServerId(idOf(c, 1), kResourcePixmap, h);
    uint32_t gc = resourceServerId(idOf(c, 2), kResourceGC, h);
    uint32_t window = resourceServerId(idOf(c, 0x7ffff), kResourceWindow, h);
    ASSERT_EQ(c.raw->send(createPixmap(pixmap, uint32_t(h->root), h->depth)), "");
    ASSERT_EQ(c.raw->send(createGC(gc, pixmap, 1)), "");
    ASSERT_EQ(c.raw->send(createWindow(window, uint32_t(h->root))), "");
    pixmaps.push_back(pixmap);
    gcs.push_back(gc);
    windows.push_back(window);
    serverIds.insert({pixmap, gc, window});
    EXPECT_EQ(resourceServerToClientId(window, h->serverDisplay), idOf(c, 0x7ffff));
  }
  EXPECT_EQ(errors(*c.raw), std::vector<int>{}) << "no BadIDChoice";
  EXPECT_EQ(serverIds.size(), 9u);

  ASSERT_NE(resourceCreatePixmap(idOf(c, 1), ms, nullptr, 8, 8, 8), nullptr);
  auto *gc = static_cast<GCRecord *>(calloc(1, sizeof(GCRecord)));
  gc->screen = ms;
  ASSERT_EQ(resourceAdd(idOf(c, 2), kResourceGC, gc), 1);
  ASSERT_NE(windowCreateRecord(idOf(c, 0x7ffff), ms, nullptr), nullptr);
  for (uint32_t own : {1u, 2u, 0x7ffffu}) resourceDestroyEverywhere(idOf(c, own));
  EXPECT_EQ(resourceTableOf(c.record->index)->elements, 0u);

  RawClient other;
  ASSERT_EQ(other.connect(xvfb.displayNumber(), 'l'), "");
  for (size_t i = 0; i < heads.size(); i++) {
    RawBytes answer;
    for (uint32_t drawable : {pixmaps[i], windows[i]}) {
      ASSERT_EQ(other.roundTrip(RawRequest(false).b(14).b(0).s(2).i(drawable).done(), answer), "");
      EXPECT_EQ(answer[0], 0) << "drawable 0x" << std::hex << drawable << " still exists";
    }
    ASSERT_EQ(other.send(RawRequest(false).b(56).b(0).s(3).i(gcs[i]).i(0).done()), "");  // ChangeGC
    EXPECT_EQ(errors(other), std::vector<int>{13}) << "BadGC for a freed GC";
  }
}

// Copies of a shared pixmap keep its pixels when the owner's connection goes.
TEST_F(ResourceDisplayTest, SharedPixmapCopiesOutliveTheOwner) {
  MetaScreen *ms = openScreen({0, 1});
  ASSERT_EQ(heads.size(), 2u);
  FakeClient &owner = newClient();
  FakeClient &user = newClient();
  for (Head *h : heads) {
    uint32_t pixmap = resourceServerId(idOf(owner, 1), kResourcePixmap, h);
    uint32_t gc = resourceServerId(idOf(owner, 2), kResourceGC, h);
    ASSERT_EQ(owner.raw->send(createPixmap(pixmap, uint32_t(h->root), 8)), "");
    ASSERT_EQ(owner.raw->send(createGC(gc, pixmap, 5)), "");
    ASSERT_EQ(owner.raw->send(RawRequest(false).b(70).b(0).s(5).i(pixmap).i(gc).s(0).s(0).s(8).s(8).done()), "");
  }
  ASSERT_EQ(errors(*owner.raw), std::vector<int>{});
  PixmapRecord *pixmap = resourceCreatePixmap(idOf(owner, 1), ms, ms->rootVisual, 8, 8, 8);
  ASSERT_NE(pixmap, nullptr);
  resourceSharePixmap(pixmap, idOf(user, 1), nullptr);
  int copies = 0;
  for (PixmapCopy *c = pixmap->copies; c; c = c->next) copies++;
  EXPECT_EQ(copies, 2);
  owner.raw->close();
  resourceFreeAllOfClient(owner.record->index);  // the pixmap is an orphan now
  ASSERT_EQ(resourceFindOrphanPixmap(idOf(owner, 1)), pixmap);
  EXPECT_EQ(pixmap->ownerCopiesValid, 0);
  for (Head *h : heads) {
    uint32_t drawable = resourcePixmapServerId(pixmap, h);
    XtargetErrorTrap trap(h->display);
    XImage *image = XGetImage(h->display, drawable, 0, 0, 8, 8, ~0ul, ZPixmap);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(XGetPixel(image, 3, 3), 5ul);
    XDestroyImage(image);
  }
  resourceFreePixmap(pixmap, 0);
  EXPECT_EQ(proxyState.orphanPixmaps, nullptr);
}

// Colours allocated on the primary head are repeated on the other head at the same pixel, with
// the free cells counted by another connection.
TEST_F(ResourceDisplayTest, ColourReplicationKeepsPixelsAndCounts) {
  MetaScreen *ms = openScreen({0, 1});
  ASSERT_EQ(heads.size(), 2u);
  Head *primary = heads[0], *other = heads[1];
  ASSERT_EQ(ms->primaryHead, primary);
  FakeClient &c = newClient();
  ColormapShadow *shadow = resourceCreateColormap(nullptr, ms->defaultColormap, ms, ms->rootVisual, 0);
  ASSERT_NE(shadow, nullptr);
  Display *client = XOpenDisplay(xvfb.displayName().c_str());  // the client's own requests
  ASSERT_NE(client, nullptr);
  Colormap cm0 = DefaultColormap(client, 0), cm1 = DefaultColormap(client, 1);
  // The colour sits in another cell on the other head already.
  XColor dummy{0, 0x1000, 0x2000, 0x3000, 7, 0}, x{0, 0x8000, 0x4000, 0x2000, 7, 0}, held = x;
  ASSERT_TRUE(XAllocColor(client, cm0, &dummy));
  ASSERT_TRUE(XAllocColor(client, cm1, &held));
  XColor onPrimary = x;
  ASSERT_TRUE(XAllocColor(client, cm0, &onPrimary));
  ASSERT_NE(onPrimary.pixel, held.pixel);
  int start = freeCells(other, cm1);

  ResourceColor colour{uint32_t(onPrimary.pixel), x.red, x.green, x.blue, 7};
  EXPECT_EQ(resourceAddColor(c.record, shadow, &colour), 1);
  XColor got = query(other, onPrimary.pixel);
  EXPECT_NEAR(got.red, x.red, 0x400);
  EXPECT_NEAR(got.green, x.green, 0x400);
  EXPECT_NEAR(got.blue, x.blue, 0x400);
  EXPECT_EQ(freeCells(other, cm1), start - 1);
  // A colour the other head has nowhere: the same pixel, one cell more.
  XColor y{0, 0x1234, 0x5678, 0x9abc, 7, 0};
  ASSERT_TRUE(XAllocColor(client, cm0, &y));
  ResourceColor second{uint32_t(y.pixel), y.red, y.green, y.blue, 7};
  EXPECT_EQ(resourceAddColor(c.record, shadow, &second), 1);
  EXPECT_EQ(query(other, y.pixel).green, y.green);
  EXPECT_EQ(freeCells(other, cm1), start - 2);

  // StoreColors naming a read-only pixel changes nothing and raises no error.
  XColor before0 = query(primary, y.pixel), before1 = query(other, y.pixel);
  {
    XtargetErrorTrap trap(other->display);
    ResourceColor red{uint32_t(y.pixel), 0xffff, 0, 0, 7};
    resourceStoreColors(shadow, &red, 1);
    EXPECT_EQ(trap.errorCame(), 0);
  }
  EXPECT_EQ(query(primary, y.pixel).red, before0.red);
  EXPECT_EQ(query(other, y.pixel).red, before1.red);
  // A read-write cell is stored on the other head too.
  unsigned long rw = 0;
  ASSERT_TRUE(XAllocColorCells(client, cm0, False, nullptr, 0, &rw, 1));
  uint32_t rwPixel = uint32_t(rw);
  EXPECT_EQ(resourceAddColorCells(c.record, shadow, &rwPixel, 1, nullptr, 0), 1);
  EXPECT_FALSE(cellIsFree(other->display, other->defaultColormap, rw));
  ResourceColor blue{rwPixel, 0, 0, 0xffff, 7};
  resourceStoreColors(shadow, &blue, 1);
  XSync(other->display, False);
  EXPECT_EQ(query(other, rw).blue, 0xffff);

  // A colour allocated twice is held twice: the first FreeColors keeps the cell.
  XColor z{0, 0x4444, 0x4444, 0xeeee, 7, 0};
  ASSERT_TRUE(XAllocColor(client, cm0, &z));
  ResourceColor twice{uint32_t(z.pixel), z.red, z.green, z.blue, 7};
  EXPECT_EQ(resourceAddColor(c.record, shadow, &twice), 1);
  EXPECT_EQ(resourceAddColor(c.record, shadow, &twice), 1);
  int held2 = freeCells(other, cm1);
  resourceFreeColormapCells(c.record, shadow, &twice.pixel, 1, 0);
  EXPECT_EQ(freeCells(other, cm1), held2);
  resourceFreeColormapCells(c.record, shadow, &twice.pixel, 1, 0);
  EXPECT_EQ(freeCells(other, cm1), held2 + 1);

  // The client's close gives every cell back on the other head.
  resourceFreeClientCells(c.record);
  EXPECT_EQ(freeCells(other, cm1), start);
  EXPECT_EQ(shadow->cellCount, 0u);

  // Cells at a wanted pixel: a taken one fails and takes nothing; a free one is had.
  Colormap own1 = other->defaultColormap;
  const unsigned long taken = held.pixel;
  EXPECT_EQ(miscAllocColorCells(other->display, own1, &taken, 1, nullptr, 0), 0);
  EXPECT_EQ(freeCells(other, cm1), start);
  const unsigned long high = 250;
  EXPECT_EQ(miscAllocColorCells(other->display, own1, &high, 1, nullptr, 0), 1);
  EXPECT_EQ(freeCells(other, cm1), start - 1);
  XFreeColors(other->display, own1, const_cast<unsigned long *>(&high), 1, 0);
  XSync(other->display, False);
  EXPECT_EQ(freeCells(other, cm1), start);
  XCloseDisplay(client);
}

// Black and white come from the first of equal heads, are the screen's own where allocation
// fails, and every head root is a head-root record of slot 0.
TEST_F(ResourceDisplayTest, AdjustColorsAndHeadRoots) {
  MetaScreen *ms = openScreen({0, 1});
  ASSERT_EQ(heads.size(), 2u);
  for (Head *h : heads) {
    void *value = nullptr;
    EXPECT_EQ(resourceLookupIdType(h->clientRoot, &value), kResourceHeadRoot);
    EXPECT_EQ(value, h);
    EXPECT_EQ(h->clientRoot >> resourceIdShift(), 0u);
  }
  // A colormap whose black and white land at 2 and 3.
  Head *a = heads[0], *b = heads[1];
  auto shifted = [](Head *h) {
    Colormap cm = XCreateColormap(h->display, h->root, DefaultVisual(h->display, h->screen), AllocNone);
    for (unsigned short v : {0x1111, 0x2222}) {
      XColor c{0, v, v, v, 7, 0};
      XAllocColor(h->display, cm, &c);
    }
    return cm;
  };
  ms->primaryHead = nullptr;  // both heads score alike
  a->shadowColormap = shifted(a);
  xscreenAdjustColors(ms);
  EXPECT_EQ(ms->blackPixel, 2u);
  EXPECT_EQ(ms->whitePixel, 3u);
  Colormap aSpecial = a->shadowColormap;
  a->shadowColormap = 0;
  b->shadowColormap = shifted(b);
  xscreenAdjustColors(ms);
  EXPECT_EQ(ms->blackPixel, uint32_t(BlackPixel(a->display, a->screen)));
  EXPECT_EQ(ms->whitePixel, uint32_t(WhitePixel(a->display, a->screen)));
  // A full colormap: the screen's own pixels.
  XFreeColormap(a->display, aSpecial);
  XFreeColormap(b->display, b->shadowColormap);
  b->shadowColormap = 0;
  a->shadowColormap = XCreateColormap(a->display, a->root, DefaultVisual(a->display, a->screen), AllocAll);
  ms->blackPixel = 77;
  ms->whitePixel = 78;
  xscreenAdjustColors(ms);
  EXPECT_EQ(ms->blackPixel, uint32_t(BlackPixel(a->display, a->screen)));
  EXPECT_EQ(ms->whitePixel, uint32_t(WhitePixel(a->display, a->screen)));
  XFreeColormap(a->display, a->shadowColormap);
  a->shadowColormap = 0;
  EXPECT_NE(ms->maxInstalledMaps, 0xffffffffu);
}

}  // namespace
