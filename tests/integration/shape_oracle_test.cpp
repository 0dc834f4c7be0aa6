// SHAPE against the real server, in-process: a seeded run of shape requests (every operation,
// kind and ordering, masks from a bitmap and None, combines, offsets, values the server
// refuses) on bordered windows of the two-head harness, with resizes and border changes in
// between. After each request every window's three shapes in the proxy's tree are what the
// primary head's server reports, and a kind the proxy keeps unshaped is unshaped there (the
// server's shaped flags, and its listing of an unshaped kind).
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/head.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"
#include "proxy/xproxyext.h"
#include "proxy/xscreen.h"
#include "xclient/region.h"
#include "xclient/xutilh.h"
#include "xext/ext.h"
#include "xext/shape.h"
#include "twohead_fixture.h"

namespace {

// A region's canonical text: its horizontal bands (adjacent equal bands joined), each with its
// merged x spans. Two lists of rectangles give the same text exactly when they cover the same
// pixels, whatever their order and cut.
std::string canonical(const std::vector<XRectangle> &list) {
  std::set<int> edges;
  for (const XRectangle &r : list)
    if (r.width && r.height) edges.insert({r.y, r.y + int(r.height)});
  std::vector<int> ys(edges.begin(), edges.end());
  std::string out, previous;
  int bandTop = 0, bandBottom = 0;
  auto flush = [&] {
    if (!previous.empty()) out += std::to_string(bandTop) + ".." + std::to_string(bandBottom) + ":" + previous + ";";
  };
  for (size_t k = 0; k + 1 < ys.size(); k++) {
    std::vector<std::pair<int, int>> spans;
    for (const XRectangle &r : list)
      if (r.width && r.height && r.y <= ys[k] && r.y + int(r.height) >= ys[k + 1])
        spans.push_back({r.x, r.x + int(r.width)});
    std::sort(spans.begin(), spans.end());
    std::string text;
    for (size_t i = 0; i < spans.size();) {
      int from = spans[i].first, to = spans[i].second;
      for (i++; i < spans.size() && spans[i].first <= to; i++) to = std::max(to, spans[i].second);
      text += std::to_string(from) + "-" + std::to_string(to) + ",";
    }
    if (!text.empty() && text == previous && bandBottom == ys[k]) {
      bandBottom = ys[k + 1];
      continue;
    }
    flush();
    previous = text;
    bandTop = ys[k], bandBottom = ys[k + 1];
  }
  flush();
  return out.empty() ? "empty" : out;
}

class ShapeOracle : public TwoHeadTest {
 protected:
  void installHandlers() override {
    int event = 0, error = 0;
    ASSERT_TRUE(XQueryExtension(judge, "SHAPE", &major, &event, &error));
    ExtensionRecord *record = xproxyInitExtension("SHAPE", 0, uint8_t(major), uint8_t(event), uint8_t(error));
    ASSERT_TRUE(record && record->name);
  }
  void TearDown() override {
    extResetAll();
    TwoHeadTest::TearDown();
  }

  RawRequest shape(uint8_t minor) {
    RawRequest r = request();
    r.b(uint8_t(major)).b(minor).s(0);
    return r;
  }
  WindowRecord *lookup(uint32_t id) {
    xproxyCurrentClient = client;
    auto *window = static_cast<WindowRecord *>(resourceLookupWindow(id));
    xproxyCurrentClient = nullptr;
    return window;
  }
  // The proxy's shape of the kind and the primary head's, both as canonical text, and whether
  // the server keeps the bounding and clip kinds shaped.
  std::string proxyShape(WindowRecord *window, int kind) {
    Region *region = shapeCurrent(window, kind);
    if (!region) return "no region";
    long n = 0;
    XRectangle *r = regionGetRects(region, &n);
    std::vector<XRectangle> list(r, r + n);
    free(r);
    regionDestroy(region);
    return canonical(list);
  }
  std::string serverShape(Window real, int kind) {
    int count = 0, ordering = 0;
    XRectangle *r = XShapeGetRectangles(judge, real, kind, &count, &ordering);
    std::vector<XRectangle> list(r, r + std::max(count, 0));
    if (r) XFree(r);
    return canonical(list);
  }

  int major = 0;
};

TEST_P(ShapeOracle, SeededRequestsKeepTheTreeAsTheServer) {
  std::mt19937 random(39 + GetParam());
  auto pick = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
  // Three bordered top-level windows on the first head, mapped.
  std::vector<uint32_t> ids;
  for (int n = 0; n < 3; n++) {
    uint32_t id = clientId(uint32_t(1 + n));
    send(request().b(1).b(0).s(0).i(id).i(screen->root).s(uint16_t(20 + 60 * n)).s(uint16_t(20 + 30 * n))
             .s(uint16_t(40 + 10 * n)).s(30).s(uint16_t(2 * n + 1)).s(1).i(0).i(0).done());
    send(request().b(8).b(0).s(0).i(id).done());
    ids.push_back(id);
  }
  // A 16x16 bitmap: cleared, then two rectangles set.
  uint32_t bitmap = clientId(10), gc = clientId(11);
  send(request().b(53).b(1).s(0).i(bitmap).i(screen->root).s(16).s(16).done());
  send(request().b(55).b(0).s(0).i(gc).i(bitmap).i(4).i(0).done());
  send(request().b(70).b(0).s(0).i(bitmap).i(gc).s(0).s(0).s(16).s(16).done());
  send(request().b(56).b(0).s(0).i(gc).i(4).i(1).done());
  send(request().b(70).b(0).s(0).i(bitmap).i(gc).s(1).s(2).s(6).s(5).s(8).s(6).s(7).s(9).done());
  ASSERT_EQ(messages().size(), 0u);
  Head *primary = screen->primaryHead ? screen->primaryHead : screen->heads;
  std::string history;
  for (int step = 0; step < 500; step++) {
    uint32_t id = ids[size_t(pick(0, 2))];
    int op = pick(0, 19) ? pick(0, 4) : 5, kind = pick(0, 29) ? pick(0, 2) : 3;
    int dx = pick(-8, 8), dy = pick(-8, 8);
    int what = pick(0, 9);
    std::string line = std::to_string(step) + ": window " + std::to_string(id & 0xff) + " " +
                       std::to_string(dx) + "," + std::to_string(dy) + " ";
    if (what < 5) {
      // Rectangles, in the order they claim most of the time.
      int ordering = pick(0, 3), count = pick(0, 4);
      std::vector<XRectangle> list;
      if (ordering == 3) {
        int y = pick(-10, 30), height = pick(1, 15), x = pick(-10, 10);
        for (int k = 0; k < count; k++, x += pick(1, 10)) {
          XRectangle r{int16_t(x), int16_t(y), uint16_t(pick(1, 12)), uint16_t(height)};
          x += r.width;
          list.push_back(r);
        }
      } else {
        for (int k = 0; k < count; k++)
          list.push_back({int16_t(pick(-10, 50)), int16_t(pick(-10, 40)), uint16_t(pick(1, 30)), uint16_t(pick(1, 25))});
        if (ordering && pick(0, 5))
          std::sort(list.begin(), list.end(), [&](const XRectangle &a, const XRectangle &b) {
            return a.y != b.y ? a.y < b.y : ordering == 2 && a.x < b.x;
          });
      }
      RawRequest r = shape(1);
      r.b(uint8_t(op)).b(uint8_t(kind)).b(uint8_t(ordering)).b(0).i(id).s(uint16_t(dx)).s(uint16_t(dy));
      for (const XRectangle &x : list) r.s(uint16_t(x.x)).s(uint16_t(x.y)).s(x.width).s(x.height);
      send(r.done());
      line += "rectangles op " + std::to_string(op) + " kind " + std::to_string(kind) + " ordering " +
              std::to_string(ordering) + " n " + std::to_string(count);
    } else if (what == 5) {
      uint32_t source = pick(0, 3) ? bitmap : 0;
      send(shape(2).b(uint8_t(op)).b(uint8_t(kind)).s(0).i(id).s(uint16_t(dx)).s(uint16_t(dy)).i(source).done());
      line += "mask op " + std::to_string(op) + " kind " + std::to_string(kind) + (source ? " bitmap" : " none");
    } else if (what == 6) {
      uint32_t from = ids[size_t(pick(0, 2))];
      int sourceKind = pick(0, 2);
      send(shape(3).b(uint8_t(op)).b(uint8_t(kind)).b(uint8_t(sourceKind)).b(0).i(id).s(uint16_t(dx)).s(uint16_t(dy))
               .i(from).done());
      line += "combine op " + std::to_string(op) + " kind " + std::to_string(kind) + " from kind " +
              std::to_string(sourceKind);
    } else if (what == 7) {
      send(shape(4).b(uint8_t(kind)).b(0).s(0).i(id).s(uint16_t(dx)).s(uint16_t(dy)).done());
      line += "offset kind " + std::to_string(kind);
    } else {
      // A resize, and now and then a new border width.
      bool border = pick(0, 2) == 0;
      RawRequest r = request();
      r.b(12).b(0).s(0).i(id).s(border ? 0x1c : 0x0c).s(0).i(uint32_t(pick(10, 70))).i(uint32_t(pick(10, 50)));
      if (border) r.i(uint32_t(pick(0, 6)));
      send(r.done());
      line += border ? "resize with border" : "resize";
    }
    history += line + "\n";
    messages();  // the server's errors for what it refused
    for (uint32_t each : ids) {
      WindowRecord *window = lookup(each);
      ASSERT_NE(window, nullptr);
      Window real = resourceServerId(each, kResourceWindow, primary);
      Bool boundingShaped = False, clipShaped = False;
      int x = 0, y = 0;
      unsigned w = 0, h = 0;
      ASSERT_TRUE(XShapeQueryExtents(judge, real, &boundingShaped, &x, &y, &w, &h, &clipShaped, &x, &y, &w, &h));
      EXPECT_EQ(window->boundingShape != nullptr, bool(boundingShaped)) << history;
      EXPECT_EQ(window->clipShape != nullptr, bool(clipShaped)) << history;
      // An unshaped kind: the server lists its default with the border counted once on the
      // right and bottom (-bw, -bw, w + bw, h + bw; clip 0, 0, w, h), though it clips and
      // combines with the whole border.
      int b = window->borderWidth;
      XRectangle listed = {int16_t(-b), int16_t(-b), uint16_t(window->width + b), uint16_t(window->height + b)};
      const Region *own[3] = {window->boundingShape, window->clipShape, window->inputShape};
      for (int k = 0; k < 3; k++) {
        std::string expected = own[k] ? proxyShape(window, k)
                               : k == 1 ? canonical({{0, 0, window->width, window->height}})
                                        : canonical({listed});
        ASSERT_EQ(expected, serverShape(real, k)) << "kind " << k << (own[k] ? "" : " (unshaped)") << " of window "
                                                  << (each & 0xff) << " after\n" << history;
      }
    }
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, ShapeOracle, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "MsbFirst" : "LsbFirst"; });

}  // namespace
