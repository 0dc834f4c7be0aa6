// Cursor, keyboard, pointer and access requests through the tarvo executable beyond what the
// client-side checks reach: xkill ending a real client's connection, glyph and pixmap cursors
// as the real display shows them under its pointer, the raw replies of the keyboard, pointer,
// screen-saver and host-list queries in both byte orders, and a remote TCP client admitted only
// by the host list, the keyboard map that xmodmap shows without the NoNoXKB workaround, and the
// extension list that the log names, asked in both byte orders. Each runs on one screen and on
// two screens joined into one meta screen, against an equal Xvfb used directly where there is
// something to compare with; a head with zoom 2 shows cursors twice as large.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "rawclient_fixture.h"
#include "twinrun_fixture.h"

extern char **environ;

namespace {

int displayNumberOf(const std::string &name) { return std::stoi(name.substr(name.find(':') + 1)); }

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class InputExtraThroughTarvo : public TwinRunOnScreens {};

// ----- xkill -----------------------------------------------------------------------------------

// A started program (its output dropped), killed and reaped at the end when it still runs.
struct Child {
  pid_t pid = -1;
  bool start(const char *const *argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) pid = -1;
    return !failed;
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // Waits for the end: true when it ended within timeoutMs.
  bool ended(int timeoutMs) {
    for (long long until = xvfbNowMs() + timeoutMs; pid > 0 && xvfbNowMs() < until; sleepMs(20))
      if (waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
    return pid <= 0;
  }
};

// The id of the top-level window named "xlogo" (xwininfo -name), "" when there is none.
std::string xlogoWindow(const std::string &display) {
  std::string out = twinRunCommand("xwininfo -display " + display + " -name xlogo 2>&1");
  const std::string label = "Window id: ";
  size_t at = out.find(label);
  if (at == std::string::npos) return "";
  at += label.size();
  size_t end = out.find(' ', at);
  if (end == std::string::npos || out.compare(end, 8, " \"xlogo\"") != 0 || out.compare(at, 2, "0x") != 0) return "";
  return out.substr(at, end - at);
}

TEST_P(InputExtraThroughTarvo, XkillEndsXlogoAndItsRealWindow) {
  Child xlogo;
  std::string display = twin.proxyDisplay();
  const char *argv[] = {"xlogo", "-display", display.c_str(), nullptr};
  ASSERT_TRUE(xlogo.start(argv));

  std::string id;
  for (long long until = xvfbNowMs() + 10000; id.empty() && xvfbNowMs() < until; sleepMs(50))
    id = xlogoWindow(display);
  ASSERT_NE(id, "") << twin.tarvo().log();
  // Its window exists on the real display, named as the client named it.
  std::string realTree = twinRunCommand("xwininfo -display " + twin.behindDisplay() + " -root -tree 2>&1");
  EXPECT_NE(realTree.find("\"xlogo\""), std::string::npos) << realTree;

  std::string killed = twinRunCommand("xkill -display " + display + " -id " + id + " 2>&1");
  EXPECT_NE(killed.find("killing creator of resource " + id), std::string::npos) << killed;
  EXPECT_TRUE(xlogo.ended(10000)) << "xlogo still runs after xkill";

  // Gone on the real display and through tarvo.
  for (long long until = xvfbNowMs() + 5000; xvfbNowMs() < until; sleepMs(50)) {
    realTree = twinRunCommand("xwininfo -display " + twin.behindDisplay() + " -root -tree 2>&1");
    if (realTree.find("\"xlogo\"") == std::string::npos) break;
  }
  EXPECT_EQ(realTree.find("\"xlogo\""), std::string::npos) << realTree;
  EXPECT_EQ(xlogoWindow(display), "");

  // A new client is served.
  std::string info = twinRunCommand("xdpyinfo -display " + display + " 2>&1");
  EXPECT_NE(info.find("number of screens:"), std::string::npos) << info;
  Child again;
  ASSERT_TRUE(again.start(argv));
  std::string second;
  for (long long until = xvfbNowMs() + 10000; second.empty() && xvfbNowMs() < until; sleepMs(50))
    second = xlogoWindow(display);
  EXPECT_NE(second, "");
  EXPECT_FALSE(again.ended(0));
}

// ----- Cursor images -----------------------------------------------------------------------------

// What XFixes reports of the cursor under the pointer.
struct CursorShot {
  int width = 0, height = 0, xhot = 0, yhot = 0;
  std::vector<unsigned long> pixels;
  bool operator==(const CursorShot &) const = default;
};

std::string describe(const CursorShot &c) {
  std::string text = std::to_string(c.width) + "x" + std::to_string(c.height) + " hot " + std::to_string(c.xhot) +
                     "," + std::to_string(c.yhot) + "\n";
  for (int y = 0; y < c.height; y++) {
    for (int x = 0; x < c.width; x++) {
      unsigned long p = c.pixels[size_t(y * c.width + x)] & 0xffffffffUL;
      text += (p >> 24) == 0 ? '.' : (p & 0xffffff) == 0xff0000 ? 'R' : (p & 0xffffff) == 0x0000ff ? 'B'
                                   : (p & 0xffffff) == 0x00ff00 ? 'G' : (p & 0xffffff) == 0xff00ff ? 'M' : '?';
    }
    text += '\n';
  }
  return text;
}

CursorShot cursorShot(Display *judge) {
  CursorShot shot;
  XSync(judge, False);
  XFixesCursorImage *image = XFixesGetCursorImage(judge);
  if (!image) return shot;
  shot.width = image->width;
  shot.height = image->height;
  shot.xhot = image->xhot;
  shot.yhot = image->yhot;
  shot.pixels.assign(image->pixels, image->pixels + size_t(image->width) * image->height);
  XFree(image);
  return shot;
}

// The pixmap cursor's bitmaps, 16x16, least significant bit first: a frame in a frame around a
// dot (source) under a mask with two notches.
const unsigned char kFrameSource[] = {0xff, 0xff, 0x01, 0x80, 0xfd, 0xbf, 0x05, 0xa0, 0xf5, 0xaf, 0x15,
                                      0xa8, 0xd5, 0xab, 0x55, 0xaa, 0x55, 0xaa, 0xd5, 0xab, 0x15, 0xa8,
                                      0xf5, 0xaf, 0x05, 0xa0, 0xfd, 0xbf, 0x01, 0x80, 0xff, 0xff};
const unsigned char kFrameMask[] = {0xff, 0x0f, 0xff, 0x0f, 0xff, 0x0f, 0xff, 0x0f, 0xff, 0xff, 0xff,
                                    0xff, 0xff, 0xff, 0xff, 0xff, 0xf0, 0xff, 0xf0, 0xff, 0xf0, 0xff,
                                    0xf0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};

// A client with one window over the whole of its first screen, a glyph cursor from the cursor
// font (shape 68, red on blue) and a pixmap cursor (green on magenta, hot spot 3,5). Xlib is
// kept from replacing the glyph cursor by a themed image of its own: that needs RENDER cursors,
// which the proxy does not serve, so the two sides would differ by design.
struct CursorClient {
  Display *display = nullptr;
  Window window = None;
  Cursor glyph = None, pixmap = None;
  // A pixmap cursor whose mask is its source (red), and a glyph cursor recoloured to green on
  // magenta.
  Cursor shared = None, recoloured = None;
  ~CursorClient() {
    if (display) XCloseDisplay(display);
  }
  std::string open(const std::string &name) {
    setenv("XCURSOR_CORE", "1", 1);
    display = XOpenDisplay(name.c_str());
    if (!display) {
      unsetenv("XCURSOR_CORE");
      return "cannot open " + name;
    }
    int screen = DefaultScreen(display);
    window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, unsigned(DisplayWidth(display, screen)),
                                 unsigned(DisplayHeight(display, screen)), 0, BlackPixel(display, screen),
                                 WhitePixel(display, screen));
    XMapWindow(display, window);
    Font font = XLoadFont(display, "cursor");
    XColor red{}, blue{}, green{}, magenta{};
    red.red = 0xffff;
    blue.blue = 0xffff;
    green.green = 0xffff;
    magenta.red = magenta.blue = 0xffff;
    glyph = XCreateGlyphCursor(display, font, font, 68, 69, &red, &blue);
    unsetenv("XCURSOR_CORE");  // (read on the display's first cursor)
    Pixmap s = XCreateBitmapFromData(display, window, reinterpret_cast<const char *>(kFrameSource), 16, 16);
    Pixmap m = XCreateBitmapFromData(display, window, reinterpret_cast<const char *>(kFrameMask), 16, 16);
    pixmap = XCreatePixmapCursor(display, s, m, &green, &magenta, 3, 5);
    shared = XCreatePixmapCursor(display, s, s, &red, &blue, 7, 2);
    recoloured = XCreateGlyphCursor(display, font, font, 68, 69, &red, &blue);
    XRecolorCursor(display, recoloured, &green, &magenta);
    XFreePixmap(display, s);
    XFreePixmap(display, m);
    XUnloadFont(display, font);
    XSync(display, False);
    return glyph && pixmap && shared && recoloured ? "" : "no cursors";
  }
  void define(Cursor cursor) {
    XDefineCursor(display, window, cursor);
    XSync(display, False);
  }
};

// The judge's cursor image; with `expected`, the first that equals it within 5 s (else the last).
CursorShot waitForCursor(Display *judge, const CursorShot *expected) {
  CursorShot shot = cursorShot(judge);
  for (long long until = xvfbNowMs() + 5000; expected && !(shot == *expected) && xvfbNowMs() < until; sleepMs(50))
    shot = cursorShot(judge);
  return shot;
}

// Moves the pointer to a screen of the display with xdotool.
void movePointer(const std::string &display, int x, int y, int screen = 0) {
  twinRunCommand("env DISPLAY=" + display + " xdotool mousemove --screen " + std::to_string(screen) + " " +
                 std::to_string(x) + " " + std::to_string(y) + " 2>&1");
}

TEST_P(InputExtraThroughTarvo, GlyphAndPixmapCursorsLookAsDirect) {
  Display *directJudge = XOpenDisplay(twin.directDisplay().c_str());
  Display *realJudge = XOpenDisplay(twin.behindDisplay().c_str());
  ASSERT_NE(directJudge, nullptr);
  ASSERT_NE(realJudge, nullptr);
  int base = 0, error = 0;
  ASSERT_TRUE(XFixesQueryExtension(directJudge, &base, &error));
  ASSERT_TRUE(XFixesQueryExtension(realJudge, &base, &error));

  struct Case {
    const char *name;
    Cursor CursorClient::*cursor;
    char foreground, background;  // as describe() shows them
  };
  CursorShot root = cursorShot(directJudge);  // (the pointer is over no client window yet)
  int at = 0;
  for (const Case &c : {Case{"glyph", &CursorClient::glyph, 'R', 'B'},
                        Case{"pixmap", &CursorClient::pixmap, 'G', 'M'}}) {
    SCOPED_TRACE(c.name);
    CursorClient direct, proxied;
    ASSERT_EQ(direct.open(twin.directDisplay()), "");
    ASSERT_EQ(proxied.open(twin.proxyDisplay()), "");
    direct.define(direct.*c.cursor);
    proxied.define(proxied.*c.cursor);
    // A new position each time: the pointer moves into the freshly mapped window.
    at += 30;
    movePointer(twin.directDisplay(), 100 + at, 120 + at);
    movePointer(twin.behindDisplay(), 100 + at, 120 + at);
    CursorShot expected = waitForCursor(directJudge, nullptr);
    std::string picture = describe(expected);
    if (c.cursor == &CursorClient::pixmap) {
      EXPECT_EQ(expected.width, 16);
      EXPECT_EQ(expected.height, 16);
      EXPECT_EQ(expected.xhot, 3);
      EXPECT_EQ(expected.yhot, 5);
    }
    // The image is the client's cursor (both colours), not the root's.
    ASSERT_NE(picture.find(c.foreground), std::string::npos) << picture;
    ASSERT_NE(picture.find(c.background), std::string::npos) << picture;
    ASSERT_GT(expected.width, 0);
    ASSERT_FALSE(expected == root) << picture;
    CursorShot real = waitForCursor(realJudge, &expected);
    EXPECT_TRUE(real == expected) << "direct:\n" << picture << "through tarvo:\n" << describe(real);
  }
  XCloseDisplay(directJudge);
  XCloseDisplay(realJudge);
}

// The shared-mask and the recoloured cursor, over the window's copy on each head.
TEST_P(InputExtraThroughTarvo, SharedMaskAndRecolouredCursorsLookAsDirectOnEitherHead) {
  Display *directJudge = XOpenDisplay(twin.directDisplay().c_str());
  Display *realJudge = XOpenDisplay(twin.behindDisplay().c_str());
  ASSERT_NE(directJudge, nullptr);
  ASSERT_NE(realJudge, nullptr);
  int base = 0, error = 0;
  ASSERT_TRUE(XFixesQueryExtension(directJudge, &base, &error));
  ASSERT_TRUE(XFixesQueryExtension(realJudge, &base, &error));
  struct Case {
    const char *name;
    Cursor CursorClient::*cursor;
    char foreground, background;  // as describe() shows them ('.': none shown)
  };
  int at = 0;
  for (const Case &c : {Case{"mask is the source", &CursorClient::shared, 'R', '.'},
                        Case{"recoloured glyph", &CursorClient::recoloured, 'G', 'M'}}) {
    SCOPED_TRACE(c.name);
    CursorClient direct, proxied;
    ASSERT_EQ(direct.open(twin.directDisplay()), "");
    ASSERT_EQ(proxied.open(twin.proxyDisplay()), "");
    direct.define(direct.*c.cursor);
    proxied.define(proxied.*c.cursor);
    at += 30;
    movePointer(twin.directDisplay(), 100 + at, 120 + at);
    movePointer(twin.behindDisplay(), 100 + at, 120 + at);
    CursorShot expected = waitForCursor(directJudge, nullptr);
    std::string picture = describe(expected);
    ASSERT_NE(picture.find(c.foreground), std::string::npos) << picture;
    if (c.background == '.') {
      // Where the source is clear the mask is clear too: no background pixel.
      EXPECT_EQ(picture.find('B'), std::string::npos) << picture;
      EXPECT_EQ(expected.width, 16);
      EXPECT_EQ(expected.xhot, 7);
      EXPECT_EQ(expected.yhot, 2);
    } else {
      ASSERT_NE(picture.find(c.background), std::string::npos) << picture;
      EXPECT_EQ(picture.find('R'), std::string::npos) << "the old colours are gone\n" << picture;
    }
    // Each head of the meta screen shows it over the window's copy.
    for (int head = 0; head < GetParam(); head++) {
      SCOPED_TRACE("head " + std::to_string(head));
      movePointer(twin.behindDisplay(), 100 + at + 5 * head, 120 + at, head);
      CursorShot real = waitForCursor(realJudge, &expected);
      EXPECT_TRUE(real == expected) << "direct:\n" << picture << "through tarvo:\n" << describe(real);
    }
  }
  XCloseDisplay(directJudge);
  XCloseDisplay(realJudge);
}

// ----- Raw replies in both byte orders ---------------------------------------------------------

RawBytes plainRequest(bool big, unsigned opcode) { return RawRequest(big).b(opcode).b(0).s(0).done(); }

TEST_P(InputExtraThroughTarvo, QueryRepliesAsDirectInBothByteOrders) {
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(std::string("byte order ") + order);
    RawClient direct, proxied;
    ASSERT_EQ(direct.connect(displayNumberOf(twin.directDisplay()), order), "");
    ASSERT_EQ(proxied.connect(twin.tarvo().displayNumber(), order), "");
    bool big = order == 'B';
    ASSERT_GE(direct.setup().size(), 36u);
    ASSERT_GE(proxied.setup().size(), 36u);
    EXPECT_EQ(proxied.setup()[34], direct.setup()[34]);  // min and max keycode
    EXPECT_EQ(proxied.setup()[35], direct.setup()[35]);
    unsigned first = direct.setup()[34], count = unsigned(direct.setup()[35]) - first + 1;

    struct Query {
      const char *name;
      RawBytes request;
    };
    const Query queries[] = {
        {"GetKeyboardMapping", RawRequest(big).b(101).b(0).s(0).b(first).b(count).pad(2).done()},
        {"GetModifierMapping", plainRequest(big, 119)},
        {"GetPointerMapping", plainRequest(big, 117)},
        {"GetKeyboardControl", plainRequest(big, 103)},
        {"GetPointerControl", plainRequest(big, 106)},
        {"GetScreenSaver", plainRequest(big, 108)},
        {"ListHosts", plainRequest(big, 110)},
        // A part of the keyboard map at its upper end.
        {"GetKeyboardMapping (last 5)", RawRequest(big).b(101).b(0).s(0).b(first + count - 5).b(5).pad(2).done()},
    };
    for (const Query &q : queries) {
      SCOPED_TRACE(q.name);
      RawBytes want, got;
      ASSERT_EQ(direct.roundTrip(q.request, want), "");
      ASSERT_EQ(proxied.roundTrip(q.request, got), "");
      ASSERT_GE(want.size(), 32u);
      ASSERT_GE(got.size(), 32u);
      EXPECT_EQ(want[0], 1);
      ASSERT_EQ(got[0], 1) << "error code " << unsigned(got[1]);
      EXPECT_EQ(rawGet16(got, 2, big), proxied.sequence());
      EXPECT_EQ(rawGet16(want, 2, big), direct.sequence());
      want[2] = want[3] = got[2] = got[3] = 0;
      if (q.request[0] == 110) {
        // The host list is the proxy's own: it listens on TCP (the Xvfb does not) and names its
        // own addresses, as an X server does. The mode is the same; the entries are well formed
        // and name the loopback address and the local connections.
        EXPECT_EQ(got[1], want[1]);
        unsigned count = rawGet16(got, 8, big);
        size_t end = 32 + 4 * size_t(rawGet32(got, 4, big));
        ASSERT_EQ(end, got.size());
        bool loopback = false, local = false;
        size_t p = 32;
        for (unsigned n = 0; n < count; n++) {
          ASSERT_LE(p + 4, end) << "entry " << n;
          unsigned family = got[p], length = rawGet16(got, p + 2, big);
          ASSERT_LE(p + 4 + length, end) << "entry " << n;
          if (family == 0 && length == 4 && RawBytes(got.begin() + long(p) + 4, got.begin() + long(p) + 8) ==
                                                RawBytes{127, 0, 0, 1})
            loopback = true;
          if (family == 252) local = true;
          p += 4 + ((length + 3) & ~3u);
        }
        EXPECT_EQ(p, end);
        EXPECT_TRUE(loopback && local);
        continue;
      }
      if (q.request[0] == 101) {
        // Without XKB towards its clients the proxy moves a row's keysyms from the fifth on over
        // the third and fourth when the row has any there; the last two keep theirs.
        unsigned perRow = want[1];
        for (size_t row = 32; perRow > 4 && row + 4 * perRow <= want.size(); row += 4 * perRow) {
          bool extra = false;
          for (unsigned k = 4; k < perRow; k++) extra = extra || rawGet32(want, row + 4 * k, big) != 0;
          auto at = want.begin() + long(row);
          if (extra) std::copy(at + 16, at + long(4 * perRow), at + 8);
        }
      }
      // Everything but the sequence number is the same.
      EXPECT_EQ(got, want);
    }
    EXPECT_EQ(proxied.sequence(), direct.sequence());
  }
}

// ----- The keyboard map without NoNoXKB --------------------------------------------------------

// xmodmap -pke as keycode -> keysym names, each row padded with NoSymbol to perRow.
std::map<int, std::vector<std::string>> keyRows(const std::string &text, size_t perRow) {
  std::map<int, std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string keycode, equals, name;
    int code = -1;
    if (!(words >> keycode >> code >> equals) || keycode != "keycode" || equals != "=") continue;
    std::vector<std::string> &row = rows[code];
    while (words >> name) row.push_back(name);
    if (row.size() < perRow) row.resize(perRow, "NoSymbol");
  }
  return rows;
}

TEST_P(InputExtraThroughTarvo, XmodmapWithoutNoNoXkbShowsTheKeysymsFromTheFifthMovedForward) {
  auto key = twin.run("xmodmap -display %D -e 'keycode 200 = a A'");
  EXPECT_EQ(key.second, key.first);
  EXPECT_TRUE(twin.tarvo().waitForLog("Keyboard mapping (200..200) changed by", 5000));
  Display *proxied = XOpenDisplay(twin.proxyDisplay().c_str());
  ASSERT_NE(proxied, nullptr);
  int minimum = 0, maximum = 0, perRow = 0;
  XDisplayKeycodes(proxied, &minimum, &maximum);
  KeySym *map = XGetKeyboardMapping(proxied, KeyCode(minimum), 1, &perRow);
  if (map) XFree(map);
  XCloseDisplay(proxied);
  ASSERT_GT(perRow, 4) << "rows of more than 4 keysyms are what moves";

  auto keys = twin.run("xmodmap -display %D -pke");
  auto direct = keyRows(keys.first, size_t(perRow)), through = keyRows(keys.second, size_t(perRow));
  ASSERT_EQ(direct.size(), size_t(maximum - minimum + 1)) << keys.first;
  ASSERT_EQ(direct[200].size(), size_t(perRow));
  EXPECT_EQ(direct[200][0], "a");
  EXPECT_EQ(direct[200][1], "A");
  // Every row with keysyms from the fifth on has those moved over the third and fourth; the
  // last two keep theirs.
  int moved = 0;
  for (auto &[code, row] : direct) {
    if (std::all_of(row.begin() + 4, row.end(), [](const std::string &k) { return k == "NoSymbol"; })) continue;
    std::copy(row.begin() + 4, row.end(), row.begin() + 2);
    moved++;
  }
  EXPECT_GT(moved, 0);
  EXPECT_EQ(through, direct) << keys.second;
}

// ----- The extension list ---------------------------------------------------------------------

// The extensions that the log names as initialised (an "Init" line not followed by that
// extension's failure line), with their codes: name -> {major, first event, first error}.
using ExtensionCodes = std::map<std::string, std::tuple<int, int, int>>;
ExtensionCodes initialisedExtensions(const std::string &log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    // The first line of each second starts with its time, the others with as many spaces.
    if (line.size() > 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ') line.replace(0, 9, 9, ' ');
    size_t first = line.find_first_not_of(' ');
    lines.push_back(first == std::string::npos ? "" : line.substr(first));
  }
  ExtensionCodes out;
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string &line = lines[i];
    size_t codes = line.find(" (op=");
    if (line.rfind("Init ", 0) != 0 || codes == std::string::npos) continue;
    std::string nameAndVersion = line.substr(5, codes - 5);
    std::string name = nameAndVersion.substr(0, nameAndVersion.rfind(' '));
    if (i + 1 < lines.size() && lines[i + 1].rfind(name + ":", 0) == 0) continue;
    int major = -1, event = -1, error = -1;
    if (sscanf(line.c_str() + codes, " (op=%d ev=%d err=%d)", &major, &event, &error) == 3)
      out[name] = {major, event, error};
  }
  return out;
}

// What xdpyinfo -queryExtensions lists, in the same form.
ExtensionCodes listedExtensions(const std::string &text) {
  ExtensionCodes out;
  std::istringstream in(text);
  bool inList = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("number of extensions:", 0) == 0) {
      inList = true;
      continue;
    }
    if (!inList) continue;
    if (line.rfind("    ", 0) != 0) break;
    size_t open = line.find("  (opcode: ");
    if (open == std::string::npos) continue;
    int major = -1, event = 0, error = 0;
    sscanf(line.c_str() + open, "  (opcode: %d", &major);
    if (size_t e = line.find("base event: "); e != std::string::npos) event = atoi(line.c_str() + e + 12);
    if (size_t e = line.find("base error: "); e != std::string::npos) error = atoi(line.c_str() + e + 12);
    out[line.substr(4, open - 4)] = {major, event, error};
  }
  return out;
}

TEST_P(InputExtraThroughTarvo, ExtensionListIsTheLoggedOneInBothByteOrders) {
  std::string shown = twinRunCommand("xdpyinfo -queryExtensions -display " + twin.proxyDisplay() + " 2>&1");
  // tarvo writes its log file as it goes: on a loaded machine the last start-up lines may not
  // be in it yet when the first client is served.
  ExtensionCodes logged;
  for (int tries = 0; tries < 30; tries++) {
    logged = initialisedExtensions(twin.tarvo().log());
    if (listedExtensions(shown) == logged) break;
    usleep(100 * 1000);
  }
  ASSERT_FALSE(logged.empty()) << twin.tarvo().log();
  ASSERT_EQ(logged.count("BIG-REQUESTS"), 1u) << twin.tarvo().log();
  EXPECT_EQ(listedExtensions(shown), logged) << shown;

  // The raw replies: ListExtensions, and QueryExtension of every listed name and of two that the
  // real server has but the proxy does not offer; the other byte order gets the same fields.
  std::map<char, std::vector<std::string>> answers;
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(std::string("byte order ") + order);
    bool big = order == 'B';
    RawClient client;
    ASSERT_EQ(client.connect(twin.tarvo().displayNumber(), order), "");
    RawBytes list;
    ASSERT_EQ(client.roundTrip(plainRequest(big, 99), list), "");
    ASSERT_GE(list.size(), 32u);
    ASSERT_EQ(list[0], 1);
    ASSERT_EQ(list.size(), 32 + 4 * size_t(rawGet32(list, 4, big)));
    std::vector<std::string> names;
    for (size_t p = 32, n = 0; n < list[1] && p < list.size(); n++) {
      size_t length = list[p];
      ASSERT_LE(p + 1 + length, list.size());
      names.emplace_back(list.begin() + long(p) + 1, list.begin() + long(p + 1 + length));
      p += 1 + length;
    }
    std::vector<std::string> sortedNames = names;
    std::sort(sortedNames.begin(), sortedNames.end());
    std::vector<std::string> loggedNames;
    for (auto &entry : logged) loggedNames.push_back(entry.first);
    EXPECT_EQ(sortedNames, loggedNames);
    std::vector<std::string> &seen = answers[order];
    seen.push_back("list of " + std::to_string(list[1]) + " in " + std::to_string(rawGet32(list, 4, big)) + " words");
    names.insert(names.end(), {"RANDR", "XKEYBOARD"});
    for (const std::string &name : names) {
      RawBytes reply;
      RawBytes ask = RawRequest(big).b(98).b(0).s(0).s(unsigned(name.size())).s(0).text(name).done();
      ASSERT_EQ(client.roundTrip(ask, reply), "");
      ASSERT_GE(reply.size(), 32u);
      ASSERT_EQ(reply[0], 1) << name;
      EXPECT_EQ(rawGet16(reply, 2, big), client.sequence());
      std::tuple<int, int, int> codes{reply[9], reply[10], reply[11]};
      auto it = logged.find(name);
      if (it == logged.end()) {
        EXPECT_EQ(reply[8], 0) << name;
        EXPECT_EQ(codes, std::make_tuple(0, 0, 0)) << name;
      } else {
        EXPECT_EQ(reply[8], 1) << name;
        EXPECT_EQ(codes, it->second) << name;
      }
      seen.push_back(name + " " + std::to_string(reply[8]) + " " + std::to_string(reply[9]) + " " +
                     std::to_string(reply[10]) + " " + std::to_string(reply[11]) + " length " +
                     std::to_string(rawGet32(reply, 4, big)));
    }
  }
  EXPECT_EQ(answers['B'], answers['l']);
}

// ----- Remote clients and the host list --------------------------------------------------------

// The setup status of a fresh TCP client from 127.0.0.2 (0 refused, 1 admitted, -1 nothing
// came, -2 no connection).
int remoteSetup(int display, std::string *reason = nullptr) {
  int fd = rawConnectTcp(display, "127.0.0.2");
  if (fd < 0) return -2;
  RawBytes setup = rawSetupMessage(false, "", "");
  RawSetupReply reply;
  if (rawSendAll(fd, setup.data(), setup.size())) reply = rawReadSetupReply(fd, 10000);
  close(fd);
  if (reason) *reason = reply.reason;
  return reply.status;
}

TEST_P(InputExtraThroughTarvo, RemoteTcpClientNeedsTheHostList) {
  int display = twin.tarvo().displayNumber();
  std::string reason;
  ASSERT_EQ(remoteSetup(display, &reason), 0) << twin.tarvo().log();
  EXPECT_NE(reason, "");

  std::string xhost = twinRunCommand("env DISPLAY=" + twin.proxyDisplay() + " xhost +inet:127.0.0.2 2>&1");
  EXPECT_EQ(remoteSetup(display), 1) << xhost;

  // The admitted remote client may not change the list itself (Access), in both byte orders.
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(std::string("remote, byte order ") + order);
    bool big = order == 'B';
    RawClient remote;
    ASSERT_EQ(remote.connectFd(rawConnectTcp(display, "127.0.0.2"), order), "");
    RawBytes answer;
    ASSERT_EQ(remote.roundTrip(RawRequest(big).b(109).b(1).s(0).b(0).b(0).s(4).b(127).b(0).b(0).b(2).done(), answer,
                               5000),
              "");
    ASSERT_GE(answer.size(), 32u);
    EXPECT_EQ(answer[0], 0);
    EXPECT_EQ(answer[1], 10);  // Access
    EXPECT_EQ(rawGet16(answer, 2, big), remote.sequence());
    EXPECT_EQ(answer[10], 109);  // major opcode
    EXPECT_EQ(remoteSetup(display), 1);
  }

  // Removed again by ChangeHosts (Delete, Internet) of a local raw client, in both byte orders.
  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(std::string("byte order ") + order);
    bool big = order == 'B';
    RawClient local;
    ASSERT_EQ(local.connect(display, order), "");
    auto change = [&](unsigned mode) {
      EXPECT_EQ(local.send(RawRequest(big).b(109).b(mode).s(0).b(0).b(0).s(4).b(127).b(0).b(0).b(2).done()), "");
      RawBytes answer;  // the round trip after it brings an error of ChangeHosts first
      ASSERT_EQ(local.roundTrip(plainRequest(big, 110), answer), "");
      ASSERT_FALSE(answer.empty());
      EXPECT_EQ(answer[0], 1) << "error " << unsigned(answer[1]) << " to request " << rawGet16(answer, 2, big);
    };
    change(1);
    EXPECT_EQ(remoteSetup(display), 0);
    change(0);
    EXPECT_EQ(remoteSetup(display), 1);
    change(1);
    EXPECT_EQ(remoteSetup(display), 0);
  }
  // The real server's list stays as it was.
  std::string behind = twinRunCommand("env DISPLAY=" + twin.behindDisplay() + " xhost 2>&1");
  EXPECT_EQ(behind.find("127.0.0.2"), std::string::npos) << behind;
}

INSTANTIATE_TEST_SUITE_P(Screens, InputExtraThroughTarvo, ::testing::Values(1, 2),
                         [](const auto &info) { return info.param == 1 ? "OneScreen" : "TwoScreens"; });

// ----- A head with zoom 2 ------------------------------------------------------------------------

// A pixmap cursor over the window's copy on a head of zoom 2 is the direct one doubled (its
// bitmaps smoothed as they are doubled), its hot spot doubled; QueryBestSize of cursors on the meta screen of that
// head answers what the X server used directly answers where the head can show twice the size.
TEST(ZoomedHeadThroughTarvo, CursorsTwiceAsLargeAndBestSizesAsDirect) {
  tarvoBlockSignals();
  TwinRun twin;
  TwinRunOptions options;
  options.screens = {"640x480x24"};
  options.tarvoWords = {"pointer", "zoom", "2"};
  ASSERT_EQ(twin.start(options), "");
  Display *directJudge = XOpenDisplay(twin.directDisplay().c_str());
  Display *realJudge = XOpenDisplay(twin.behindDisplay().c_str());
  ASSERT_NE(directJudge, nullptr);
  ASSERT_NE(realJudge, nullptr);
  int base = 0, error = 0;
  ASSERT_TRUE(XFixesQueryExtension(realJudge, &base, &error));
  CursorClient direct, proxied;
  ASSERT_EQ(direct.open(twin.directDisplay()), "");
  ASSERT_EQ(proxied.open(twin.proxyDisplay()), "");
  direct.define(direct.pixmap);
  proxied.define(proxied.pixmap);
  movePointer(twin.directDisplay(), 200, 150);
  movePointer(twin.behindDisplay(), 200, 150);
  CursorShot small = waitForCursor(directJudge, nullptr);
  ASSERT_EQ(small.width, 16) << describe(small);
  ASSERT_EQ(small.height, 16) << describe(small);
  // The direct image's three pixel values: clear, foreground, background.
  unsigned long clear = 0, foreground = 0, background = 0;
  for (int i = 0; i < 256; i++) {
    bool source = kFrameSource[i / 8] >> (i % 8) & 1, mask = kFrameMask[i / 8] >> (i % 8) & 1;
    (!mask ? clear : source ? foreground : background) = small.pixels[size_t(i)];
  }
  ASSERT_NE(foreground, background);
  // The head gets both bitmaps doubled with smoothing: each pixel doubled, then a pixel is set
  // when more than half of the doubled pixels of its 3 x 3 neighbourhood that exist are set.
  auto doubledBit = [](const unsigned char *bits, int x, int y) {
    int set = 0, present = 0;
    for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, 31); ny++)
      for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, 31); nx++) {
        int i = ny / 2 * 16 + nx / 2;
        present++;
        set += bits[i / 8] >> (i % 8) & 1;
      }
    return 2 * set > present;
  };
  CursorShot doubled;
  doubled.width = doubled.height = 32;
  doubled.xhot = 2 * small.xhot;
  doubled.yhot = 2 * small.yhot;
  for (int y = 0; y < 32; y++)
    for (int x = 0; x < 32; x++)
      doubled.pixels.push_back(!doubledBit(kFrameMask, x, y)     ? clear
                               : doubledBit(kFrameSource, x, y) ? foreground
                                                                : background);
  CursorShot real = waitForCursor(realJudge, &doubled);
  EXPECT_TRUE(real == doubled) << "direct:\n" << describe(small) << "on the zoomed head:\n" << describe(real);

  unsigned width = 0, height = 0, directWidth = 0, directHeight = 0;
  ASSERT_TRUE(XQueryBestCursor(proxied.display, proxied.window, 32, 32, &width, &height));
  ASSERT_TRUE(XQueryBestCursor(direct.display, direct.window, 32, 32, &directWidth, &directHeight));
  EXPECT_EQ(directWidth, 32u);
  EXPECT_EQ(width, directWidth);
  EXPECT_EQ(height, directHeight);
  // Beyond half the head's size the zoomed head is the limit: the server fits 1200x1200 to its
  // 640x480 screen, which is 320x240 of the meta screen's pixels.
  ASSERT_TRUE(XQueryBestCursor(direct.display, direct.window, 600, 600, &directWidth, &directHeight));
  EXPECT_EQ(directWidth, 600u);
  ASSERT_TRUE(XQueryBestCursor(proxied.display, proxied.window, 600, 600, &width, &height));
  EXPECT_EQ(width, 320u);
  EXPECT_EQ(height, 240u);
  XCloseDisplay(directJudge);
  XCloseDisplay(realJudge);
}

}  // namespace
