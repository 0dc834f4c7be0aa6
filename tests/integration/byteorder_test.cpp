// The byte swapper against a real server: the same requests on a little-endian and a
// big-endian connection give replies that, swapped by their layouts, are equal byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "rawclient_fixture.h"
#include "xext/byteswap.h"
#include "xvfb_fixture.h"

namespace {

std::string dump(const RawBytes &a, const RawBytes &b, size_t at) {
  std::string text;
  for (size_t k = at > 8 ? at - 8 : 0; k < at + 16 && k < a.size() && k < b.size(); k++)
    text += " " + std::to_string(a[k]) + "/" + std::to_string(b[k]);
  return text;
}

class ByteOrderTest : public testing::Test {
 protected:
  XvfbServer server;
  RawClient little, big;

  void SetUp() override {
    ASSERT_EQ(server.start(), "");
    ASSERT_EQ(little.connect(server.displayNumber(), 'l'), "");
    ASSERT_EQ(big.connect(server.displayNumber(), 'B'), "");
  }

  // Sends the request built in each order on its connection and compares `replies` answers
  // (all of them up to one with byte 1 == 0 when replies is 0) after swapping the little-endian
  // ones with the layout.
  void expectSame(const char *what, const std::function<void(RawRequest &)> &build, const char *layout,
                  int replies = 1, const std::function<void(RawBytes &)> &serverFault = nullptr) {
    RawRequest l(false), b(true);
    build(l);
    build(b);
    ASSERT_EQ(little.send(l.done()), "") << what;
    ASSERT_EQ(big.send(b.done()), "") << what;
    for (int k = 0; replies == 0 || k < replies; k++) {
      RawBytes fromLittle, fromBig;
      ASSERT_EQ(little.read(fromLittle), "") << what;
      ASSERT_EQ(big.read(fromBig), "") << what;
      ASSERT_EQ(fromLittle[0], 1) << what << ": not a reply (error " << int(fromLittle[1]) << ")";
      bool last = fromLittle[1] == 0;
      if (serverFault) serverFault(fromBig);
      byteswapByFormat(layout, fromLittle.data(), fromLittle.data() + fromLittle.size());
      EXPECT_EQ(fromLittle.size(), fromBig.size()) << what;
      size_t at = 0;
      while (at < fromLittle.size() && at < fromBig.size() && fromLittle[at] == fromBig[at]) at++;
      EXPECT_TRUE(fromLittle == fromBig) << what << " reply " << k << ": first difference at byte " << at
                                         << " of " << fromLittle.size() << dump(fromLittle, fromBig, at);
      if (replies == 0 && last) break;
    }
  }

  // The extension's major opcode, the same on both connections.
  uint8_t extension(const char *name) {
    uint8_t a = little.queryExtension(name), b = big.queryExtension(name);
    EXPECT_EQ(a, b) << name;
    EXPECT_NE(a, 0) << name;
    return a;
  }
};

TEST_F(ByteOrderTest, SetupReply) {
  RawBytes fromLittle = little.setup(), fromBig = big.setup();
  ASSERT_EQ(fromLittle.size(), fromBig.size());
  for (size_t k = 12; k < 16; k++) fromLittle[k] = fromBig[k] = 0;  // the id base differs
  byteswapByFormat("H-23", fromLittle.data(), fromLittle.data() + fromLittle.size());
  EXPECT_TRUE(fromLittle == fromBig);
  EXPECT_EQ(little.rootWindow(), big.rootWindow());
}

TEST_F(ByteOrderTest, CoreReplies) {
  RawRequest openL(false), openB(true);
  openL.b(45).b(0).s(0).i(little.idBase() | 1).s(5).s(0).text("fixed");
  openB.b(45).b(0).s(0).i(big.idBase() | 1).s(5).s(0).text("fixed");
  ASSERT_EQ(little.send(openL.done()), "");
  ASSERT_EQ(big.send(openB.done()), "");
  RawRequest queryL(false), queryB(true);
  queryL.b(47).b(0).s(0).i(little.idBase() | 1);
  queryB.b(47).b(0).s(0).i(big.idBase() | 1);
  ASSERT_EQ(little.send(queryL.done()), "");
  ASSERT_EQ(big.send(queryB.done()), "");
  RawBytes fromLittle, fromBig;
  ASSERT_EQ(little.read(fromLittle), "");
  ASSERT_EQ(big.read(fromBig), "");
  ASSERT_EQ(fromLittle[0], 1);
  EXPECT_GT(rawGet32(fromLittle, 56, false), 0u);  // character infos present
  byteswapByFormat("H-36", fromLittle.data(), fromLittle.data() + fromLittle.size());
  EXPECT_TRUE(fromLittle == fromBig) << "QueryFont";

  expectSame("ListFontsWithInfo", [](RawRequest &r) { r.b(50).b(0).s(0).s(3).s(1).text("*"); }, "H-35", 0);
  expectSame("ListHosts", [](RawRequest &r) { r.b(110).b(0).s(0); }, "H-34");
  expectSame("GetKeyboardMapping", [](RawRequest &r) { r.b(101).b(0).s(0).b(8).b(248).s(0); }, "bbsI");
}

TEST_F(ByteOrderTest, ExtensionReplies) {
  uint8_t xkb = extension("XKEYBOARD");
  expectSame("XkbUseExtension", [&](RawRequest &r) { r.b(xkb).b(0).s(0).s(1).s(0); }, "bbsiss");
  // The X.Org server leaves two fields unswapped for a client of the other byte order: the
  // virtual modifiers of the virtual modifier map entries (the last part of a GetMap reply)
  // and nKTLevels of a GetNames reply. The protocol wants them swapped, as our layouts do;
  // the server's fields are turned into that form before the comparison.
  auto vmodMapFault = [](RawBytes &reply) {
    size_t entries = reply[36];
    ASSERT_GE(reply.size(), 40 + 4 * entries);
    for (size_t at = reply.size() - 4 * entries; at < reply.size(); at += 4) std::swap(reply[at + 2], reply[at + 3]);
  };
  expectSame("XkbGetMap", [&](RawRequest &r) { r.b(xkb).b(8).s(0).s(0x100).s(0xff).s(0).pad(8).s(0).pad(6).pad(2); },
             "H-9", 1, vmodMapFault);
  expectSame("XkbGetNames", [&](RawRequest &r) { r.b(xkb).b(17).s(0).s(0x100).s(0).i(0x3fff); }, "H-13", 1,
             [](RawBytes &reply) { std::swap(reply[26], reply[27]); });
  {
    // Xvfb's keyboard may have no geometry: then both connections get the same error.
    RawRequest l(false), b(true);
    l.b(xkb).b(19).s(0).s(0x100).s(0).i(0);
    b.b(xkb).b(19).s(0).s(0x100).s(0).i(0);
    RawBytes fromLittle, fromBig;
    ASSERT_EQ(little.roundTrip(l.done(), fromLittle), "");
    ASSERT_EQ(big.roundTrip(b.done(), fromBig), "");
    byteswapByFormat(fromLittle[0] == 1 ? "H-18" : "bbsisb", fromLittle.data(), fromLittle.data() + fromLittle.size());
    EXPECT_TRUE(fromLittle == fromBig) << "XkbGetGeometry";
  }
  uint8_t render = extension("RENDER");
  expectSame("RenderQueryVersion", [&](RawRequest &r) { r.b(render).b(0).s(0).i(0).i(11); }, "bbsiii");
  expectSame("RenderQueryPictFormats", [&](RawRequest &r) { r.b(render).b(1).s(0); }, "H-30");
  uint8_t input = extension("XInputExtension");
  expectSame("GetExtensionVersion",
             [&](RawRequest &r) { r.b(input).b(1).s(0).s(15).s(0).text("XInputExtension"); }, "bbsiss");
  expectSame("ListInputDevices", [&](RawRequest &r) { r.b(input).b(2).s(0); }, "H-3");
}

// ChangeProperty built big-endian and swapped by "H24" to little-endian stores the same value
// as the original on the big-endian connection.
TEST_F(ByteOrderTest, ChangePropertyEveryFormat) {
  struct Format { unsigned format, type, count; const char *replyLayout; };
  const Format formats[] = {{8, 31, 5, "bbsiiii"}, {16, 19, 3, "bbsiiiiiiiS"}, {32, 19, 2, "bbsI"}};
  uint32_t root = big.rootWindow();
  for (const Format &f : formats) {
    auto request = [&](uint32_t property) {
      RawRequest r(true);
      r.b(18).b(0).s(0).i(root).i(property).i(f.type).b(f.format).pad(3).i(f.count);
      if (f.format == 8) r.text("hello");
      if (f.format == 16) r.s(0x0102).s(0x0304).s(0xfffe);
      if (f.format == 32) r.i(0x01020304).i(0xfffefdfc);
      return r.done();
    };
    RawBytes swapped = request(10);
    byteswapByFormat("H24", swapped.data(), swapped.data() + swapped.size());
    ASSERT_EQ(big.send(request(9)), "");
    ASSERT_EQ(little.send(swapped), "");
    for (RawClient *client : {&big, &little}) {  // both changes are done before either is read
      RawRequest sync(client->big());
      sync.b(43).b(0).s(0);
      RawBytes answer;
      ASSERT_EQ(client->roundTrip(sync.done(), answer), "");
    }
    RawBytes values[2][2];  // [connection][property]
    for (int c = 0; c < 2; c++) {
      RawClient &client = c ? big : little;
      for (int p = 0; p < 2; p++) {
        RawRequest get(client.big());
        get.b(20).b(0).s(0).i(root).i(9 + p).i(0).i(0).i(100);
        ASSERT_EQ(client.roundTrip(get.done(), values[c][p]), "");
        ASSERT_EQ(values[c][p][0], 1);
        EXPECT_EQ(values[c][p][1], f.format);
      }
      EXPECT_TRUE(RawBytes(values[c][0].begin() + 4, values[c][0].end()) ==
                  RawBytes(values[c][1].begin() + 4, values[c][1].end())) << "format " << f.format << " on " << c;
    }
    RawBytes fromLittle = values[0][0];
    byteswapByFormat(f.replyLayout, fromLittle.data(), fromLittle.data() + fromLittle.size());
    fromLittle[2] = values[1][0][2];
    fromLittle[3] = values[1][0][3];
    EXPECT_TRUE(fromLittle == values[1][0]) << "format " << f.format;
  }
}

}  // namespace
