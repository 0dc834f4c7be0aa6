// RENDER formats per head through the tarvo executable on two heads of one Xvfb, and the
// differential check (tests/fuzz/differential.py): request streams sent directly and through
// tarvo on two and four heads, which the server behind tarvo and tarvo must survive whenever the
// direct server does.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xrender.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kSoftLight = 0x38;

// The ids of the formats of the display (in its list order, screen by screen) that match.
std::vector<uint32_t> serverFormats(const std::string &display, unsigned depth, unsigned alphaMask, unsigned redMask,
                                    int redShift = 16) {
  std::vector<uint32_t> ids;
  Display *d = XOpenDisplay(display.c_str());
  if (!d) return ids;
  XRenderPictFormat templ{};
  for (int k = 0; XRenderPictFormat *f = XRenderFindFormat(d, 0, &templ, k); k++)
    if (f->type == PictTypeDirect && unsigned(f->depth) == depth && unsigned(f->direct.alphaMask) == alphaMask &&
        unsigned(f->direct.redMask) == redMask && (!redMask || f->direct.red == redShift))
      ids.push_back(uint32_t(f->id));
  XCloseDisplay(d);
  return ids;
}

// The values of `field=0x...` in the trace's lines that hold `request`, in order.
std::vector<uint32_t> traced(const std::string &trace, const std::string &request, const std::string &field) {
  std::vector<uint32_t> values;
  for (size_t at = trace.find(request); at != std::string::npos; at = trace.find(request, at + 1)) {
    size_t end = trace.find('\n', at), value = trace.find(" " + field + "=0x", at);
    if (value < end) values.push_back(uint32_t(strtoul(trace.c_str() + value + field.size() + 4, nullptr, 16)));
  }
  return values;
}

// Whether a new connection to the display gets a GetInputFocus answer.
bool answers(int displayNumber) {
  RawClient c;
  if (!c.connect(displayNumber, 'l').empty()) return false;
  RawBytes answer;
  return c.roundTrip(RawRequest(false).b(43).b(0).s(1).done(), answer).empty() && answer[0] == 1;
}

// A big-endian client with BIG-REQUESTS on two heads: a window on head 0, pixmaps of depth 32
// and 8 with a picture each, one TriFan of 12 KB (SoftLight, the depth-8 picture onto the
// depth-32 one, mask format A8, fixed-point coordinates up to 0x7fffffff). Each head's copy
// names the formats of its own screen; a mask format the proxy never offered (the real
// server's id of a format without alpha) is BadPictFormat and reaches no head; the Xvfb and
// tarvo answer afterwards.
TEST(RenderFormats, EachHeadGetsItsScreensFormats) {
  tarvoBlockSignals();
  XvfbServer xvfb;
  std::string trace = xrelayTempDir() + "/xtrace.txt";
  TarvoXtrace xtrace;
  TarvoProcess tarvo;
  ASSERT_EQ(tarvoStartBehindXtrace(xvfb, xtrace, tarvo, trace, 2, "640x480x24"), "");
  std::vector<uint32_t> a8 = serverFormats(xvfb.displayName(), 8, 0xff, 0);
  std::vector<uint32_t> argb = serverFormats(xvfb.displayName(), 32, 0xff, 0xff);
  std::vector<uint32_t> rgb = serverFormats(xvfb.displayName(), 24, 0, 0xff);
  ASSERT_EQ(a8.size(), 2u);
  ASSERT_EQ(argb.size(), 2u);
  ASSERT_FALSE(rgb.empty());

  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  const bool big = true;
  ASSERT_GT(c.enableBigRequests(), 0u);
  uint8_t render = c.queryExtension("RENDER");
  ASSERT_NE(render, 0);
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(big).b(render).b(0).s(0).i(0).i(11).done(), answer), "");
  ASSERT_EQ(c.roundTrip(RawRequest(big).b(render).b(1).s(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  uint32_t proxyA8 = 0, proxyArgb = 0;
  std::vector<uint32_t> offered;
  for (uint32_t k = 0; k < rawGet32(answer, 8, big) && 32 + 28 * (k + 1) <= answer.size(); k++) {
    size_t at = 32 + 28 * k;
    uint32_t id = rawGet32(answer, at, big);
    offered.push_back(id);
    bool alphaOnly = rawGet16(answer, at + 22, big) == 0xff && rawGet16(answer, at + 10, big) == 0;
    if (!proxyA8 && answer[at + 5] == 8 && alphaOnly) proxyA8 = id;
    if (!proxyArgb && answer[at + 5] == 32 && rawGet16(answer, at + 22, big) == 0xff && rawGet16(answer, at + 8, big) == 16)
      proxyArgb = id;
  }
  ASSERT_NE(proxyA8, 0u);
  ASSERT_NE(proxyArgb, 0u);
  uint32_t window = c.idBase() | 1, p32 = c.idBase() | 2, p8 = c.idBase() | 3, pic32 = c.idBase() | 4,
           pic8 = c.idBase() | 5;
  ASSERT_EQ(c.send(rawBigForm(RawRequest(big).b(1).b(0).s(0).i(window).i(c.rootWindow()).s(10).s(10).s(100).s(100)
                                  .s(0).s(1).i(0).i(0).done(), big)), "");
  ASSERT_EQ(c.send(rawBigForm(RawRequest(big).b(53).b(32).s(0).i(p32).i(window).s(32).s(32).done(), big)), "");
  ASSERT_EQ(c.send(rawBigForm(RawRequest(big).b(53).b(8).s(0).i(p8).i(window).s(16).s(16).done(), big)), "");
  ASSERT_EQ(c.send(rawBigForm(RawRequest(big).b(render).b(4).s(0).i(pic32).i(p32).i(proxyArgb).i(0).done(), big)), "");
  ASSERT_EQ(c.send(rawBigForm(RawRequest(big).b(render).b(4).s(0).i(pic8).i(p8).i(proxyA8).i(0).done(), big)), "");
  auto triFan = [&](uint32_t maskFormat) {
    RawRequest fan(big);
    fan.b(render).b(13).s(0).b(kSoftLight).pad(3).i(pic8).i(pic32).i(maskFormat).s(0).s(0);
    const uint32_t values[] = {0x7fffffff, 0, 0x00200000, 0x7ffffffe, 0x10000, 0x7fff0000};
    for (uint32_t k = 0; fan.d.size() < 12288; k++) fan.i(values[k % 6] - (k / 6) * 0x100);
    return rawBigForm(fan.done(), big);
  };
  ASSERT_EQ(c.send(triFan(proxyA8)), "");
  ASSERT_EQ(c.roundTrip(rawBigForm(RawRequest(big).b(43).b(0).s(1).done(), big), answer), "");
  EXPECT_EQ(answer[0], 1) << "error " << int(answer[1]) << " on request " << rawGet16(answer, 2, big);

  // The real server's id of a format without alpha, which the proxy does not offer.
  uint32_t foreign = 0;
  for (uint32_t id : rgb)
    if (std::find(offered.begin(), offered.end(), id) == offered.end()) foreign = id;
  ASSERT_NE(foreign, 0u);
  ASSERT_EQ(c.send(triFan(foreign)), "");
  uint16_t fanSequence = c.sequence();
  ASSERT_EQ(c.send(rawBigForm(RawRequest(big).b(43).b(0).s(1).done(), big)), "");
  uint8_t firstError = 0;
  {
    Display *d = XOpenDisplay(tarvo.displayName().c_str());
    ASSERT_NE(d, nullptr);
    int event = 0, error = 0;
    ASSERT_TRUE(XRenderQueryExtension(d, &event, &error));
    firstError = uint8_t(error);
    XCloseDisplay(d);
  }
  RawBytes error;
  do {
    ASSERT_EQ(c.read(answer), "");
    if (answer[0] == 0) error = answer;
  } while (answer[0] != 1);
  EXPECT_FALSE(error.empty()) << "the TriFan with a foreign mask format brought no error";
  if (!error.empty()) {
    EXPECT_EQ(rawGet16(error, 2, big), fanSequence);
    EXPECT_EQ(error[1], firstError);  // BadPictFormat
    EXPECT_EQ(rawGet32(error, 4, big), foreign);
  }

  // What went to the Xvfb: one TriFan per head, each with its screen's A8; each picture on
  // its screen's format.
  std::string text;
  for (int k = 0; k < 200 && traced(text, "TriFan", "maskFormat").size() < 2; k++) {
    usleep(50000);
    text = tarvoReadFile(trace);
  }
  EXPECT_EQ(traced(text, "TriFan", "maskFormat"), a8) << "the TriFan's copies";
  std::vector<uint32_t> formats = traced(text, "CreatePicture", "format");
  // The client's pictures are the last four made (tarvo's own, for cursors, come before them).
  ASSERT_GE(formats.size(), 4u);
  EXPECT_EQ(std::vector<uint32_t>(formats.end() - 4, formats.end()),
            (std::vector<uint32_t>{argb[0], argb[1], a8[0], a8[1]}));

  EXPECT_TRUE(answers(xvfb.displayNumber())) << "the Xvfb behind tarvo does not answer";
  EXPECT_TRUE(answers(tarvo.displayNumber())) << "tarvo does not answer";
  c.close();
  EXPECT_EQ(tarvo.stop(), 0);
}

}  // namespace

namespace {

// Runs the differential driver with the words (at most 280 s: it stops its servers when ended);
// its output, ending in "status N".
std::string differential(const std::string &words) {
  std::string command = "timeout 280 /usr/bin/python3 " + std::string(TARVO_SOURCE_DIR) +
                        "/tests/fuzz/differential.py --stop-on-failure --tarvo " + tarvoBinary() + " " + words +
                        " 2>&1; echo status $?";
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// Generated streams of both byte orders (RENDER on every depth and format with every operator
// and primitive, SHAPE, confined pointer grabs and warps across the borders) and the TriFan and
// confined-warp cases on two and four heads: whenever the direct Xvfb answers after a batch, the Xvfb behind
// tarvo and tarvo answer too, and tarvo ends cleanly.
TEST(RenderDifferential, SurvivesWhatTheDirectServerSurvives) {
  std::string out = differential("--seed 7 --batches 60 --heads 2,4");
  EXPECT_NE(out.find(" 0 failures"), std::string::npos) << out;
  EXPECT_NE(out.find("status 0"), std::string::npos) << out;
  EXPECT_NE(out.find("64 batches"), std::string::npos) << out;  // the two cases on 2 and 4 heads, 60 generated
}

// A window across the heads' border (x 540, 200x100) shaped to (0,0,150,80), the pointer grabbed
// confined to it, warps across the border: the server behind tarvo keeps answering.
TEST(RenderDifferential, ConfinedToShapedWindowAcrossTheBorder) {
  std::string out = differential("--only-cases --case confine-shaped-warp --heads 2 --answer-ms 10000");
  EXPECT_NE(out.find(" 0 failures"), std::string::npos) << out;
  EXPECT_NE(out.find("status 0"), std::string::npos) << out;
}

}  // namespace
