// The remote-control library's typing, hot keys and saved keyboard on Xvfb (US map), judged by
// a focus window of another client, xmodmap and xset.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "xclient/xrclibhotkeys.h"
#include "xclient/xrclibinput.h"
#include "xclient/xrclibkeymap.h"
#include "xclient/xrclibkeys.h"
#include "xclient/xrclibdevices.h"
#include "support/strings.h"
#include "xrclib_fixture.h"

#define XK_MISCELLANY
#include <X11/keysym.h>

namespace {

constexpr unsigned kShiftL = 50, kA = 38, kQ = 24, kReturn = 36, kCapsLock = 66, kNumLock = 77;

// Reads the display's events: mapping changes refresh Xlib's caches, key presses go to the
// hot keys.
int handleEvent(Display *display, XEvent *event, void *) {
  if (event->type == MappingNotify) xrcRefreshMapping(display, &event->xmapping);
  if (event->type == KeyPress) xrcDispatchHotkey(display, &event->xkey);
  return 0;
}

void pump(Display *display, int ms = 150) {
  XSync(display, False);
  xrcPumpEvents(display, handleEvent, nullptr, ms);
}

std::string run(const std::string &command) { return xrelayRun(command); }

class XrclibKeysTest : public XrcFocusTest {
 protected:
  // Strokes Return as a marker and returns the window's key lines up to it.
  std::vector<std::string> keyLinesUntilMarker() {
    EXPECT_EQ(xrcStrokeKey(s_.display, kXrcKeyboard, XK_Return), nullptr);
    EXPECT_TRUE(window_.saw("KeyRelease " + std::to_string(kReturn)));
    std::vector<std::string> keys;
    for (const std::string &line : window_.lines()) {
      if (line.rfind("Key", 0) == 0) keys.push_back(line);
    }
    return keys;
  }
  std::string xmodmap(const std::string &arguments) {
    std::string out = run("xmodmap -display " + s_.xvfb.displayName() + " " + arguments);
    pump(s_.display);
    // Xlib's keyboard extension takes the change in silently: tell the library as a
    // MappingNotify would.
    XMappingEvent event{};
    event.type = MappingNotify;
    event.display = s_.display;
    event.request = MappingKeyboard;
    event.first_keycode = 8;
    event.count = 248;
    xrcRefreshMapping(s_.display, &event);
    return out;
  }
};

TEST_F(XrclibKeysTest, TypingSetsAndDropsShift) {
  Display *d = s_.display;
  ASSERT_EQ(xrcTypeLatin1(d, kXrcKeyboard, "Aa"), nullptr);
  std::vector<std::string> keys = keyLinesUntilMarker();
  std::vector<std::string> expected = {
      "KeyPress 50", "KeyPress 38", "KeyRelease 38",   // "A": Shift, then a
      "KeyRelease 50", "KeyPress 38", "KeyRelease 38",  // "a": Shift released first
      "KeyPress 36", "KeyRelease 36"};                  // the marker: Return, once
  EXPECT_EQ(keys, expected);
  char down[32];
  XQueryKeymap(d, down);
  EXPECT_TRUE(std::all_of(down, down + 32, [](char c) { return c == 0; }));
  EXPECT_EQ(xErrors, 0);
}

TEST_F(XrclibKeysTest, KeysymsMissingUntilMapped) {
  Display *d = s_.display;
  std::string name = localName(s_.xvfb.displayName());
  const char *error = xrcTypeUtf8(d, kXrcKeyboard, "\xc3\xb1");
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "No keysym 'ntilde' in keyboard mapping on display " + name);
  error = xrcTypeChar(d, kXrcKeyboard, 0x263a);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "No keysym 'U263A' in keyboard mapping on display " + name);

  xmodmap("-e 'keycode 200 = ntilde Ntilde' -e 'keycode 201 = U263A'");
  EXPECT_EQ(xrcKeycodeOfKeysym(d, 0xf1), 200u);
  EXPECT_EQ(xrcTypeUtf8(d, kXrcKeyboard, "\xc3\xb1"), nullptr);
  EXPECT_EQ(xrcTypeChar(d, kXrcKeyboard, 0x263a), nullptr);
  // Cut inside a sequence, and a surrogate: typed up to there.
  EXPECT_EQ(xrcTypeUtf8(d, kXrcKeyboard, "q\xc3"), nullptr);
  EXPECT_EQ(xrcTypeUtf8(d, kXrcKeyboard, "\xe2\x98\xba\xed\xa0\x80q"), nullptr);
  std::vector<std::string> keys = keyLinesUntilMarker();
  std::vector<std::string> expected = {"KeyPress 200", "KeyRelease 200", "KeyPress 201",
                                       "KeyRelease 201", "KeyPress 24",  "KeyRelease 24",
                                       "KeyPress 201", "KeyRelease 201", "KeyPress 36",
                                       "KeyRelease 36"};
  EXPECT_EQ(keys, expected);
  XKeyEvent event{};
  event.keycode = 200;
  EXPECT_TRUE(xrcKeyMatchesChar(d, &event, 0xf1));
  EXPECT_FALSE(xrcKeyMatchesChar(d, &event, 'a'));
  EXPECT_GE(xrcCounters.refreshes.load(), 1u);
}

TEST_F(XrclibKeysTest, ModifiersAndFacts) {
  Display *d = s_.display;
  EXPECT_EQ(xrcMinKeycode(d, kXrcKeyboard), 8);
  EXPECT_EQ(xrcMaxKeycode(d, kXrcKeyboard), 255);
  EXPECT_EQ(xrcKeycodeCount(d, kXrcKeyboard), 248);
  EXPECT_EQ(xrcKeycodeCount(d, 7), 0);
  EXPECT_EQ(xrcPointerButtonCount(d, kXrcMouse), xrcGetOption(d, kXrcOptionButtons));
  EXPECT_EQ(xrcPointerButtonCount(d, kXrcKeyboard), 0);
  struct Name {
    const char *name;
    unsigned mask;
  } names[] = {{"Shift", ShiftMask}, {"SHFT", ShiftMask}, {"Ctrl", ControlMask},
               {"Lock", LockMask},   {"Mod3", Mod3Mask},  {"Meta", Mod1Mask},
               {"Option", Mod1Mask}, {"Super", Mod4Mask}, {"Win", Mod4Mask},
               {"Hyper", Mod4Mask},  {"AltGr", Mod5Mask}, {"Nonsense", 0}};
  for (const Name &n : names) EXPECT_EQ(xrcModifierByName(d, n.name), n.mask) << n.name;
  EXPECT_EQ(xrcModifierOfKeysym(d, XK_Num_Lock), unsigned(Mod2Mask));
  EXPECT_EQ(xrcKeycodeOfKeysym(d, XK_KP_Enter), 104u);
  EXPECT_EQ(xrcKeycodeOfKeysym(d, XK_Return), kReturn);

  ASSERT_EQ(xrcSetModifiers(d, kXrcKeyboard, ShiftMask | LockMask), nullptr);
  EXPECT_EQ(xrcModifierState(d, kXrcKeyboard) & 0xff, unsigned(ShiftMask | LockMask));
  EXPECT_TRUE(xrcKeyIsDown(d, kXrcKeyboard, kShiftL));
  EXPECT_FALSE(xrcKeyIsDown(d, kXrcKeyboard, kCapsLock));  // stroked, not held
  EXPECT_EQ(xrcFirstDownKey(d, kXrcKeyboard), 0u);          // Shift does not count
  ASSERT_EQ(xrcSetModifiers(d, kXrcKeyboard, 0), nullptr);
  EXPECT_EQ(xrcModifierState(d, kXrcKeyboard) & 0xff, 0u);
  char down[32];
  XQueryKeymap(d, down);
  EXPECT_TRUE(std::all_of(down, down + 32, [](char c) { return c == 0; }));

  ASSERT_EQ(xrcPressModifiers(d, kXrcKeyboard, ControlMask | Mod1Mask), nullptr);
  EXPECT_EQ(xrcModifierState(d, kXrcKeyboard) & 0xff, unsigned(ControlMask | Mod1Mask));
  ASSERT_EQ(xrcPressKey(d, kXrcKeyboard, kA), nullptr);
  EXPECT_EQ(xrcFirstDownKey(d, kXrcKeyboard), KeySym('a'));
  ASSERT_EQ(xrcReleaseKey(d, kXrcKeyboard, kA), nullptr);
  ASSERT_EQ(xrcReleaseModifiers(d, kXrcKeyboard, ControlMask | Mod1Mask), nullptr);
  EXPECT_EQ(xrcModifierState(d, kXrcKeyboard) & 0xff, 0u);
  EXPECT_EQ(xErrors, 0);
}

int fired[3];
void countFire(Display *, void *argument) { fired[reinterpret_cast<intptr_t>(argument)]++; }

TEST_F(XrclibKeysTest, HotKeys) {
  Display *d = s_.display;
  std::string name = localName(s_.xvfb.displayName());
  fired[0] = fired[1] = fired[2] = 0;
  ASSERT_EQ(xrcAddHotkey(d, -1, "Control+q", countFire, reinterpret_cast<void *>(0)), nullptr);
  ASSERT_EQ(xrcAddHotkey(d, -1, "Shift", countFire, reinterpret_cast<void *>(1)), nullptr);
  XSync(d, False);
  for (unsigned lock : {kCapsLock, kNumLock, 0u}) {
    if (lock) {
      xrcPressKey(d, kXrcKeyboard, lock);
      xrcReleaseKey(d, kXrcKeyboard, lock);
    }
    int before = fired[0];
    ASSERT_EQ(xrcEnterHotkey(d, kXrcKeyboard, "Control+q"), nullptr);
    pump(d);
    EXPECT_EQ(fired[0], before + 1) << "lock key " << lock;
  }
  int shiftBefore = fired[1];
  ASSERT_EQ(xrcEnterHotkey(d, kXrcKeyboard, "Shift_L"), nullptr);
  pump(d);
  EXPECT_GT(fired[1], shiftBefore);
  xrcRemoveHotkeys(d);
  // Caps Lock and Num Lock off again (each was stroked once above).
  for (unsigned lock : {kCapsLock, kNumLock}) {
    xrcPressKey(d, kXrcKeyboard, lock);
    xrcReleaseKey(d, kXrcKeyboard, lock);
  }

  // Another client holds Control+Lock+q: registering Control+q grabs nothing at all.
  Display *other = XOpenDisplay(s_.xvfb.displayName().c_str());
  ASSERT_NE(other, nullptr);
  XGrabKey(other, kQ, ControlMask | LockMask, DefaultRootWindow(other), True, GrabModeAsync,
           GrabModeAsync);
  XSync(other, False);
  const char *error = xrcAddHotkey(d, -1, "Control+q", countFire, reinterpret_cast<void *>(2));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Hotkey 'Control+q' is already occupied on " + name +
                                    " on display " + name);
  ASSERT_EQ(xrcEnterHotkey(d, kXrcKeyboard, "Control+q"), nullptr);
  EXPECT_TRUE(window_.saw("KeyPress 24"));
  XCloseDisplay(other);

  // Twenty slots; the twenty-first registration fails and grabs nothing.
  for (int i = 0; i < kXrcHotkeySlots; i++) {
    ASSERT_EQ(xrcAddHotkey(d, 0, i == 0 ? "Control+q" : "none", countFire,
                           reinterpret_cast<void *>(2)),
              nullptr);
  }
  EXPECT_NE(xrcAddHotkey(d, 0, "Control+w", countFire, reinterpret_cast<void *>(2)), nullptr);
  xrcRemoveHotkeys(d);
  int windowPresses = countLines(window_.lines(), "KeyPress 24");
  ASSERT_EQ(xrcEnterHotkey(d, kXrcKeyboard, "Control+q"), nullptr);
  std::vector<std::string> keys = keyLinesUntilMarker();
  EXPECT_EQ(countLines(keys, "KeyPress 24"), windowPresses + 1);
  // Control+w was never grabbed.
  EXPECT_EQ(xrcEnterHotkey(d, kXrcKeyboard, "Control w"), nullptr);
  EXPECT_TRUE(window_.saw("KeyPress 25"));

  unsigned mask = 0, keycode = 0;
  uint8_t kind = 0;
  ASSERT_EQ(xrcParseHotkey(d, "Control Shift F5", &mask, &keycode, &kind), nullptr);
  EXPECT_STREQ(xrcHotkeyText(d, mask, keycode), "Control Shift F5");
  ASSERT_EQ(xrcParseHotkey(d, "none", &mask, &keycode, &kind), nullptr);
  EXPECT_STREQ(xrcHotkeyText(d, mask, keycode), "none");
  error = xrcParseHotkey(d, "Control+ntilde", &mask, &keycode, &kind);
  ASSERT_NE(error, nullptr);
  EXPECT_NE(std::string(error).find("has no ntilde key for hotkey 'Control+ntilde'"),
            std::string::npos);
  EXPECT_EQ(fired[2], 0);
}

TEST_F(XrclibKeysTest, SaveAndRestoreKeyboard) {
  Display *d = s_.display;
  std::string name = s_.xvfb.displayName();
  std::string keysBefore = run("xmodmap -display " + name + " -pke");
  std::string modifiersBefore = run("xmodmap -display " + name + " -pm");
  std::string controlsBefore = run("xset -display " + name + " q");
  ASSERT_FALSE(keysBefore.empty());
  XrcSavedKeyboard *saved = nullptr;
  ASSERT_EQ(xrcSaveKeyboard(d, &saved), nullptr);
  for (const char *change : {"xmodmap -display %s -e 'keycode 200 = a A'",
                             "xmodmap -display %s -e 'clear lock'", "xset -display %s -r",
                             "xset -display %s b 50 400 100", "xset -display %s led 3"}) {
    run(strTempPrintf(change, name.c_str()));
  }
  ASSERT_NE(run("xset -display " + name + " q"), controlsBefore);
  ASSERT_NE(run("xmodmap -display " + name + " -pm"), modifiersBefore);
  pump(d);
  ASSERT_EQ(xrcRestoreKeyboard(d, saved, 0), nullptr);
  XSync(d, False);
  EXPECT_EQ(run("xmodmap -display " + name + " -pke"), keysBefore);
  EXPECT_EQ(run("xmodmap -display " + name + " -pm"), modifiersBefore);
  EXPECT_EQ(run("xset -display " + name + " q"), controlsBefore);
  xrcFreeKeyboard(saved);
  xrcFreeKeyboard(nullptr);
  EXPECT_EQ(xErrors, 0);
}

}  // namespace
