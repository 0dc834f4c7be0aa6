#include "xext/glxswap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "msg_helpers.h"
#include "proxy/clientconnection.h"
#include "support/logging.h"
#include "xext/glxindirect.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Collects the warning lines and counts the swapper's problem reports while alive; a named client is the current one.
struct LogCapture {
  static inline std::vector<std::string> warnings;
  static inline int problems = 0;
  LogOutputHook saved;
  ClientConnection *client;
  ClientConnection *savedClient;
  LogCapture() : saved(logOutputHook), savedClient(xproxyCurrentClient) {
    static char name[] = "glxswap_test";
    static char *argv[] = {name, nullptr};
    static bool once = logInit(1, argv, "", "") == 0 || true;
    (void)once;
    warnings.clear();
    problems = 0;
    logOutputHook = [](LogChannel *channel, const char *, int, const char *text) {
      if (channel == logChannelWarning) warnings.push_back(text);
      else if (std::string(text) == "UNE") problems++;
    };
    client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
    strcpy(client->className, "gltester");
    xproxyCurrentClient = client;
  }
  ~LogCapture() {
    logOutputHook = saved;
    xproxyCurrentClient = savedClient;
    free(client);
  }
};

Bytes renderSwapped(uint32_t opcode, Bytes bytes, int direction) {
  glxSwapRenderCommand(opcode, bytes.data(), bytes.data() + bytes.size(), direction);
  return bytes;
}
Bytes vendorSwapped(uint32_t code, Bytes bytes, int direction) {
  glxSwapVendorCommand(code, bytes.data(), bytes.data() + bytes.size(), direction);
  return bytes;
}

constexpr uint32_t kFloat = 0x1406, kShort = 0x1402, kUbyte = 0x1401, kInt = 0x1404, kDouble = 0x140A;

// Well-formed data for the rows whose hand-written cases read counts; empty for plain rows.
std::function<void(Msg &)> countedData(bool render, uint32_t code) {
  if (render && code == 2)  // glCallLists: 3 GL_SHORT names
    return [](Msg &m) { m.i(3).i(kShort).s(0x0102).s(0x0304).s(0x0506).pad(2); };
  if (render && code == 193)  // 2 vertices of a short normal and a double vertex
    return [](Msg &m) {
      m.i(2).i(2).i(4).i(kShort).i(3).i(0x8075).i(kDouble).i(2).i(0x8074);
      for (int v = 0; v < 2; v++) m.s(0x0102 + v).s(0x0304).s(0x0506).pad(2).l(0x1112131415161718ull + v).l(7);
    };
  if (render && code == 300)  // 2 elements from a byte array and a float array, back to back
    return [](Msg &m) {
      m.i(0x01020304).i(0x05060708).i(2).i(2);
      m.i(kUbyte).i(3).i(1).i(2).text("fift").i(kFloat).i(1).i(3).i(4).text("h_wd");
      m.text("abcdef").i(0x01020304).i(0x05060708).pad(2);
    };
  if (render && code == 301)
    return [](Msg &m) {
      m.l(0x0102030405060708ull).i(1).i(2).i(3).i(2).i(5).i(1);
      m.i(kShort).i(3).i(1).i(2).text("fift");
      m.s(0x0102).s(0x0304).s(0x0506).s(0x0708).s(0x090a).s(0x0b0c);
    };
  if ((render && code == 253) || (!render && code == 90001))  // shader id, 2 lengths, the text
    return [](Msg &m) { m.i(0x0a0b0c0d).i(2).i(5).i(3).text("main;x=1"); };
  return nullptr;
}

// The sample data of a row: its counted form, or 8 bytes per layout letter (at least 36) of
// varied values: room for the fixed part and some pixels or items after it.
Bytes sample(bool render, const GlxSwapRow &row, bool big) {
  if (auto f = countedData(render, row.code)) return build(f, big);
  Bytes bytes(std::max<size_t>(strlen(row.layout) * 8, 36));
  for (size_t k = 0; k < bytes.size(); k++) bytes[k] = uint8_t(k * 7 + 1);
  return bytes;
}

bool swapsSomething(const char *layout) { return strpbrk(layout, "silSILH") != nullptr; }

// Every row of both tables: data from the client's order swapped and put back into it again
// gives the original bytes; a row with a multi-byte field changes them on the way.
TEST(GlxSwapTables, EveryRowTurnsBack) {
  LogCapture log;
  for (bool render : {true, false}) {
    for (const GlxSwapRow &row : render ? glxSwapRenderRows() : glxSwapVendorRows()) {
      Bytes in = sample(render, row, true);
      auto swap = [&](const Bytes &b, int d) { return render ? renderSwapped(row.code, b, d) : vendorSwapped(row.code, b, d); };
      Bytes out = swap(in, 1);
      if (swapsSomething(row.layout)) {
        EXPECT_NE(out, in) << row.code;
      } else {
        EXPECT_EQ(out, in) << row.code;
      }
      EXPECT_EQ(swap(out, -1), in) << (render ? "render " : "vendor ") << row.code;
      // The counted rows also give exactly the data built in the other order.
      if (countedData(render, row.code)) {
        EXPECT_EQ(out, sample(render, row, false)) << row.code;
      }
    }
  }
  EXPECT_TRUE(LogCapture::warnings.empty());
  EXPECT_EQ(LogCapture::problems, 0);
}

// Every prefix of every row's data, and hostile count values: nothing outside the data is read
// or written (the data sit in an allocation of their own size for the sanitizer, and between
// guard bytes for the comparison).
TEST(GlxSwapTables, PrefixesStayInside) {
  LogCapture log;
  constexpr size_t kGuard = 32;
  auto check = [&](bool render, uint32_t code, const Bytes &data, size_t length, int direction) {
    Bytes exact(data.begin(), data.begin() + length);
    Bytes guarded(kGuard + length + kGuard, 0x5a);
    std::copy(exact.begin(), exact.end(), guarded.begin() + kGuard);
    auto swap = render ? glxSwapRenderCommand : glxSwapVendorCommand;
    swap(code, exact.data(), exact.data() + exact.size(), direction);
    swap(code, guarded.data() + kGuard, guarded.data() + kGuard + length, direction);
    for (size_t k = 0; k < kGuard; k++) {
      ASSERT_EQ(guarded[k], 0x5a) << code << " length " << length;
      ASSERT_EQ(guarded[kGuard + length + k], 0x5a) << code << " length " << length;
    }
    ASSERT_TRUE(std::equal(exact.begin(), exact.end(), guarded.begin() + kGuard)) << code;
  };
  for (bool render : {true, false}) {
    for (const GlxSwapRow &row : render ? glxSwapRenderRows() : glxSwapVendorRows()) {
      for (bool big : {true, false}) {
        Bytes data = sample(render, row, big);
        for (int direction : {1, -1}) {
          for (size_t length = 0; length <= data.size(); length++) check(render, row.code, data, length, direction);
          if (!countedData(render, row.code)) continue;
          for (size_t at = 0; at + 4 <= data.size(); at += 4) {
            for (uint32_t value : {0u, 0xFFFFu, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
              Bytes hostile = data;
              memcpy(hostile.data() + at, &value, 4);
              check(render, row.code, hostile, hostile.size(), direction);
            }
          }
        }
      }
    }
  }
}

// Codes without a row: one warning line with the code, the size and the client; the data stay.
TEST(GlxSwapTables, CodesWithoutRowsAreLoggedAndLeft) {
  LogCapture log;
  Bytes data(12);
  for (size_t k = 0; k < data.size(); k++) data[k] = uint8_t(k + 1);
  for (uint32_t opcode : {0u, 4098u, 9902u}) {
    for (int direction : {1, -1}) EXPECT_EQ(renderSwapped(opcode, data, direction), data) << opcode;
    EXPECT_EQ(LogCapture::warnings.back(),
              "GLX: Unsupported render command #" + std::to_string(opcode) + " (12 bytes) to swap by gltester");
  }
  EXPECT_EQ(vendorSwapped(1309, data, 1), data);
  EXPECT_EQ(LogCapture::warnings.back(), "GLX: Unsupported vendor command #1309 (12 bytes) to swap by gltester");
  Bytes large(2048, 7);
  EXPECT_EQ(renderSwapped(4098, large, 1), large);
  EXPECT_EQ(LogCapture::warnings.back(), "GLX: Unsupported render command #4098 (2.0 KB) to swap by gltester");
  Bytes one(1, 9);
  renderSwapped(0, one, 1);
  EXPECT_EQ(LogCapture::warnings.back(), "GLX: Unsupported render command #0 (1 byte) to swap by gltester");
  EXPECT_EQ(LogCapture::warnings.size(), 9u);
}

// Commands built in the client's order become the same commands built in ours, for the
// commands whose layouts are not a plain run of one size; the other direction turns them back.
TEST(GlxSwapTables, CommandsMatchTheOtherOrder) {
  struct Case {
    bool render;
    uint32_t code;
    std::function<void(Msg &)> data;
  };
  const Case cases[] = {
      {true, 16, [](Msg &m) { m.f(0.25f).f(0.5f).f(0.75f).f(1.0f); }},  // glColor4fv
      {true, 7, [](Msg &m) { m.d64(0.1).d64(0.2).d64(0.3); }},            // glColor3dv
      {true, 11, [](Msg &m) { m.b(10).b(20).b(30).b(0); }},               // glColor3ubv
      {true, 115, [](Msg &m) { m.d64(2.5).i(0x2000).i(0x2501); }},        // glTexGend: the double first
      {true, 143, [](Msg &m) {  // glMap1d: u1, u2, target, order, then the points
         m.d64(0.0).d64(1.0).i(0x0D97).i(2).d64(1.5).d64(2.5).d64(3.5).d64(4.5).d64(5.5).d64(6.5);
       }},
      {true, 145, [](Msg &m) {  // glMap2d: u1, u2, v1, v2, target, uorder, vorder, the points
         m.d64(0.0).d64(1.0).d64(2.0).d64(3.0).i(0x0DB7).i(1).i(2).d64(8.0).d64(9.0).d64(10.0);
       }},
      {true, 173, [](Msg &m) {  // glDrawPixels: pixel header, eight fields, the pixels stay
         m.b(0).b(1).s(0).i(0).i(0).i(0).i(1).i(2).i(3).i(0x1908).i(0x1401).text("pixels!!");
       }},
      {true, 4187, [](Msg &m) { m.i(0x8620).i(1).i(1).d64(1.0).d64(2.0).d64(3.0).d64(4.0); }},
      {true, 4218, [](Msg &m) { m.i(7).i(5).f(1.0f).f(2.0f).f(3.0f).f(4.0f).text("light").pad(3); }},
      {true, 4219, [](Msg &m) { m.d64(1.0).d64(2.0).d64(3.0).d64(4.0).i(7).i(5).text("light").pad(3); }},
      {true, 193, [](Msg &m) {  // ubyte colours and float vertices, 3 vertices
         m.i(3).i(2).i(4).i(kUbyte).i(4).i(0x8076).i(kFloat).i(3).i(0x8074);
         for (int v = 0; v < 3; v++) m.b(10 + v).b(20).b(30).b(255).f(v).f(2.0f * v).f(-1.0f);
       }},
      {true, 193, [](Msg &m) {  // a 3-byte colour padded to 4, a short normal padded to 8, ints
         m.i(2).i(3).i(0).i(kUbyte).i(3).i(0x8076).i(kShort).i(3).i(0x8075).i(kInt).i(2).i(0x8074);
         for (int v = 0; v < 2; v++) m.b(1).b(2).b(3).pad(1).s(0x0102).s(0x0304).s(0x0506).pad(2).i(0x0a0b0c0d).i(v);
       }},
      {true, 2, [](Msg &m) { m.i(2).i(kFloat).f(3.0f).f(4.0f); }},  // glCallLists of float names
      {false, 90001, [](Msg &m) { m.i(0x0a0b0c0d).i(1).i(8).text("main(){}"); }},
      {false, 90036, [](Msg &m) { m.i(3).i(4); }},
      {false, 5154, [](Msg &m) { m.i(0x00400001).i(1).i(2).i(30).i(40); }},
  };
  LogCapture log;
  for (const Case &c : cases) {
    Bytes client = build(c.data, true), own = build(c.data, false);
    auto swap = [&](const Bytes &b, int d) { return c.render ? renderSwapped(c.code, b, d) : vendorSwapped(c.code, b, d); };
    EXPECT_EQ(swap(client, 1), own) << c.code;
    EXPECT_EQ(swap(own, -1), client) << c.code;
  }
  // glUnlockArraysEXT has nothing to swap.
  Bytes unlock{1, 2, 3, 4};
  EXPECT_EQ(vendorSwapped(90077, unlock, 1), unlock);
  EXPECT_TRUE(LogCapture::warnings.empty());
  EXPECT_EQ(LogCapture::problems, 0);
}

// The two forms of glCallLists: counts read after the swap for data in the client's order,
// before it for data in ours (a reading in the wrong order would see 0x01000000 names).
TEST(GlxSwapTables, TwoFormRowsReadCountsInTheirOrder) {
  LogCapture log;
  auto shorts = [](Msg &m) { m.i(1).i(kShort).s(0x0102).pad(2); };
  Bytes client = build(shorts, true), own = build(shorts, false);
  EXPECT_EQ(renderSwapped(2, client, 1), own);
  EXPECT_EQ(renderSwapped(2, own, -1), client);
  // Read in the wrong order the type would be unknown: a problem report and the names left.
  Bytes wrong = renderSwapped(2, own, 1);
  EXPECT_EQ(LogCapture::problems, 1);
  EXPECT_EQ(Bytes(wrong.begin() + 8, wrong.end()), Bytes(own.begin() + 8, own.end()));
}

// A GLXRender stream from a client of the other order: the walker swaps each command's header
// and hands its data to the table.
TEST(GlxSwapTables, RenderStreamThroughTheTable) {
  LogCapture log;
  auto stream = [](Msg &m) {
    m.s(20).s(16).f(0.25f).f(0.5f).f(0.75f).f(1.0f);  // glColor4fv
    m.s(20).s(115).d64(2.5).i(0x2000).i(0x2501);     // glTexGend
    m.s(8).s(11).b(1).b(2).b(3).b(0);                // glColor3ubv
  };
  Bytes client = build(stream, true), own = build(stream, false);
  Bytes out = client;
  glxindirectSwapRender16(out.data(), out.data() + out.size(), 1);
  EXPECT_EQ(out, own);
  glxindirectSwapRender16(out.data(), out.data() + out.size(), -1);
  EXPECT_EQ(out, client);
}

}  // namespace
