// Properties, selections and sent events through the tarvo executable, on one screen and on two
// screens joined into one meta screen: xprop sets and removes a property of the root, which the
// real server keeps once, on the head's window that stands for the root (the real roots never
// see it); the names a client gives its window name it in tarvo's log; two clients trade a
// selection, and a retained client's selection is given up; a property written by a
// most-significant-byte-first client reads the same for a native client, and its 16-bit items
// come back to the writer in its own order.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "twinrun_fixture.h"
#include "xvfb_fixture.h"

namespace {

const std::string kScripts = TARVO_SOURCE_DIR "/tests/integration/scripts/";

// How many windows of the display (every screen's tree) carry the property.
int windowsWithProperty(Display *display, Atom property) {
  int found = 0;
  std::vector<Window> pending;
  for (int s = 0; s < ScreenCount(display); s++) pending.push_back(RootWindow(display, s));
  while (!pending.empty()) {
    Window w = pending.back();
    pending.pop_back();
    int count = 0;
    Atom *atoms = XListProperties(display, w, &count);
    for (int i = 0; i < count; i++)
      if (atoms[i] == property) found++;
    if (atoms) XFree(atoms);
    Window root, parent, *children = nullptr;
    unsigned n = 0;
    if (XQueryTree(display, w, &root, &parent, &children, &n)) {
      pending.insert(pending.end(), children, children + n);
      if (children) XFree(children);
    }
  }
  return found;
}

class PropertiesThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    screens = GetParam();
    TarvoOptions options;
    options.logTypes = {"steps", "Clients"};
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, screens, "640x480x24", options), "");
    // A native client through the proxy for the whole test, and the real display direct.
    proxied = XOpenDisplay(tarvo.displayName().c_str());
    ASSERT_NE(proxied, nullptr);
    real = XOpenDisplay(xvfb.displayName().c_str());
    ASSERT_NE(real, nullptr);
  }
  void TearDown() override {
    if (proxied) XCloseDisplay(proxied);
    if (real) XCloseDisplay(real);
    if (HasFailure()) ADD_FAILURE() << tarvo.log();
    // A sanitizer build's tarvo ends with a failure status on a leak or a bad access.
    EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  }
  // Runs the shell command with %P the proxy's display name and %R the real display's.
  std::string run(std::string command) {
    for (size_t at; (at = command.find("%P")) != std::string::npos;) command.replace(at, 2, tarvo.displayName());
    for (size_t at; (at = command.find("%R")) != std::string::npos;) command.replace(at, 2, xvfb.displayName());
    return twinRunCommand(command + " 2>&1");
  }

  int screens = 1;
  XvfbServer xvfb;
  TarvoProcess tarvo;
  Display *proxied = nullptr, *real = nullptr;
};

TEST_P(PropertiesThroughTarvo, XpropSetsReadsAndRemovesARootPropertyThatTheRealRootsNeverSee) {
  EXPECT_EQ(run("xprop -display %P -root -f TEST_PROP 8s -set TEST_PROP hello"), "");
  EXPECT_EQ(run("xprop -display %P -root TEST_PROP"), "TEST_PROP(STRING) = \"hello\"\n");
  for (int s = 0; s < screens; s++) {
    std::string direct = run("xprop -display %R." + std::to_string(s) + " -root TEST_PROP");
    EXPECT_EQ(direct.find("hello"), std::string::npos) << direct;
    EXPECT_NE(direct.find("not found"), std::string::npos) << direct;
  }
  Atom atom = XInternAtom(real, "TEST_PROP", True);
  ASSERT_NE(atom, Atom(None));
  EXPECT_EQ(windowsWithProperty(real, atom), 1) << "one copy on the real server, whatever the heads";
  EXPECT_EQ(run("xprop -display %P -root -remove TEST_PROP"), "");
  EXPECT_EQ(run("xprop -display %P -root TEST_PROP"), "TEST_PROP:  not found.\n");
  EXPECT_EQ(windowsWithProperty(real, atom), 0);
}

TEST_P(PropertiesThroughTarvo, TheFirstNamesAClientGivesItsWindowNameItInTheLog) {
  const std::string program = std::string("a program name of forty bytes, 123456789").substr(0, 31);
  const std::string classText = std::string("AClassNameOfMoreThanThirtyOneBytes").substr(0, 31);
  std::string out = run("/usr/bin/python3 " + kScripts + "property_names.py %P name");
  EXPECT_NE(out.find("name second name\n"), std::string::npos) << out;
  EXPECT_NE(out.find("done\n"), std::string::npos) << out;
  EXPECT_TRUE(tarvo.waitForLog(" stopped (" + program + " DestroyAll", 5000)) << "the first WM_NAME, cut to 31";
  out = run("/usr/bin/python3 " + kScripts + "property_names.py %P class");
  EXPECT_NE(out.find("class ('instance', 'AClassNameOfMoreThanThirtyOneBytes')\n"), std::string::npos) << out;
  EXPECT_TRUE(tarvo.waitForLog(" stopped (" + classText + " DestroyAll", 5000)) << "WM_CLASS's class, cut to 31";
  EXPECT_EQ(tarvo.log().find("stopped (second name"), std::string::npos);
}

TEST_P(PropertiesThroughTarvo, TwoClientsTradeASelection) {
  std::string out = run("/usr/bin/python3 " + kScripts + "selection_pair.py %P");
  EXPECT_EQ(out,
            "owner before 0\n"
            "owner is the owner window True\n"
            "owner as the owner sees it True\n"
            "request True\n"
            "request requestor is the requestor window True\n"
            "request owner is the owner window True\n"
            "request names True True True\n"
            "notify True\n"
            "notify sent True requestor True property True\n"
            "value 8 b'selected text'\n"
            "owner after the owner left 0\n");
  // The same script straight on the real server says the same.
  EXPECT_EQ(run("/usr/bin/python3 " + kScripts + "selection_pair.py %R"), out);
}

// A client that leaves with RetainTemporary keeps its window on the real server, but not the
// selection it owned, as with the real server alone.
TEST_P(PropertiesThroughTarvo, ARetainedClientsSelectionIsGivenUp) {
  std::string out = run("/usr/bin/python3 " + kScripts + "retained_selection.py %P");
  EXPECT_EQ(out, "owner after the retained close None\nwindow kept True\n");
  EXPECT_EQ(run("/usr/bin/python3 " + kScripts + "retained_selection.py %R"), out);
  Atom selection = XInternAtom(proxied, "TARVO_TEST_RETAINED", False);
  EXPECT_EQ(XGetSelectionOwner(proxied, selection), Window(None)) << "the proxy's other clients see it too";
}

TEST_P(PropertiesThroughTarvo, ShortsOfAnMsbFirstClientReadTheSameForANativeClient) {
  RawClient big;
  ASSERT_EQ(big.connect(tarvo.displayNumber(), 'B'), "");
  const std::string name = "TARVO_TEST_SHORTS";
  RawBytes answer;
  RawBytes intern = RawRequest(true).b(16).b(0).s(0).s(uint32_t(name.size())).s(0).text(name).align().done();
  ASSERT_EQ(big.roundTrip(intern, answer), "");
  ASSERT_EQ(answer[0], 1);
  const uint32_t atom = rawGet32(answer, 8, true);
  const uint32_t root = big.rootWindow();
  const std::vector<uint16_t> values{0x0102, 0xa0b0, 0x7fff};
  RawRequest change(true);
  change.b(18).b(0).s(0).i(root).i(atom).i(XA_INTEGER).b(16).pad(3).i(uint32_t(values.size()));
  for (uint16_t v : values) change.s(v);
  ASSERT_EQ(big.send(change.done()), "");
  // GetProperty by the writer: the reply's 16-bit items in its order.
  ASSERT_EQ(big.roundTrip(RawRequest(true).b(20).b(0).s(0).i(root).i(atom).i(0).i(0).i(100).done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "error " << int(answer[1]);
  EXPECT_EQ(answer[1], 16);
  EXPECT_EQ(rawGet32(answer, 8, true), uint32_t(XA_INTEGER));
  ASSERT_EQ(rawGet32(answer, 16, true), values.size());
  ASSERT_GE(answer.size(), 32 + 2 * values.size());
  for (size_t i = 0; i < values.size(); i++) EXPECT_EQ(rawGet16(answer, 32 + 2 * i, true), values[i]) << i;

  // A native client through the proxy.
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char *data = nullptr;
  ASSERT_EQ(XGetWindowProperty(proxied, DefaultRootWindow(proxied), Atom(atom), 0, 100, False, AnyPropertyType, &type,
                               &format, &count, &after, &data),
            Success);
  EXPECT_EQ(type, Atom(XA_INTEGER));
  EXPECT_EQ(format, 16);
  ASSERT_EQ(count, values.size());
  for (size_t i = 0; i < values.size(); i++) EXPECT_EQ(uint16_t(reinterpret_cast<short *>(data)[i]), values[i]) << i;
  if (data) XFree(data);
  EXPECT_EQ(windowsWithProperty(real, Atom(atom)), 1);
  for (int s = 0; s < screens; s++) {
    data = nullptr;
    XGetWindowProperty(real, RootWindow(real, s), Atom(atom), 0, 100, False, AnyPropertyType, &type, &format, &count,
                       &after, &data);
    EXPECT_EQ(type, Atom(None)) << "real root of screen " << s;
    if (data) XFree(data);
  }

  // DeleteProperty by the writer; the native client finds nothing.
  ASSERT_EQ(big.send(RawRequest(true).b(19).b(0).s(0).i(root).i(atom).done()), "");
  ASSERT_EQ(big.roundTrip(RawRequest(true).b(43).b(0).s(0).done(), answer), "");
  EXPECT_EQ(answer[0], 1) << "no error on the way";
  data = nullptr;
  XGetWindowProperty(proxied, DefaultRootWindow(proxied), Atom(atom), 0, 100, False, AnyPropertyType, &type, &format,
                     &count, &after, &data);
  EXPECT_EQ(type, Atom(None));
  if (data) XFree(data);
  EXPECT_EQ(windowsWithProperty(real, Atom(atom)), 0);
}

INSTANTIATE_TEST_SUITE_P(Screens, PropertiesThroughTarvo, ::testing::Values(1, 2));

}  // namespace
