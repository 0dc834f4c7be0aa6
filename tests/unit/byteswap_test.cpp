#include "xext/byteswap.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "msg_helpers.h"
#include "support/logging.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Counts problem reports of the swapper while alive.
struct UneCounter {
  static inline int count = 0;
  LogOutputHook saved;
  UneCounter() : saved(logOutputHook) {
    count = 0;
    static char name[] = "byteswap_test";
    static char *argv[] = {name, nullptr};
    static bool once = logInit(1, argv, "", "") == 0 || true;
    (void)once;
    logOutputHook = [](LogChannel *, const char *source, int, const char *text) {
      if (std::string(source) == "Xext/byteswap" && std::string(text) == "UNE") count++;
    };
  }
  ~UneCounter() { logOutputHook = saved; }
};

Bytes swapped(const char *layout, Bytes bytes) {
  byteswapByFormat(layout, bytes.data(), bytes.data() + bytes.size());
  return bytes;
}

// The plain walk: the edge cases of the grammar.
TEST(ByteswapWalk, FieldsGroupsAndEnds) {
  struct Case { const char *layout; Bytes in, out; };
  const Case cases[] = {
      {"bbsi", {1, 2, 3, 4, 5, 6}, {1, 2, 4, 3, 5, 6}},  // the 32-bit field does not fit
      {"bbsI", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14},
       {1, 2, 4, 3, 8, 7, 6, 5, 12, 11, 10, 9, 13, 14}},
      {"l", {1, 2, 3, 4, 5, 6, 7, 8, 9}, {8, 7, 6, 5, 4, 3, 2, 1, 9}},
      {"sS", {1, 2, 3, 4, 5, 6, 7}, {2, 1, 4, 3, 6, 5, 7}},
      {"L", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {8, 7, 6, 5, 4, 3, 2, 1, 9, 10}},
      {"", {1, 2}, {1, 2}},
      {"b[s]", {1, 2, 3, 4, 5, 6}, {1, 3, 2, 5, 4, 6}},
      {"[sb]", {1, 2, 3, 4, 5, 6, 7}, {2, 1, 3, 5, 4, 6, 7}},
      {"sH2", {1, 2}, {2, 1}},  // a case with no bytes left swaps nothing more
  };
  for (const Case &c : cases) EXPECT_EQ(swapped(c.layout, c.in), c.out) << c.layout;

  // A header and repeated 16-byte records: exactly three records are swapped.
  Bytes want;
  auto record = [](Msg &m) {
    m.b(1).b(2).s(0x0304).i(0x05060708).b(9).b(10).s(0x0b0c).s(0x0d0e).s(0x0f10).i(0x11121314).i(0x15161718)
        .i(0x191a1b1c).i(0x1d1e1f20);
    for (int k = 0; k < 3; k++) m.i(0x21222324 + k).pad(12);
  };
  EXPECT_EQ(swapped("bbsibbsssiiii[ibbbbbbbbbbbb]", build(record, false)), build(record, true));
}

TEST(ByteswapWalk, FaultyLayoutsEndAndReport) {
  struct Case { const char *layout; int reports; };
  const Case cases[] = {{"[bb]", 1}, {"[]", 1}, {"]", 1}, {"bb]", 1}, {"H", 1}, {"H100", 1},
                        {"H-120", 1}, {"H0", 1}, {"H-", 1}, {"H31", 1}, {"q", 1}, {"qqs", 2},
                        {"H99999999999999999999", 1}, {"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", 0}};
  for (const Case &c : cases) {
    UneCounter une;
    Bytes bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes out = swapped(c.layout, bytes);
    EXPECT_EQ(UneCounter::count, c.reports) << c.layout;
    if (std::string(c.layout) == "qqs") EXPECT_EQ(out, (Bytes{2, 1, 3, 4, 5, 6, 7, 8}));
    else EXPECT_EQ(out, bytes) << c.layout;
  }
}

// --- Hand-written cases ------------------------------------------------------------------------

struct SwapCase {
  const char *name;
  int number;  // with the sign under which the system uses it
  std::function<void(Msg &)> build;
  const char *prefix = "";  // layout letters before the case
};

void xkbGetMapBody(Msg &m) {
  // one key type with one entry and preserve, one symbol map with two symbols, then the rest
  m.b(0x1).b(0x2).s(0x0304).b(2).b(1).b(1).b(0);
  m.b(1).b(2).b(3).b(4).s(0x0506).s(0);
  m.b(1).b(2).s(0x0708);
  m.b(1).b(2).b(3).b(4).b(5).b(6).s(2).i(0x11223344).i(0x55667788);
  m.b(3).align().pad(8);           // key actions: one count, one action
  m.pad(4);                        // one behaviour
  m.b(7).b(8).align();             // two virtual modifiers
  m.b(9).b(10).align();            // one explicit component
  m.b(11).b(12).align();           // one modifier map key
  m.b(13).b(0).s(0x090a);          // one virtual modifier map entry
}

void xkbNamesBody(Msg &m, bool request) {
  for (int k = 0; k < 6; k++) m.i(0x01020300 + k);
  m.i(0x0a0b0c01).i(0x0a0b0c02);                    // type names
  m.b(1).b(2).align();                               // level counts
  m.i(0x0d000001).i(0x0d000002).i(0x0d000003);       // level names
  m.i(0x0e000001).i(0x0e000002);                     // indicators 0x5
  m.i(0x0f000001);                                   // virtual modifiers 0x1
  m.i(0x10000001).i(0x10000002);                     // groups 0x3
  m.text("AE01AE02").text("ALIAREAL");               // key names, aliases
  m.i(0x12000001);                                   // radio group
  (void)request;
}

void xkbLed(Msg &m) {
  m.s(0x0102).s(0x0304).i(0x3).i(0x1).i(0x05060708).i(0x090a0b0c);
  m.i(0x11000001).i(0x11000002);
  m.b(1).b(2).b(3).b(4).b(5).b(6).s(0x0708).i(0x090a0b0c);
}

void xkbGeometryBody(Msg &m) {
  m.xkbString("fixed");
  m.xkbString("name").xkbString("value");
  m.xkbString("red");
  m.i(0x0a0b0c0d).b(1).b(0).b(0).b(0);  // shape, one outline
  m.b(2).b(0).pad(2).s(0x0102).s(0x0304).s(0x0506).s(0x0708);
  m.i(0x01020304).s(1).s(2).s(3).s(4).s(5).b(6).b(1).b(1).b(1).pad(2);  // section
  m.s(0x0a0b).s(0x0c0d).b(1).b(0).pad(2);                              // row with one key
  m.text("AE01").s(0x0e0f).b(1).b(2);
  m.i(0x05060708).b(3).b(1).s(1).s(2).s(3).s(4).s(5).b(0).b(0).pad(2);  // text doodad
  m.xkbString("label").xkbString("font");
  m.i(0x090a0b0c).b(1).pad(3);                                         // overlay, one row
  m.b(0).b(1).pad(2).text("AE01AE02");
  m.i(0x11121314).b(5).b(1).s(1).s(2).s(3).b(0).b(0).pad(6);            // logo doodad
  m.xkbString("logo");
  m.text("ALIAREAL");
}

const std::vector<SwapCase> &swapCases() {
  static const std::vector<SwapCase> cases = {
      {"ClientMessage 8", -2, [](Msg &m) { m.b(33).b(8).s(0x1234).i(0x01020304).i(0x05060708).text("abcdefghijklmnopqrst"); }},
      {"ClientMessage 16", -2, [](Msg &m) { m.b(33).b(16).s(0x1234).i(0x01020304).i(0x05060708); for (int k = 0; k < 10; k++) m.s(0x0100 + k); }},
      {"ClientMessage 32", -2, [](Msg &m) { m.b(33).b(32).s(0x1234).i(0x01020304).i(0x05060708); for (int k = 0; k < 5; k++) m.i(0x01000000 + k); }},
      {"ListInputDevices", -3, [](Msg &m) {
         m.b(1).b(2).s(0x0304).i(14).b(2).pad(23);
         m.i(0x0a0b0c0d).b(1).b(2).b(3).b(0).i(0x0e0f1011).b(2).b(1).b(0).b(0);
         m.b(0).b(8).b(8).b(255).s(0x0102).pad(2).b(1).b(4).s(0x0304);
         m.b(2).b(20).b(1).b(0).i(0x05060708).i(0x090a0b0c).i(0x0d0e0f10).i(0x11121314);
         m.text("kbd").text("ptr").align();
       }},
      {"ListInputDevices empty", -3, [](Msg &m) { m.b(1).b(2).s(0x0304).i(0).pad(24); }},
      {"counted bytes", 4, [](Msg &m) { m.i(6).text("abcdef").i(0x01020304).i(0x05060708); }},
      {"counted longs", 5, [](Msg &m) { m.i(4).text("abcd").l(0x0102030405060708).l(0x1112131415161718); }},
      {"XvQueryAdaptors", -6, [](Msg &m) {
         m.b(1).b(0).s(0x0102).i(0x0a).s(1).pad(22);
         m.i(0x01020304).s(5).s(0x0102).s(2).pad(2).text("xvidx").align();
         m.i(0x0a0b0c0d).b(24).pad(3).i(0x0e0f1011).b(32).pad(3);
       }},
      {"XvQueryEncodings", -42, [](Msg &m) {
         m.b(1).b(0).s(0x0102).i(0x0b).s(2).pad(22);
         m.i(0x01020304).s(8).s(0x0800).s(0x0600).s(0).i(0x05060708).i(0x090a0b0c).text("XV_IMAGE");
         m.i(0x11121314).s(3).s(0x0102).s(0x0304).s(0).i(1).i(2).text("abc").align();
       }},
      {"XvQueryPortAttributes", -43, [](Msg &m) {
         m.b(1).b(0).s(0x0102).i(0x0c).i(2).i(24).pad(16);
         m.i(3).i(0xfffffc18).i(0x03e8).i(12).text("XV_COLORKEY").pad(1);
         m.i(1).i(0x01020304).i(0x05060708).i(5).text("XV_AB").align();
       }},
      {"XKB StateNotify", -8, [](Msg &m) {
         m.b(85).b(2).s(0x0102).i(0x03040506).b(1).b(2).b(3).b(4).b(5).b(6).s(0x0708).s(0x090a).b(7).b(8)
             .b(9).b(10).b(11).b(12).s(0x0b0c).s(0x0d0e).b(13).b(14).b(15).b(16);
       }},
      {"XKB GetMap", -9, [](Msg &m) {
         m.b(1).b(3).s(0x0102).i(0).s(0).b(8).b(255).s(0xff).b(0).b(1).b(1).b(8).s(2).b(1).b(8).s(1).b(1)
             .b(8).b(1).b(1).b(8).b(1).b(1).b(8).b(1).b(1).b(8).b(1).b(1).b(0).s(0x0003);
         xkbGetMapBody(m);
       }},
      {"XKB SelectEvents", 10, [](Msg &m) {
         m.b(136).b(1).s(0x0102).s(0x0304).s(0x0ffd).s(0).s(0x0004).s(0x0506).s(0x0708);
         m.s(0x0102).s(0x0304);                             // bit 0
         m.i(0x01020304).i(0x05060708);                     // bits 3, 4, 5
         m.i(0x11121314).i(0x15161718).i(0x21222324).i(0x25262728);
         m.s(0x0a0b).s(0x0c0d);                             // bit 6
         m.b(1).b(2).b(3).b(4).b(5).b(6);                   // bits 7, 8, 9
         m.s(0x0e0f).s(0x1011).s(0x1213).s(0x1415);         // bits 10, 11
       }},
      {"XKB GetKbdByName", -11, [](Msg &m) {
         m.b(1).b(3).s(0x0102).i(0).b(8).b(255).b(1).b(0).s(0x0102).s(0x0012).pad(16);
         m.b(1).b(3).s(0x0304).i(4).b(1).b(2).s(0x0102).s(0x0304).s(0x0506).i(1).i(2).i(3).i(4);
         m.i(0x0a0b0c0d).b(1).b(2).b(3).b(4).b(5).b(6).b(7).b(8).b(9).b(10).b(11).b(12);
         m.b(1).b(3).s(0x0506).i(3).i(0x01020304).i(1).b(1).b(2).s(0x0708).i(5).i(6).i(7);
         m.b(1).b(2).b(3).b(4).b(5).b(6).s(0x0708).i(0x090a0b0c);
       }},
      {"XKB ListComponents", -12, [](Msg &m) {
         m.b(1).b(3).s(0x0102).i(4).s(1).s(1).s(0).s(0).s(0).s(0).s(0).s(0).i(0).i(0);
         m.s(0x0102).s(3).text("abc").b(0).s(0x0304).s(2).text("xy");
       }},
      {"XKB GetNames", -13, [](Msg &m) {
         m.b(1).b(3).s(0x0102).i(0).i(0x3fff).b(8).b(255).b(2).b(0x3).s(0x0001).b(8).b(2).i(0x5).b(1).b(1)
             .s(3).i(0);
         xkbNamesBody(m, false);
       }},
      {"XKB GetDeviceInfo", -14, [](Msg &m) {
         m.b(1).b(3).s(0x0102).i(0).s(0x0304).s(0x0506).s(0x0708).s(1).b(0).b(1).b(0).b(1).b(1).b(0).s(0x0a0b)
             .s(0x0c0d).s(0).i(0x01020304);
         m.xkbString("ab").text("ACTIONSX");
         xkbLed(m);
       }},
      {"XKB SetDeviceInfo", 15, [](Msg &m) {
         m.b(136).b(16).s(0x0102).s(0x0304).b(0).b(1).s(0x0506).s(1).text("ACTIONSX");
         xkbLed(m);
       }},
      {"XKB SetNames", 16, [](Msg &m) {
         m.b(136).b(18).s(0x0102).s(0x0304).s(0x0001).i(0x3fff).b(0).b(2).b(0).b(2).i(0x5).b(0x3).b(1).b(8).b(2)
             .b(1).b(0).s(3);
         xkbNamesBody(m, true);
       }},
      {"XKB SetMap", 17, [](Msg &m) {
         m.b(136).b(9).s(0x0102).s(0x0304).s(0xff).s(0).b(8).b(255).b(0).b(1).b(8).b(1).s(2).b(8).b(1).s(1).b(8)
             .b(1).b(1).b(8).b(1).b(1).b(8).b(1).b(1).b(8).b(1).b(1).s(0x0003);
         xkbGetMapBody(m);
       }},
      {"XKB GetGeometry", -18, [](Msg &m) {
         m.b(1).b(3).s(0x0102).i(0).i(0x0a0b0c0d).b(1).b(0).s(0x0102).s(0x0304).s(1).s(1).s(1).s(1).s(1).s(1)
             .b(0).b(0);
         xkbGeometryBody(m);
       }},
      {"XKB SetGeometry", 19, [](Msg &m) {
         m.b(136).b(23).s(0x0102).s(0x0304).b(1).b(1).i(0x0a0b0c0d).s(0x0102).s(0x0304).s(1).s(1).s(1).s(1).b(0)
             .b(0).pad(2);
         xkbGeometryBody(m);
       }},
      {"setup reply", -23, [](Msg &m) {
         m.b(1).b(0).s(11).s(0).s(0);
         m.i(0x01020304).i(0x00400000).i(0x001fffff).i(256).s(5).s(0xffff).b(1).b(1).b(0).b(0).b(32).b(32).b(8)
             .b(255).i(0);
         m.text("Tarvo").align().b(24).b(32).b(32).pad(5);
         m.i(0x100).i(0x20).i(0xffffff).i(0).i(0x01020304).s(1024).s(768).s(270).s(203).s(1).s(1).i(0x21)
             .b(0).b(0).b(24).b(1);
         m.b(24).b(0).s(1).pad(4).i(0x21).b(4).b(8).s(256).i(0xff0000).i(0xff00).i(0xff).pad(4);
       }},
      {"setup refused", -23, [](Msg &m) { m.b(0).b(6).s(11).s(0).s(2).text("no way").align(); }},
      {"ChangeProperty 8", 24, [](Msg &m) { m.b(18).b(0).s(7).i(0x01020304).i(0x05060708).i(31).b(8).pad(3).i(5).text("hello").align(); }},
      {"ChangeProperty 16", 24, [](Msg &m) { m.b(18).b(0).s(8).i(0x01020304).i(0x05060708).i(19).b(16).pad(3).i(3).s(0x0102).s(0x0304).s(0x0506).pad(2); }},
      {"ChangeProperty 32", 24, [](Msg &m) { m.b(18).b(0).s(8).i(0x01020304).i(0x05060708).i(6).b(32).pad(3).i(2).i(0x0a0b0c0d).i(0x0e0f1011); }},
      {"AddGlyphs", 25, [](Msg &m) {
         m.b(139).b(20).s(0x0102).i(0x03040506).i(2).i(0x0a0b0c0d).i(0x0e0f1011);
         for (int k = 0; k < 12; k++) m.s(0x0100 + k);
         m.text("imagebyt");
       }},
      {"SetPictureFilter", 26, [](Msg &m) { m.b(139).b(30).s(0x0102).i(0x03040506).s(4).s(0).text("good").i(0x01020304).i(0x05060708); }},
      {"CompositeGlyphs8", 27, [](Msg &m) {
         m.b(139).b(23).s(0x0102).b(3).b(0).s(0).i(1).i(2).i(3).i(4).s(5).s(6);
         m.b(3).pad(3).s(0x0102).s(0x0304).text("abc").align().b(255).pad(3).s(0).s(0).i(0x0a0b0c0d);
         m.b(1).pad(3).s(0x0506).s(0x0708).b(9).align();
       }},
      {"CompositeGlyphs16", 28, [](Msg &m) {
         m.b(139).b(24).s(0x0102).b(3).b(0).s(0).i(1).i(2).i(3).i(4).s(5).s(6);
         m.b(3).pad(3).s(0x0102).s(0x0304).s(0x1112).s(0x1314).s(0x1516).pad(2);
         m.b(255).pad(3).s(0).s(0).i(0x0a0b0c0d);
       }},
      {"CompositeGlyphs32", 29, [](Msg &m) {
         m.b(139).b(25).s(0x0102).b(3).b(0).s(0).i(1).i(2).i(3).i(4).s(5).s(6);
         m.b(2).pad(3).s(0x0102).s(0x0304).i(0x11121314).i(0x15161718);
       }},
      {"QueryPictFormats", -30, [](Msg &m) {
         m.b(1).b(0).s(0x0102).i(0).i(1).i(1).i(1).i(1).i(1).i(0);
         m.i(0x0a0b0c0d).b(1).b(24).s(0).s(16).s(0xff).s(8).s(0xff).s(0).s(0xff).s(24).s(0).i(0);
         m.i(1).i(0x01020304).b(24).b(0).s(1).i(0).i(0x21).i(0x0a0b0c0d);
         m.i(0x00000005);
       }},
      {"GLXRender stream", 7, [](Msg &m) { m.b(152).b(1).s(4).i(0x01020304).s(8).s(11).text("cmdd"); }, "bbsi"},
      {"GLX vendor stand-in", 32, [](Msg &m) { m.b(152).b(16).s(5).i(0x0a0b0c0d).i(0x01020304).text("vendorxx"); }},
      {"typed list bytes", 33, [](Msg &m) { m.i(3).i(0x1401).text("abc").b(0); }},
      {"typed list shorts", 33, [](Msg &m) { m.i(3).i(0x1402).s(0x0102).s(0x0304).s(0x0506).pad(2); }},
      {"typed list floats", 33, [](Msg &m) { m.i(2).i(0x1406).i(0x01020304).i(0x05060708); }},
      {"ListHosts", -34, [](Msg &m) {
         m.b(1).b(1).s(0x0102).i(5).s(2).pad(22);
         m.b(0).b(0).s(4).b(127).b(0).b(0).b(1).b(6).b(0).s(6).text("abcdef").align();
       }},
      {"ListFontsWithInfo", -35, [](Msg &m) {
         m.b(1).b(5).s(0x0102).i(0);
         for (int k = 0; k < 6; k++) m.s(0x0100 + k);
         m.i(0);
         for (int k = 0; k < 6; k++) m.s(0x0200 + k);
         m.i(0).s(0x0301).s(0x0302).s(0x0303).s(2).b(0).b(1).b(2).b(1).s(0x0405).s(0x0607).i(0x0a0b0c0d);
         m.i(0x11121314).i(0x15161718).i(0x21222324).i(0x25262728).text("fixed").align();
       }},
      {"QueryFont", -36, [](Msg &m) {
         m.b(1).b(0).s(0x0102).i(0);
         for (int k = 0; k < 6; k++) m.s(0x0100 + k);
         m.i(0);
         for (int k = 0; k < 6; k++) m.s(0x0200 + k);
         m.i(0).s(0x0301).s(0x0302).s(0x0303).s(1).b(0).b(1).b(2).b(1).s(0x0405).s(0x0607).i(2);
         m.i(0x11121314).i(0x15161718);
         for (int k = 0; k < 12; k++) m.s(0x0500 + k);
       }},
      {"vertex arrays", 1, [](Msg &m) {
         m.i(3).i(2).i(0x01020304).i(0x1402).i(1).i(0x05060708).i(0x1406).i(2).i(0x090a0b0c);
         // interleaved: per vertex a short padded to 4, then two floats
         for (int k = 0; k < 3; k++) m.s(0x0102 + 0x0202 * k).pad(2).i(0x01000000 + 2 * k).i(0x01000001 + 2 * k);
       }},
      {"vertex arrays 16", 37, [](Msg &m) {
         m.i(0x01020304).i(0x05060708).i(2).i(2);
         m.i(0x1401).i(3).i(1).i(2).text("fift");
         m.i(0x140A).i(1).i(3).i(4).text("h_wd");
         // the arrays back to back: 6 bytes, then the doubles
         m.text("abcdef").l(0x0102030405060708).l(0x1112131415161718).pad(2);
       }},
      {"vertex arrays 32", 38, [](Msg &m) {
         m.l(0x0102030405060708).i(1).i(2).i(3).i(2).i(5).i(1);
         m.i(0x1403).i(3).i(1).i(2).text("fift");
         m.s(0x0102).s(0x0304).s(0x0506).s(0x0708).s(0x090a).s(0x0b0c);
       }},
      {"counted list", 39, [](Msg &m) { m.i(3).i(0x01020304).i(0x05060708).i(0x090a0b0c); }},
      {"ChangeHierarchy", 99, [](Msg &m) {
         m.b(131).b(43).s(0x0102).b(4).pad(3);
         m.s(1).s(3).s(4).b(1).b(1).text("kbd").b(0);
         m.s(2).s(3).s(0x0102).b(1).b(0).s(0x0304).s(0x0506);
         m.s(3).s(2).s(0x0708).s(0x090a);
         m.s(4).s(2).s(0x0b0c).pad(2);
       }},
  };
  return cases;
}

std::string layoutOf(const SwapCase &c, int number) { return c.prefix + ("H" + std::to_string(number)); }

// Each case turns the message as built in one order into the same message built in the
// other, without a problem report; the case of the other sign turns it back.
TEST(ByteswapCases, MatchTheOtherOrderAndTurnBack) {
  for (const SwapCase &c : swapCases()) {
    bool fromBig = c.number > 0;  // a positive case gets the other order, here big-endian
    Bytes in = build(c.build, fromBig), want = build(c.build, !fromBig);
    UneCounter une;
    Bytes out = swapped(layoutOf(c, c.number).c_str(), in);
    EXPECT_EQ(out, want) << c.name;
    for (size_t k = 0; k < out.size() && k < want.size(); k++) if (out[k] != want[k]) { std::string d; for (size_t j = k > 8 ? k - 8 : 0; j < k + 8 && j < out.size(); j++) d += std::to_string(out[j]) + "/" + std::to_string(want[j]) + " "; ADD_FAILURE() << c.name << " first difference at " << k << ": " << d; break; }
    EXPECT_EQ(UneCounter::count, 0) << c.name;
    EXPECT_EQ(swapped(layoutOf(c, -c.number).c_str(), out), in) << c.name;
  }
}

// Every prefix of every message, and hostile values (0, 0xFFFF, 0xFFFFFFFF and 0xFF bytes) at
// every position: the swapper returns and touches nothing outside [first, end).
TEST(ByteswapCases, PrefixesAndHostileCountsStayInside) {
  UneCounter une;
  constexpr size_t kGuard = 64;
  auto check = [&](const Bytes &message, size_t length, const std::string &layout, const char *name) {
    Bytes buffer(kGuard + length + kGuard, 0x5a);
    std::fill(buffer.begin(), buffer.begin() + kGuard, 0xa5);
    std::copy(message.begin(), message.begin() + length, buffer.begin() + kGuard);
    // The message itself sits in an allocation of its own size, so a sanitizer sees any step out.
    std::vector<uint8_t> exact(message.begin(), message.begin() + length);
    byteswapByFormat(layout.c_str(), exact.data(), exact.data() + exact.size());
    byteswapByFormat(layout.c_str(), buffer.data() + kGuard, buffer.data() + kGuard + length);
    for (size_t k = 0; k < kGuard; k++) {
      ASSERT_EQ(buffer[k], 0xa5) << name << " length " << length;
      ASSERT_EQ(buffer[kGuard + length + k], 0x5a) << name << " length " << length;
    }
    ASSERT_TRUE(std::equal(exact.begin(), exact.end(), buffer.begin() + kGuard)) << name;
  };
  for (const SwapCase &c : swapCases()) {
    for (bool big : {false, true}) {
      Bytes message = build(c.build, big);
      for (int sign : {1, -1}) {
        std::string layout = layoutOf(c, sign * std::abs(c.number));
        for (size_t length = 0; length <= message.size(); length++) check(message, length, layout, c.name);
        for (size_t at = 0; at < message.size(); at++) {
          for (uint32_t value : {0u, 0xFFFFu, 0xFFFFFFFFu, 0xFFFF0000u}) {
            Bytes hostile = message;
            for (size_t k = 0; k < 4 && at + k < hostile.size(); k++) hostile[at + k] = uint8_t(value >> (8 * k));
            check(hostile, hostile.size(), layout, c.name);
          }
          Bytes hostile = message;
          hostile[at] = 0xff;
          check(hostile, hostile.size(), layout, c.name);
        }
      }
    }
  }
}

TEST(ByteswapCases, SpecialForms) {
  // A ClientMessage of format 8 swaps only the sequence number, the window and the type.
  Bytes event = build([](Msg &m) { m.b(33).b(8).s(0x0102).i(0x03040506).i(0x0708090a); for (int k = 0; k < 10; k++) m.s(0x0b0c); }, false);
  Bytes out = swapped("H2", event);
  EXPECT_TRUE(std::equal(out.begin() + 12, out.end(), event.begin() + 12));
  EXPECT_EQ(out[2], 0x01);

  // Key names of a GetNames reply reach the client unchanged.
  const SwapCase *names = nullptr;
  for (const SwapCase &c : swapCases()) if (std::string(c.name) == "XKB GetNames") names = &c;
  ASSERT_NE(names, nullptr);
  Bytes reply = build(names->build, false);
  std::string text(reply.begin(), reply.end());
  size_t keys = text.find("AE01AE02ALIAREAL");
  ASSERT_NE(keys, std::string::npos);
  Bytes swappedReply = swapped("H-13", reply);
  EXPECT_EQ(std::string(swappedReply.begin() + keys, swappedReply.begin() + keys + 16), "AE01AE02ALIAREAL");

  // Classes that would not move the walk on, unknown types and short messages: reported, ended.
  struct Bad { const char *name; const char *layout; std::function<void(Msg &)> build; };
  const Bad bad[] = {
      {"class of length 0", "H-3", [](Msg &m) { m.b(1).b(0).s(1).i(3).b(1).pad(23).i(1).b(1).b(2).b(0).b(0).b(1).b(0).pad(10); }},
      {"unknown XKB event", "H8", [](Msg &m) { m.b(85).b(12).s(0x0102).pad(28); }},
      {"ChangeProperty format 7", "H24", [](Msg &m) { m.b(18).b(0).s(6).i(1).i(2).i(3).b(7).pad(3).i(0); }},
      {"ChangeProperty too short", "H24", [](Msg &m) { m.b(18).b(0).s(6).i(1).i(2).i(3); }},
      {"change of length 0", "H99", [](Msg &m) { m.b(131).b(43).s(3).b(2).pad(3).s(3).s(0).s(3).s(0); }},
      {"unknown GL type", "H33", [](Msg &m) { m.i(1).i(0x1500).i(7); }},
  };
  for (const Bad &b : bad) {
    UneCounter une;
    Bytes msg = build(b.build, std::string(b.layout).find('-') == std::string::npos);
    swapped(b.layout, msg);
    EXPECT_EQ(UneCounter::count, 1) << b.name;
  }
  // An XKB event of an unknown type still gets its sequence number swapped.
  UneCounter une;
  Bytes xkb = swapped("H8", build([](Msg &m) { m.b(85).b(12).s(0x0102).pad(28); }, false));
  EXPECT_EQ(xkb[2], 0x01);
}

}  // namespace
