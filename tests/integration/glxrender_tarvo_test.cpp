// GLXRenderLarge through tarvo, with xtrace between tarvo and Xvfb (indirect GLX): a 500 x 300
// RGBA glTexImage2D sent by an xcb-glx client in 3 pieces reaches Xvfb as the proxy's own 4
// pieces (the 60-byte leading part, two full pieces and the rest), under Xvfb's context tag,
// nothing before the client's last piece; Xvfb accepts them. With two screens of one Xvfb as
// one meta screen, each head gets its own copy of each GLX request under its own ids and tag.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "glx_fixture.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

// The 600060-byte command: header, pixel-store and image fields, then the pixels.
std::vector<uint8_t> texImage2D(bool big) {
  const uint32_t words[] = {600060, 110, 0,      0,      0, 0, 4, 0x0DE1, 0, 0x1908,
                            500,    300, 0, 0x1908, 0x1401};
  RawRequest fields(big);
  for (uint32_t w : words) fields.i(w);
  std::vector<uint8_t> out(600060, 0x5a);
  memcpy(out.data(), fields.d.data(), fields.d.size());
  return out;
}

TEST(GlxRenderThroughTarvo, LargeCommandCutIntoTheProxysPieces) {
  if (access("/usr/bin/xtrace", X_OK) != 0) GTEST_SKIP() << "no xtrace";
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  TarvoXtrace xtrace;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindXtrace(xvfb, xtrace, tarvo, trace, 1, "1024x768x24", true), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  ASSERT_TRUE(glx && glx->present);
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  uint32_t tag = 0;
  ASSERT_EQ(glxXcbMakeCurrent(c, &tag), "");

  std::vector<uint8_t> command = texImage2D(false);
  for (uint16_t k = 0; k < 3; k++) {
    xcb_glx_render_large(c, tag, uint16_t(k + 1), 3, 200020, command.data() + 200020 * k);
    if (k == 1) free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (k == 1) usleep(200000);
    if (k == 1) {
      // Nothing of the command has left the proxy yet.
      EXPECT_EQ(tarvoReadFile(trace).find("RenderLarge"), std::string::npos);
    }
  }
  // Xvfb took the pieces: no error comes back.
  xcb_generic_error_t *error = xcb_request_check(c, xcb_glx_wait_gl_checked(c, tag));
  EXPECT_EQ(error, nullptr);
  free(error);
  xcb_visualid_t visual = screen->root_visual;
  xcb_disconnect(c);

  // The same from a client of the other byte order, with a Render of two header-only commands.
  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t rawTag = 0;
  ASSERT_EQ(glxRawMakeCurrent(raw, major, visual, &rawTag), "");
  RawBytes answer;
  ASSERT_EQ(raw.send(RawRequest(true).b(major).b(1).s(0).i(rawTag).s(4).s(23).s(4).s(23).done()), "");
  std::vector<uint8_t> bigCommand = texImage2D(true);
  for (uint16_t k = 0; k < 3; k++) {
    RawRequest large(true);
    large.b(major).b(2).s(0).i(rawTag).s(uint16_t(k + 1)).s(3).i(200020);
    large.d.insert(large.d.end(), bigCommand.begin() + 200020 * k, bigCommand.begin() + 200020 * (k + 1));
    ASSERT_EQ(raw.send(large.done()), "");
  }
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_TRUE(raw.events().empty());
  raw.close();

  // Until both clients' four pieces are in the trace (5 s at most).
  std::string text;
  for (int k = 0; k < 50; k++) {
    text = tarvoReadFile(trace);
    size_t pieceLines = 0;
    for (size_t at = 0; (at = text.find("glXRenderLarge context_tag", at)) != std::string::npos; at++) pieceLines++;
    if (pieceLines >= 8) break;
    usleep(100000);
  }
  // Each piece as xtrace prints it: connection, tag, number, total and byte count (hex).
  std::vector<std::string> pieces;
  std::map<std::string, std::string> pieceTags, givenTags;  // by xtrace's connection number
  std::regex piece("(\\d+):<:[0-9a-f]+:\\s*\\d+: GLX-Request\\(\\d+,2\\): glXRenderLarge context_tag=0x([0-9a-f]+) "
                   "req_num=0x([0-9a-f]+) req_tot=0x([0-9a-f]+) n=0x([0-9a-f]+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), piece); it != std::sregex_iterator(); ++it) {
    pieceTags[(*it)[1].str()] = (*it)[2].str();
    pieces.push_back(std::to_string(std::stoul((*it)[3].str(), nullptr, 16)) + "/" +
                     std::to_string(std::stoul((*it)[4].str(), nullptr, 16)) + ":" +
                     std::to_string(std::stoul((*it)[5].str(), nullptr, 16)));
  }
  std::regex reply("(\\d+):>:[0-9a-f]+:\\s*\\d+: Reply to glXMakeCurrent: new_context_tag=0x([0-9a-f]+)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), reply); it != std::sregex_iterator(); ++it)
    if ((*it)[1].str() != "001") givenTags.emplace((*it)[1].str(), (*it)[2].str());
  std::string lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find("GLX") != std::string::npos && line.rfind("001:", 0) != 0) lines += line.substr(0, 200) + "\n";
  const std::vector<std::string> four{"1/4:60", "2/4:262124", "3/4:262124", "4/4:75752"};
  std::vector<std::string> both = four;
  both.insert(both.end(), four.begin(), four.end());
  EXPECT_EQ(pieces, both) << lines;
  // Each client's pieces carry the tag Xvfb gave its connection.
  EXPECT_EQ(pieceTags.size(), 2u) << lines;
  EXPECT_EQ(pieceTags, givenTags) << lines;
  // The header-only commands of the 'B' client arrive in one 16-byte GLXRender.
  EXPECT_NE(text.find(": 16: GLX-Request(" + std::to_string(major) + ",1): glXRender"), std::string::npos) << lines;
}

// Two screens of one Xvfb as the heads of one meta screen, xtrace between tarvo and Xvfb: the
// context, MakeCurrent, Render and RenderLarge reach Xvfb once per head, each copy with that
// head's screen, ids and context tag; the client gets one MakeCurrent reply.
TEST(GlxRenderThroughTarvo, EachHeadGetsItsOwnCopy) {
  if (access("/usr/bin/xtrace", X_OK) != 0) GTEST_SKIP() << "no xtrace";
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  TarvoXtrace xtrace;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindXtrace(xvfb, xtrace, tarvo, trace, 2, "640x480x24", true), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  uint32_t visual = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root_visual;
  xcb_disconnect(c);

  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'l'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t window = raw.idBase() | 1, context = raw.idBase() | 2;
  RawRequest create(false);
  create.b(1).b(0).s(0).i(window).i(raw.rootWindow()).s(0).s(0).s(64).s(64).s(0).s(1).i(0).i(0);
  ASSERT_EQ(raw.send(create.done()), "");
  ASSERT_EQ(raw.send(RawRequest(false).b(major).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done()), "");
  ASSERT_EQ(raw.send(RawRequest(false).b(major).b(5).s(0).i(window).i(context).i(0).done()), "");
  RawBytes answer;
  ASSERT_EQ(raw.read(answer), "");
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, false), raw.sequence());
  uint32_t tag = rawGet32(answer, 8, false);
  // The next message is the next request's answer: one MakeCurrent reply, however many heads.
  ASSERT_EQ(raw.send(RawRequest(false).b(43).b(0).s(1).done()), "");
  ASSERT_EQ(raw.read(answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, false), raw.sequence());
  ASSERT_EQ(raw.send(RawRequest(false).b(major).b(1).s(0).i(tag).s(4).s(23).done()), "");  // glEnd
  ASSERT_EQ(raw.send(RawRequest(false).b(major).b(8).s(0).i(tag).done()), "");              // WaitGL
  std::vector<uint8_t> command = texImage2D(false);
  for (uint16_t k = 0; k < 3; k++) {
    RawRequest large(false);
    large.b(major).b(2).s(0).i(tag).s(uint16_t(k + 1)).s(3).i(200020);
    large.d.insert(large.d.end(), command.begin() + 200020 * k, command.begin() + 200020 * (k + 1));
    ASSERT_EQ(raw.send(large.done()), "");
  }
  // No error, and no reply of the proxy's own requests reaches the client.
  ASSERT_EQ(raw.send(RawRequest(false).b(43).b(0).s(1).done()), "");
  ASSERT_EQ(raw.read(answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, false), raw.sequence());
  raw.close();

  // The trace of the client's display connection (tarvo's own is 001), by sequence number.
  std::string text;
  for (int k = 0; k < 50; k++) {
    text = tarvoReadFile(trace);
    if (text.find("req_num=0x0004 req_tot=0x0004") != std::string::npos) break;
    usleep(100000);
  }
  // The lines holding the key are matched against the pattern (the whole trace, with tarvo's
  // set-up, is too long for a regular expression).
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("001:", 0) != 0) lines.push_back(line);
  std::string shown;  // what a failure prints: the client's GLX lines
  for (const std::string &line : lines)
    if (line.find("glX") != std::string::npos) shown += line.substr(0, 200) + "\n";
  auto each = [&](const std::string &key, const std::string &pattern,
                  const std::function<void(const std::smatch &)> &take) {
    std::regex re(pattern);
    std::smatch m;
    for (const std::string &line : lines)
      if (line.find(key) != std::string::npos && std::regex_search(line, m, re)) take(m);
  };
  auto hex = [](const std::ssub_match &m) { return uint32_t(std::stoul(m.str(), nullptr, 16)); };
  const std::string head = "(\\d+):<:([0-9a-f]+):\\s*\\d+: ";
  std::map<uint32_t, uint32_t> visualOfWindow;                   // the copies of client windows
  std::map<uint32_t, uint32_t> contextOfScreen, visualOfScreen;  // by Xvfb screen
  each("CreateWindow", head + "Request\\(1\\): CreateWindow depth=0x[0-9a-f]+ window=0x([0-9a-f]+) .* visual=0x([0-9a-f]+)",
       [&](const std::smatch &m) { visualOfWindow[hex(m[3])] = hex(m[4]); });
  each("glXCreateContext", head + "GLX-Request\\(\\d+,3\\): glXCreateContext context=0x([0-9a-f]+) visual_id=(\\d+) screen=0x([0-9a-f]+)",
       [&](const std::smatch &m) {
         uint32_t s = hex(m[5]);
         ASSERT_LT(s, 2u);
         EXPECT_FALSE(contextOfScreen.count(s)) << "screen " << s;
         contextOfScreen[s] = hex(m[3]);
         visualOfScreen[s] = uint32_t(std::stoul(m[4].str()));
       });
  ASSERT_EQ(contextOfScreen.size(), 2u) << shown;
  EXPECT_NE(contextOfScreen[0], contextOfScreen[1]);
  std::map<uint32_t, uint32_t> screenOfSequence, tagOfScreen, drawableOfScreen;
  const std::string makeCurrent =
      head + "GLX-Request\\(\\d+,5\\): glXMakeCurrent drawable=0x([0-9a-f]+) context=0x([0-9a-f]+) "
             "old_context_tag=0x([0-9a-f]+)";
  each("glXMakeCurrent", makeCurrent,
       [&](const std::smatch &m) {
         if (hex(m[4]) == 0 || hex(m[5]) != 0) return;  // not the client's bind
         for (uint32_t s = 0; s < 2; s++)
           if (hex(m[4]) == contextOfScreen[s]) {
             // The head's copy of the window, of the visual the head's context has.
             ASSERT_TRUE(visualOfWindow.count(hex(m[3]))) << "screen " << s;
             EXPECT_EQ(visualOfWindow[hex(m[3])], visualOfScreen[s]) << "screen " << s;
             drawableOfScreen[s] = hex(m[3]);
             screenOfSequence[hex(m[2])] = s;
           }
       });
  ASSERT_EQ(screenOfSequence.size(), 2u) << shown;
  EXPECT_NE(drawableOfScreen[0], drawableOfScreen[1]);
  each("Reply to glXMakeCurrent", "(\\d+):>:([0-9a-f]+):\\s*\\d+: Reply to glXMakeCurrent: new_context_tag=0x([0-9a-f]+)",
       [&](const std::smatch &m) {
         if (screenOfSequence.count(hex(m[2]))) tagOfScreen[screenOfSequence[hex(m[2])]] = hex(m[3]);
       });
  ASSERT_EQ(tagOfScreen.size(), 2u) << shown;
  std::multiset<uint32_t> renderTags, waitTags, given{tagOfScreen[0], tagOfScreen[1]};
  each("glXRender", head + "GLX-Request\\(\\d+,1\\): glXRender context_tag=0x([0-9a-f]+)",
       [&](const std::smatch &m) { renderTags.insert(hex(m[3])); });
  each("glXWaitGL", head + "GLX-Request\\(\\d+,8\\): glXWaitGL context_tag=0x([0-9a-f]+)",
       [&](const std::smatch &m) { waitTags.insert(hex(m[3])); });
  EXPECT_EQ(renderTags, given) << shown;
  EXPECT_EQ(waitTags, given) << shown;

  // The large command is replayed per head in the proxy's pieces under the head's tag, each
  // head's pieces after a MakeCurrent that binds that head's context again (the heads share
  // one connection to Xvfb).
  std::map<uint32_t, std::string> piecesOfTag;
  uint32_t boundTag = 0;
  std::regex rebind(makeCurrent), piece(head + "GLX-Request\\(\\d+,2\\): glXRenderLarge context_tag=0x([0-9a-f]+) "
                                                "req_num=0x([0-9a-f]+) req_tot=0x([0-9a-f]+) n=0x([0-9a-f]+)");
  std::smatch m;
  for (const std::string &line : lines) {
    if (line.find("glXMakeCurrent") != std::string::npos && std::regex_search(line, m, rebind) && hex(m[5])) {
      for (uint32_t s = 0; s < 2; s++)
        if (hex(m[4]) == contextOfScreen[s] && hex(m[5]) == tagOfScreen[s]) boundTag = tagOfScreen[s];
    } else if (line.find("glXRenderLarge") != std::string::npos && std::regex_search(line, m, piece)) {
      EXPECT_EQ(hex(m[3]), boundTag) << line;
      piecesOfTag[hex(m[3])] += std::to_string(hex(m[4])) + "/" + std::to_string(hex(m[5])) + ":" +
                                std::to_string(hex(m[6])) + " ";
    }
  }
  const std::string four = "1/4:60 2/4:262124 3/4:262124 4/4:75752 ";
  EXPECT_EQ(piecesOfTag, (std::map<uint32_t, std::string>{{tagOfScreen[0], four}, {tagOfScreen[1], four}})) << shown;
}

}  // namespace
