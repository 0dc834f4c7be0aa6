// GLXRenderLarge through tarvo, with xtrace between tarvo and Xvfb (indirect GLX): a 500 x 300
// RGBA glTexImage2D sent by an xcb-glx client in 3 pieces reaches Xvfb as the proxy's own 4
// pieces (the 60-byte leading part, two full pieces and the rest), under Xvfb's context tag,
// nothing before the client's last piece; Xvfb accepts them.
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <xcb/glx.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

int freeDisplayNumber() {
  for (int n = 600 + getpid() % 200; n < 1000; n++)
    if (access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) != 0 &&
        access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0)
      return n;
  return 0;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

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
  XvfbOptions x;
  x.iglx = true;
  x.extraArguments = {"-nolisten", "tcp"};
  ASSERT_EQ(xvfb.start(x), "");
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  int traced = freeDisplayNumber();
  ASSERT_NE(traced, 0);
  std::string name = ":" + std::to_string(traced);
  pid_t xtrace = xrelaySpawn({"/usr/bin/xtrace", "-n", "-k", "-d", xvfb.displayName(), "-D", name, "-o", trace});
  ASSERT_GT(xtrace, 0);
  struct End {
    pid_t pid;
    ~End() { xrelayEnd(pid); }
  } end{xtrace};
  for (int k = 0; k < 100 && access(("/tmp/.X11-unix/X" + std::to_string(traced)).c_str(), F_OK) != 0; k++)
    usleep(50000);
  TarvoProcess tarvo;
  ASSERT_EQ(tarvo.start(name), "");

  xcb_connection_t *c = xcb_connect(tarvo.displayName().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(c));
  const xcb_query_extension_reply_t *glx = xcb_get_extension_data(c, &xcb_glx_id);
  ASSERT_TRUE(glx && glx->present);
  xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t window = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 64, 64, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, 0, nullptr);
  uint32_t context = xcb_generate_id(c);
  xcb_generic_error_t *error =
      xcb_request_check(c, xcb_glx_create_context_checked(c, context, screen->root_visual, 0, 0, 0));
  ASSERT_EQ(error, nullptr);
  auto *current = xcb_glx_make_current_reply(c, xcb_glx_make_current(c, window, context, 0), nullptr);
  ASSERT_NE(current, nullptr);
  uint32_t tag = current->context_tag;
  free(current);

  std::vector<uint8_t> command = texImage2D(false);
  for (uint16_t k = 0; k < 3; k++) {
    xcb_glx_render_large(c, tag, uint16_t(k + 1), 3, 200020, command.data() + 200020 * k);
    if (k == 1) free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (k == 1) usleep(200000);
    if (k == 1) {
      // Nothing of the command has left the proxy yet.
      EXPECT_EQ(readFile(trace).find("RenderLarge"), std::string::npos);
    }
  }
  // Xvfb took the pieces: no error comes back.
  error = xcb_request_check(c, xcb_glx_wait_gl_checked(c, tag));
  EXPECT_EQ(error, nullptr);
  free(error);
  xcb_visualid_t visual = screen->root_visual;
  xcb_disconnect(c);

  // The same from a client of the other byte order, with a Render of two header-only commands.
  RawClient raw;
  ASSERT_EQ(raw.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = raw.queryExtension("GLX");
  ASSERT_NE(major, 0);
  uint32_t rawContext = raw.idBase() | 1;
  ASSERT_EQ(raw.send(RawRequest(true).b(major).b(3).s(0).i(rawContext).i(visual).i(0).i(0).b(0).pad(3).done()), "");
  RawBytes answer;
  ASSERT_EQ(raw.roundTrip(RawRequest(true).b(major).b(5).s(0).i(raw.rootWindow()).i(rawContext).i(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  uint32_t rawTag = rawGet32(answer, 8, true);
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

  std::string text;
  for (int k = 0; k < 50; k++) {
    text = readFile(trace);
    if (text.find("request_number=4") != std::string::npos) break;
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

}  // namespace
