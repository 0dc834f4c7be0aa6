// GLX requests of clients of either byte order through tarvo on Xvfb (indirect GLX), with the
// capturing relay between tarvo and Xvfb. Tarvo speaks to the server in its own order, so what a
// big-endian client sends must reach Xvfb as the very bytes a little-endian client's same
// request gives (tags aside): render commands whose fields are not a plain run of one size
// (glTexGend's leading double, glCallLists' 16-bit names, glDrawArrays' interleaved vertices of
// mixed item sizes), a large command in pieces and a vendor request. Its replies come back in
// its order. With two screens as two heads, each single operation goes to the heads its kind
// names, under each head's own tag, and the client gets one reply at its own sequence number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "glxinfo_fixture.h"
#include "glx_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kRender = 1, kRenderLarge = 2, kCreateContext = 3, kMakeCurrent = 5, kVendorWithReply = 17,
                  kQueryExtensionsString = 18, kQueryServerString = 19;
constexpr uint32_t kGenRenderbuffers = 1423;

using Captured = GlxCaptured;

std::string hexOf(const RawBytes &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// The bytes with the four at `at` cleared (a context tag, which differs per client and head).
RawBytes withoutTag(RawBytes bytes, size_t at) {
  for (size_t k = at; k < at + 4 && k < bytes.size(); k++) bytes[k] = 0;
  return bytes;
}

uint32_t floatBits(float f) {
  uint32_t bits;
  memcpy(&bits, &f, sizeof bits);
  return bits;
}

// A 64-bit value in the request's order.
void put64(RawRequest &r, uint64_t v) {
  if (r.big) r.i(uint32_t(v >> 32)).i(uint32_t(v));
  else r.i(uint32_t(v)).i(uint32_t(v >> 32));
}

// The render commands of the test, each in the given order, named for the failure texts.
struct RenderCommand {
  const char *name;
  RawBytes bytes;
};

std::vector<RenderCommand> renderCommands(bool big) {
  std::vector<RenderCommand> out;
  RawRequest color(big);  // glColor4fv
  color.s(20).s(16).i(floatBits(0.25f)).i(floatBits(0.5f)).i(floatBits(0.75f)).i(floatBits(1.0f));
  out.push_back({"glColor4fv", color.d});
  // glTexGend(GL_S, GL_TEXTURE_GEN_MODE, GL_OBJECT_LINEAR): the double first. Its low word is
  // zero, so a swap of two 32-bit halves puts the bytes elsewhere than one of 64 bits.
  double mode = 9217.0;
  uint64_t modeBits;
  memcpy(&modeBits, &mode, sizeof modeBits);
  RawRequest texGen(big);
  texGen.s(20).s(115);
  put64(texGen, modeBits);
  texGen.i(0x2000).i(0x2500);
  out.push_back({"glTexGend", texGen.d});
  // glCallLists of three GL_SHORT names (padded to 4).
  RawRequest lists(big);
  lists.s(20).s(2).i(3).i(0x1402).s(0x0102).s(0x0304).s(0x0506).pad(2);
  out.push_back({"glCallLists", lists.d});
  // glDrawArrays(GL_TRIANGLES) of 3 vertices: unsigned-byte colours (4) and float vertices (3),
  // one element of each array per vertex.
  RawRequest draw(big);
  draw.s(88).s(193).i(3).i(2).i(4);
  draw.i(0x1401).i(4).i(0x8076);  // GL_UNSIGNED_BYTE, 4, GL_COLOR_ARRAY
  draw.i(0x1406).i(3).i(0x8074);  // GL_FLOAT, 3, GL_VERTEX_ARRAY
  for (int v = 0; v < 3; v++) {
    draw.b(4 * v + 1).b(4 * v + 2).b(4 * v + 3).b(4 * v + 4);
    draw.i(floatBits(0.125f * float(v + 1))).i(floatBits(-0.25f * float(v))).i(floatBits(0.5f));
  }
  out.push_back({"glDrawArrays", draw.d});
  return out;
}

// glTexImage2D of 32 x 32 RGBA bytes as a large command: header, pixel store, image fields and
// the pixels (bytes: no order of their own).
RawBytes texImage2D(bool big) {
  const uint32_t words[] = {4156, 110, 0, 0, 0, 0, 4, 0x0DE1, 0, 0x1908, 32, 32, 0, 0x1908, 0x1401};
  RawRequest fields(big);
  for (uint32_t w : words) fields.i(w);
  RawBytes out = fields.d;
  for (size_t k = 0; k < 32 * 32 * 4; k++) out.push_back(uint8_t(k * 37 + 11));
  return out;
}
constexpr size_t kPieceEnds[] = {1388, 2772, 4156};

// The root visual of the first screen of a setup reply.
uint32_t rootVisual(const RawClient &raw) {
  const RawBytes &setup = raw.setup();
  size_t vendor = rawGet16(setup, 24, raw.big()), formats = setup[29];
  return rawGet32(setup, 40 + ((vendor + 3) & ~size_t(3)) + 8 * formats + 32, raw.big());
}

// A window of its own and an indirect context current on it: the client's tag, 0 on failure.
uint32_t makeCurrentOnWindow(RawClient &raw, uint8_t major) {
  bool big = raw.big();
  uint32_t window = raw.idBase() | 1, context = raw.idBase() | 2;
  RawRequest create(big);
  create.b(1).b(0).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(64).s(64).s(0).s(1).i(0).i(0);
  if (!raw.send(create.done()).empty()) return 0;
  RawRequest glx(big);
  glx.b(major).b(kCreateContext).s(0).i(context).i(rootVisual(raw)).i(0).i(0).b(0).pad(3);
  if (!raw.send(glx.done()).empty()) return 0;
  RawBytes answer;
  if (!raw.roundTrip(RawRequest(big).b(major).b(kMakeCurrent).s(0).i(window).i(context).i(0).done(), answer).empty() ||
      answer[0] != 1)
    return 0;
  return rawGet32(answer, 8, big);
}

// The text of a string reply (length at 12, text at 32), without its NUL.
std::string replyText(const RawBytes &reply, bool big) {
  if (reply.size() < 32 || reply[0] != 1) return "(no reply)";
  size_t n = rawGet32(reply, 12, big);
  if (n == 0 || 32 + n > reply.size()) return "(bad length)";
  return std::string(reply.begin() + 32, reply.begin() + 32 + n - 1);
}

// Whether the reply a client got is the server's reply in the client's order by the layout
// ("b" byte, "s" 16 bits, "i" 32 bits, "I" 32 bits to the end; past it bytes as they are), the
// sequence number aside.
::testing::AssertionResult sameReply(const RawBytes &got, const RawBytes &server, bool big, const char *layout) {
  if (got.size() != server.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << server.size();
  size_t at = 0;
  for (const char *f = layout; *f && at < got.size(); f++) {
    size_t size = *f == 'b' ? 1 : *f == 's' ? 2 : 4;
    do {
      bool same = size == 1   ? got[at] == server[at]
                  : size == 2 ? at == 2 || rawGet16(got, at, big) == rawGet16(server, at, false)
                              : rawGet32(got, at, big) == rawGet32(server, at, false);
      if (!same) return ::testing::AssertionFailure() << "field at " << at << ": " << hexOf(got) << " vs " << hexOf(server);
      at += size;
    } while (*f == 'I' && at + 4 <= got.size());
  }
  if (!std::equal(got.begin() + at, got.end(), server.begin() + at))
    return ::testing::AssertionFailure() << "bytes from " << at << ": " << hexOf(got) << " vs " << hexOf(server);
  return ::testing::AssertionSuccess();
}

// GLX's major opcode on the X server itself (the capture holds the server's numbers).
uint8_t serverGlxMajor(const XvfbServer &xvfb) {
  RawClient direct;
  if (!direct.connect(xvfb.displayNumber(), 'l').empty()) return 0;
  return direct.queryExtension("GLX");
}

// What one client sent and got.
struct ClientRun {
  std::string version, vendor, extensions;
  RawBytes genRenderbuffers;  // the 1423 reply
};

// One client of the order through tarvo: the server strings, the render commands each in a
// GLXRender of its own, the large command in three pieces and GenRenderbuffers, whose reply
// comes after everything else has passed the relay.
void runClient(int display, char order, ClientRun &run) {
  bool big = order == 'B';
  RawClient raw;
  ASSERT_EQ(raw.connect(display, order), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(big).b(major).b(kQueryServerString).s(0).i(0).i(2).done(), answer), "");
  run.version = replyText(answer, big);
  EXPECT_EQ(rawGet32(answer, 4, big), (rawGet32(answer, 12, big) + 3) / 4);
  ASSERT_EQ(raw.roundTrip(RawRequest(big).b(major).b(kQueryServerString).s(0).i(0).i(1).done(), answer), "");
  run.vendor = replyText(answer, big);
  ASSERT_EQ(raw.roundTrip(RawRequest(big).b(major).b(kQueryExtensionsString).s(0).i(0).done(), answer), "");
  EXPECT_EQ(rawGet16(answer, 2, big), raw.sequence());
  run.extensions = replyText(answer, big);

  uint32_t tag = makeCurrentOnWindow(raw, major);
  ASSERT_NE(tag, 0u);
  for (const RenderCommand &command : renderCommands(big)) {
    RawRequest render(big);
    render.b(major).b(kRender).s(0).i(tag).d.insert(render.d.end(), command.bytes.begin(), command.bytes.end());
    ASSERT_EQ(raw.send(render.done()), "") << command.name;
  }
  RawBytes large = texImage2D(big);
  size_t from = 0;
  for (size_t k = 0; k < 3; k++) {
    RawRequest piece(big);
    piece.b(major).b(kRenderLarge).s(0).i(tag).s(uint16_t(k + 1)).s(3).i(uint32_t(kPieceEnds[k] - from));
    piece.d.insert(piece.d.end(), large.begin() + from, large.begin() + kPieceEnds[k]);
    ASSERT_EQ(raw.send(piece.done()), "");
    from = kPieceEnds[k];
  }
  RawRequest vendor(big);
  vendor.b(major).b(kVendorWithReply).s(0).i(kGenRenderbuffers).i(tag).i(2);
  ASSERT_EQ(raw.send(vendor.done()), "");
  uint16_t sequence = raw.sequence();
  ASSERT_EQ(raw.read(answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]) << " to request " << rawGet16(answer, 2, big);
  EXPECT_EQ(rawGet16(answer, 2, big), sequence);
  run.genRenderbuffers = answer;
  raw.close();
}

// The requests of one client's connection to Xvfb, by kind.
struct ServerSide {
  std::vector<Captured> renders, pieces, vendor;
};

ServerSide serverSide(const std::vector<Captured> &all, int conn) {
  ServerSide side;
  for (const Captured &c : all) {
    if (c.conn != conn) continue;
    if (c.minor() == kRender) side.renders.push_back(c);
    if (c.minor() == kRenderLarge) side.pieces.push_back(c);
    if (c.minor() == kVendorWithReply && c.request.size() >= 12 && rawGet32(c.request, 4, false) == kGenRenderbuffers)
      side.vendor.push_back(c);
  }
  return side;
}

// The Render request whose first command is the one given (length and opcode, our order).
const Captured *renderOf(const ServerSide &side, const RawBytes &command) {
  for (const Captured &c : side.renders)
    if (c.request.size() >= 12 && std::equal(command.begin(), command.begin() + 4, c.request.begin() + 8)) return &c;
  return nullptr;
}

// The large command put together again from its pieces, with "number/total:bytes" per piece.
RawBytes joined(const std::vector<Captured> &pieces, std::vector<std::string> &shape) {
  RawBytes out;
  for (const Captured &c : pieces) {
    if (c.request.size() < 16) continue;
    uint32_t n = rawGet32(c.request, 12, false);
    shape.push_back(std::to_string(rawGet16(c.request, 8, false)) + "/" + std::to_string(rawGet16(c.request, 10, false)) +
                    ":" + std::to_string(n));
    if (16 + size_t(n) <= c.request.size()) out.insert(out.end(), c.request.begin() + 16, c.request.begin() + 16 + n);
  }
  return out;
}

// One screen: an 'l' client, then a 'B' client with the same requests; glxinfo then reads the
// strings the configuration gives.
TEST(GlxSwapThroughTarvo, OtherOrderReachesTheServerAsOwnOrder) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string capture = xrelayTempDir() + "/capture.txt";
  XrelayServer relay;
  TarvoProcess tarvo;
  TarvoOptions options;
  options.arguments = {"screen", "%D.0", "glxVendorString", "Acme"};
  ASSERT_EQ(tarvoStartBehindRelay(xvfb, relay, tarvo, capture, 1, "320x240x24", true, options), "");
  uint8_t serverMajor = serverGlxMajor(xvfb);
  ASSERT_NE(serverMajor, 0);

  ClientRun little, bigRun;
  {
    SCOPED_TRACE("l");
    runClient(tarvo.displayNumber(), 'l', little);
  }
  {
    SCOPED_TRACE("B");
    runClient(tarvo.displayNumber(), 'B', bigRun);
  }
  if (HasFatalFailure()) return;
  for (const ClientRun *run : {&little, &bigRun}) {
    EXPECT_EQ(run->version, "1.4");
    EXPECT_EQ(run->vendor, "Acme");
    // The names in order: a 'B' client's text is not turned around in groups of four.
    EXPECT_EQ(run->extensions.rfind("GLX_", 0), 0u) << run->extensions;
  }
  EXPECT_EQ(bigRun.extensions, little.extensions);
  EXPECT_NE(little.extensions.find(" GLX_"), std::string::npos) << little.extensions;
  // Tarvo creates no context by attributes: the server's string must not offer it.
  EXPECT_EQ((" " + little.extensions + " ").find(" GLX_ARB_create_context "), std::string::npos) << little.extensions;

  std::string out = glxinfoCommandOutput("LIBGL_ALWAYS_INDIRECT=1 timeout 60 glxinfo -display '" +
                                         tarvo.displayName() + "' 2>&1; echo \"exit=$?\"");
  EXPECT_NE(out.find("exit=0"), std::string::npos) << out;
  EXPECT_EQ(out.find("X Error"), std::string::npos) << out;
  EXPECT_NE(out.find("server glx vendor string: Acme\n"), std::string::npos) << out;
  EXPECT_NE(out.find("server glx version string: 1.4\n"), std::string::npos) << out;
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();

  // The clients' connections are those that carried a large command, the 'l' client's first.
  std::vector<Captured> all = glxCaptured(capture, serverMajor);
  std::set<int> conns;
  for (const Captured &c : all)
    if (c.minor() == kRenderLarge) conns.insert(c.conn);
  ASSERT_EQ(conns.size(), 2u);
  ServerSide l = serverSide(all, *conns.begin()), b = serverSide(all, *conns.rbegin());
  // glxinfo (the connection after the clients', with its client information passed on to
  // Xvfb) got its GL strings from the meta screen: no GetString of its own reached Xvfb.
  std::set<int> glxinfoConns;
  for (const Captured &c : all)
    if (c.minor() == 20 && c.conn > *conns.rbegin()) glxinfoConns.insert(c.conn);
  ASSERT_EQ(glxinfoConns.size(), 1u);
  std::string getStrings;
  for (const Captured &c : all)
    if (c.minor() == 129 && glxinfoConns.count(c.conn)) getStrings += hexOf(c.request) + " ";
  EXPECT_EQ(getStrings, "");

  // Each render command reached Xvfb as the 'l' client wrote it, from either client, without an
  // error coming back.
  for (const RenderCommand &command : renderCommands(false)) {
    SCOPED_TRACE(command.name);
    const Captured *fromL = renderOf(l, command.bytes), *fromB = renderOf(b, command.bytes);
    ASSERT_NE(fromL, nullptr);
    ASSERT_NE(fromB, nullptr) << "no such command from the 'B' client";
    RawRequest written(false);
    written.b(serverMajor).b(kRender).s(0).i(0).d.insert(written.d.end(), command.bytes.begin(), command.bytes.end());
    RawBytes sent = written.done();
    EXPECT_EQ(hexOf(withoutTag(fromL->request, 4)), hexOf(sent));
    EXPECT_EQ(hexOf(withoutTag(fromB->request, 4)), hexOf(withoutTag(fromL->request, 4)));
    EXPECT_TRUE(fromL->answer.empty()) << hexOf(fromL->answer);
    EXPECT_TRUE(fromB->answer.empty()) << hexOf(fromB->answer);
  }

  // The large command: the same pieces, and together the command as written in our order.
  std::vector<std::string> shapeL, shapeB;
  RawBytes largeL = joined(l.pieces, shapeL), largeB = joined(b.pieces, shapeB);
  EXPECT_EQ(shapeB, shapeL);
  EXPECT_TRUE(largeL == texImage2D(false)) << largeL.size() << " bytes";
  EXPECT_TRUE(largeB == texImage2D(false)) << largeB.size() << " bytes";
  for (const std::vector<Captured> *pieces : {&l.pieces, &b.pieces})
    for (const Captured &c : *pieces) EXPECT_TRUE(c.answer.empty()) << hexOf(c.answer);

  // GenRenderbuffers: the same request (tag at 8 aside), and the 'B' client got Xvfb's reply
  // word by word in its order.
  ASSERT_EQ(l.vendor.size(), 1u);
  ASSERT_EQ(b.vendor.size(), 1u);
  EXPECT_EQ(hexOf(withoutTag(b.vendor[0].request, 8)), hexOf(withoutTag(l.vendor[0].request, 8)));
  EXPECT_EQ(rawGet32(l.vendor[0].request, 12, false), 2u);
  EXPECT_TRUE(sameReply(little.genRenderbuffers, l.vendor[0].answer, false, "bbsI"));
  EXPECT_TRUE(sameReply(bigRun.genRenderbuffers, b.vendor[0].answer, true, "bbsI"));
}

// A single operation of the two-head test: where its copies go ('Q' the reply head only, 'R'
// every head, 'L' none: tarvo answers it) and its reply's layout.
struct SingleOp {
  const char *name;
  uint8_t minor;
  char kind;
  const char *layout;
  std::vector<uint32_t> words;  // after the tag
};

const std::vector<SingleOp> kSingleOps = {
    {"GetIntegerv", 117, 'Q', "bbsI", {0x0D33}},  // GL_MAX_TEXTURE_SIZE
    {"GenLists", 104, 'R', "bbsiiii", {2}},
    {"IsEnabled", 140, 'Q', "bbsiiii", {0x0B71}},  // GL_DEPTH_TEST
    {"Finish", 108, 'R', "bbsiiii", {}},
    {"GenQueries", 162, 'R', "bbsI", {3}},
    {"GetString", 129, 'L', "bbsiii", {0x1F03}},  // GL_EXTENSIONS
    {"GetError", 115, 'Q', "bbsii", {}},
};
constexpr size_t kGetStringOp = 5;

// One client of the order sends the operations back to back, then GetInputFocus, and reads
// exactly one reply per request, in order; then nothing more comes.
void runSingleOps(int display, char order, std::vector<RawBytes> &replies) {
  bool big = order == 'B';
  RawClient raw;
  ASSERT_EQ(raw.connect(display, order), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t tag = makeCurrentOnWindow(raw, major);
  ASSERT_NE(tag, 0u);
  std::vector<uint16_t> sequences;
  for (const SingleOp &op : kSingleOps) {
    RawRequest r(big);
    r.b(major).b(op.minor).s(0).i(tag);
    for (uint32_t w : op.words) r.i(w);
    ASSERT_EQ(raw.send(r.done()), "") << op.name;
    sequences.push_back(raw.sequence());
  }
  ASSERT_EQ(raw.send(RawRequest(big).b(43).b(0).s(1).done()), "");  // GetInputFocus
  for (size_t k = 0; k <= kSingleOps.size(); k++) {
    const char *name = k < kSingleOps.size() ? kSingleOps[k].name : "GetInputFocus";
    RawBytes answer;
    ASSERT_EQ(raw.read(answer), "") << name;
    ASSERT_EQ(answer[0], 1) << name << ": error " << int(answer[1]);
    EXPECT_EQ(rawGet16(answer, 2, big), k < kSingleOps.size() ? sequences[k] : raw.sequence()) << name;
    replies.push_back(answer);
  }
  // The meta screen's extensions, not Xvfb's (empty for an indirect context).
  std::string extensions = replyText(replies[kGetStringOp], big);
  EXPECT_NE(extensions.find("GL_EXT_texture_object"), std::string::npos) << extensions;
  EXPECT_NE(extensions.find("GL_ARB_shader_objects"), std::string::npos) << extensions;
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(big).b(43).b(0).s(1).done(), answer), "");
  EXPECT_TRUE(raw.events().empty());
  raw.close();
}

// The copies of one client's operations on its connection to Xvfb: each head's tag is Xvfb's
// answer to one of the client's binding MakeCurrents there; a query goes to one head (the reply
// head), the others to both, GetString to none; every reply the client got is the reply head's,
// in the client's order.
void checkCopies(const std::vector<Captured> &all, int conn, uint8_t serverMajor, const std::vector<RawBytes> &replies,
                 bool big) {
  std::set<uint32_t> tags;
  for (const Captured &c : all)
    if (c.conn == conn && c.minor() == kMakeCurrent && c.request.size() >= 16 && rawGet32(c.request, 8, false) != 0 &&
        c.answer.size() >= 12 && c.answer[0] == 1)
      tags.insert(rawGet32(c.answer, 8, false));
  ASSERT_EQ(tags.size(), 2u);
  std::set<uint32_t> queryTags;
  for (const SingleOp &op : kSingleOps) {
    SCOPED_TRACE(op.name);
    std::vector<const Captured *> copies;
    for (const Captured &c : all)
      if (c.conn == conn && c.minor() == op.minor) copies.push_back(&c);
    std::multiset<uint32_t> copyTags;
    for (const Captured *c : copies) {
      copyTags.insert(rawGet32(c->request, 4, false));
      // The operation's own words, in our order.
      RawRequest expected(false);
      expected.b(serverMajor).b(op.minor).s(0).i(0);
      for (uint32_t w : op.words) expected.i(w);
      EXPECT_EQ(hexOf(withoutTag(c->request, 4)), hexOf(expected.done()));
    }
    if (op.kind == 'L') {
      EXPECT_TRUE(copies.empty());
    } else if (op.kind == 'Q') {
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_TRUE(tags.count(*copyTags.begin()));
      queryTags.insert(*copyTags.begin());
    } else {
      ASSERT_EQ(copies.size(), 2u);
      EXPECT_EQ(copyTags, std::multiset<uint32_t>(tags.begin(), tags.end()));
    }
  }
  ASSERT_EQ(queryTags.size(), 1u);
  for (size_t k = 0; k < kSingleOps.size(); k++) {
    if (kSingleOps[k].kind == 'L') continue;
    SCOPED_TRACE(kSingleOps[k].name);
    for (const Captured &c : all) {
      if (c.conn == conn && c.minor() == kSingleOps[k].minor && rawGet32(c.request, 4, false) == *queryTags.begin()) {
        EXPECT_TRUE(sameReply(replies[k], c.answer, big, kSingleOps[k].layout));
      }
    }
  }
}

// Two screens of one Xvfb as the two heads of one meta screen: an 'l' client, then a 'B' client,
// send single operations back to back; each reaches Xvfb as its kind says, under each head's
// own tag, and the client reads one reply per request, in order, the reply head's.
TEST(GlxSwapThroughTarvo, SingleOperationsOnTwoHeads) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string capture = xrelayTempDir() + "/capture.txt";
  XrelayServer relay;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindRelay(xvfb, relay, tarvo, capture, 2, "320x240x24", true), "");
  uint8_t serverMajor = serverGlxMajor(xvfb);
  ASSERT_NE(serverMajor, 0);

  std::vector<RawBytes> little, bigReplies;
  {
    SCOPED_TRACE("l");
    runSingleOps(tarvo.displayNumber(), 'l', little);
  }
  {
    SCOPED_TRACE("B");
    runSingleOps(tarvo.displayNumber(), 'B', bigReplies);
  }
  if (HasFatalFailure()) return;
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();

  // The clients' connections are those that carried GenQueries (tarvo's own binds a context
  // at start-up, but asks for no query objects), the 'l' client's first.
  std::vector<Captured> all = glxCaptured(capture, serverMajor);
  std::set<int> conns;
  for (const Captured &c : all)
    if (c.minor() == 162) conns.insert(c.conn);
  ASSERT_EQ(conns.size(), 2u);
  {
    SCOPED_TRACE("l");
    checkCopies(all, *conns.begin(), serverMajor, little, false);
  }
  {
    SCOPED_TRACE("B");
    checkCopies(all, *conns.rbegin(), serverMajor, bigReplies, true);
  }
}

}  // namespace
