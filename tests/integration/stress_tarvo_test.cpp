// Hostile clients through the tarvo executable: fifty raw clients of both byte orders, in a few
// threads, send error-heavy batches (unknown ids, bad lengths), reply-heavy batches, large
// GetImage requests of the root and BIG-REQUESTS, and vanish at random points (half a request
// written, answers not read, grabs held, resources retained and later killed by others), while
// a bystander client keeps making round trips and must get every answer. Run with one head and
// with two heads joined into one meta screen. Afterwards tarvo still serves a new client, keeps
// what was retained until it is killed, idles (its CPU time is printed), and exits with status 0
// on SIGTERM without a sanitizer report.
//
// The run is seeded and bounded in time: TARVO_STRESS_SEED repeats the random choices of a run
// (the thread interleaving differs), TARVO_STRESS_SECONDS sets the length of the stress phase,
// TARVO_STRESS_LOGTYPES adds a word to tarvo's logTypes ("Clients" shows every start and stop).
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr int kThreads = 5;
constexpr int kClientsPerThread = 10;
constexpr int kAnswerMs = 20000;   // the longest wait for any answer
constexpr int kIdleMs = 10000;     // the idle CPU measurement after the stress
constexpr int kDefaultSeconds = 15;

enum : uint8_t {
  kCreateWindow = 1,
  kGetWindowAttributes = 3,
  kMapWindow = 8,
  kGetGeometry = 14,
  kQueryTree = 15,
  kInternAtom = 16,
  kGetAtomName = 17,
  kChangeProperty = 18,
  kGetProperty = 20,
  kGrabPointer = 26,
  kUngrabPointer = 27,
  kGrabKeyboard = 31,
  kUngrabKeyboard = 32,
  kGrabServer = 36,
  kUngrabServer = 37,
  kQueryPointer = 38,
  kGetInputFocus = 43,
  kOpenFont = 45,
  kCloseFont = 46,
  kQueryFont = 47,
  kListFonts = 49,
  kCreatePixmap = 53,
  kFreePixmap = 54,
  kCreateGC = 55,
  kFreeGC = 60,
  kCopyArea = 62,
  kPolyFillRectangle = 70,
  kPutImage = 72,
  kGetImage = 73,
  kCreateGlyphCursor = 94,
  kFreeCursor = 95,
  kQueryExtension = 98,
  kListExtensions = 99,
  kSetCloseDownMode = 112,
  kKillClient = 113,
  kNoOperation = 127,
};

// How a client's life ends.
enum Vanish { kPlain, kMidRequest, kMidReply, kHoldingGrabs, kRetained, kReset, kKilled, kVanishKinds };
constexpr const char *kVanishNames[kVanishKinds] = {"plain close", "mid-request", "mid-reply", "holding grabs",
                                                    "retained",    "reset (RST)", "killed"};

// ===== shared state of one run ==============================================================
// Counters of the whole run, written by every stress thread.
struct Tally {
  std::atomic<long> connects{0}, connectFailures{0}, requests{0}, replies{0}, events{0}, imageBytes{0};
  std::atomic<long> bigRequestClients{0}, bigRequestRefusals{0};
  std::atomic<long> unanswered{0};       // a wait for an answer that ran out of time
  std::atomic<long> closedByTarvo{0};    // tarvo closed a client that was not being killed
  std::atomic<long> serverGrabs{0}, pointerGrabs{0};
  std::atomic<long> killsOfRetained{0}, killsOfLive{0}, killsOfTemporary{0};
  std::atomic<long> killErrors{0};       // KillClient of a retained or live client's resource answered by an error
  std::atomic<long> killedNotClosed{0};  // a client killed by a neighbour whose connection stayed open
  std::atomic<long> imagesCompared{0}, imageMismatches{0};  // long PutImages read back by GetImage
  std::atomic<long> errors[256]{};
  std::atomic<long> vanished[kVanishKinds]{};
};

// The last client actions, printed when the run fails: what led to a crash or a hang.
struct Journal {
  std::mutex mutex;
  std::deque<std::string> lines;
  long long startMs = 0;
};

void journalNote(Journal &journal, const std::string &line) {
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%7.3f ", double(xvfbNowMs() - journal.startMs) / 1000);
  std::lock_guard<std::mutex> guard(journal.mutex);
  journal.lines.push_back(stamp + line);
  if (journal.lines.size() > 400) journal.lines.pop_front();
}

std::string journalTail(Journal &journal, size_t count) {
  std::lock_guard<std::mutex> guard(journal.mutex);
  std::string text;
  size_t first = journal.lines.size() > count ? journal.lines.size() - count : 0;
  for (size_t i = first; i < journal.lines.size(); i++) text += journal.lines[i] + "\n";
  return text;
}

struct StressRun {
  int display = -1;
  long long endMs = 0;
  std::atomic<bool> stop{false};  // set when tarvo ended early: the threads stop at once
  Tally tally;
  Journal journal;
  // Windows of clients closed with RetainPermanent that no client has killed yet. A stress
  // client pops one before its KillClient; the end of the test checks the rest are still there.
  // Entries of RetainTemporary clients never enter (KillClient AllTemporary frees them at any
  // time, and their slot and ids may then be reused).
  std::mutex poolMutex;
  std::vector<uint32_t> permanent;
  std::atomic<int> nextLabel{0};
};

// ===== requests ===============================================================================
RawBytes plain(bool big, uint8_t opcode, uint8_t data = 0) { return RawRequest(big).b(opcode).b(data).s(0).done(); }
RawBytes withId(bool big, uint8_t opcode, uint32_t id, uint8_t data = 0) {
  return RawRequest(big).b(opcode).b(data).s(0).i(id).done();
}
RawBytes internAtom(bool big, const std::string &name, bool onlyIfExists) {
  return RawRequest(big).b(kInternAtom).b(onlyIfExists).s(0).s(unsigned(name.size())).s(0).text(name).done();
}
// A 40x30 window; with `events` it selects Exposure and StructureNotify.
RawBytes createWindow(bool big, uint32_t id, uint32_t parent, int x, int y, bool events = false) {
  RawRequest r(big);
  r.b(kCreateWindow).b(0).s(0).i(id).i(parent).s(unsigned(x)).s(unsigned(y)).s(40).s(30).s(0).s(1).i(0);
  if (events) return r.i(0x800).i(0x8000 | 0x20000).done();
  return r.i(0).done();
}
RawBytes createPixmap(bool big, uint32_t id, uint32_t drawable, unsigned depth, unsigned width, unsigned height) {
  return RawRequest(big).b(kCreatePixmap).b(depth).s(0).i(id).i(drawable).s(width).s(height).done();
}
RawBytes createGC(bool big, uint32_t id, uint32_t drawable) {
  return RawRequest(big).b(kCreateGC).b(0).s(0).i(id).i(drawable).i(0).done();
}
RawBytes fillRectangle(bool big, uint32_t drawable, uint32_t gc, int x, int y, unsigned w, unsigned h) {
  return RawRequest(big).b(kPolyFillRectangle).b(0).s(0).i(drawable).i(gc).s(unsigned(x)).s(unsigned(y)).s(w).s(h)
      .done();
}
RawBytes getImage(bool big, uint32_t drawable, int x, int y, unsigned w, unsigned h) {
  return RawRequest(big).b(kGetImage).b(2).s(0).i(drawable).s(unsigned(x)).s(unsigned(y)).s(w).s(h).i(0xffffffff)
      .done();
}
RawBytes listFonts(bool big, const std::string &pattern, unsigned most) {
  return RawRequest(big).b(kListFonts).b(0).s(0).s(most).s(unsigned(pattern.size())).text(pattern).done();
}
RawBytes openFont(bool big, uint32_t id, const std::string &name) {
  return RawRequest(big).b(kOpenFont).b(0).s(0).i(id).s(unsigned(name.size())).s(0).text(name).done();
}
RawBytes glyphCursor(bool big, uint32_t id, uint32_t font, unsigned glyph) {
  return RawRequest(big).b(kCreateGlyphCursor).b(0).s(0).i(id).i(font).i(font).s(glyph).s(glyph + 1)
      .s(0xffff).s(0).s(0).s(0).s(0).s(0xffff).done();
}
RawBytes grabPointer(bool big, uint32_t window, uint32_t cursor) {
  return RawRequest(big).b(kGrabPointer).b(0).s(0).i(window).s(0x4 | 0x8).b(1).b(1).i(0).i(cursor).i(0).done();
}
RawBytes grabKeyboard(bool big, uint32_t window) {
  return RawRequest(big).b(kGrabKeyboard).b(1).s(0).i(window).i(0).b(1).b(1).pad(2).done();
}
RawBytes getProperty(bool big, uint32_t window, uint32_t property) {
  return RawRequest(big).b(kGetProperty).b(0).s(0).i(window).i(property).i(0).i(0).i(64).done();
}
RawBytes queryExtension(bool big, const std::string &name) {
  return RawRequest(big).b(kQueryExtension).b(0).s(0).s(unsigned(name.size())).s(0).text(name).done();
}
// The request with another length field (in words): the bytes stay as they are.
RawBytes withLength(RawBytes request, unsigned words, bool big) {
  request[2] = uint8_t(big ? words >> 8 : words);
  request[3] = uint8_t(big ? words : words >> 8);
  return request;
}

// Requests written together; count is how many the server counts.
struct Batch {
  RawBytes bytes;
  uint16_t count = 0;
  void add(const RawBytes &request) {
    bytes.insert(bytes.end(), request.begin(), request.end());
    count++;
  }
};

// ===== a stress client ========================================================================
struct Slot {
  RawClient c;
  bool alive = false;
  int label = -1;
  int batchesLeft = 0;
  uint32_t maxRequestWords = 0;  // BIG-REQUESTS maximum, 0 when not enabled
  uint32_t base = 0, mask = 0, nextId = 1;
  uint32_t root = 0, depth = 24;
  bool imageMsbFirst = false;  // image byte order of the setup
  unsigned rootWidth = 0, rootHeight = 0;
  bool holdsInputGrabs = false;
  std::vector<uint32_t> pixmaps;  // created and not freed: what a neighbour's KillClient names
};

// One stress thread and the clients it runs in turn. Made and freed by the test's stress
// phase around the thread's life; its clients are closed by the thread before it ends.
struct Worker {
  StressRun &run;
  int index;
  std::mt19937_64 rng;
  std::array<Slot, kClientsPerThread> slots;
};

unsigned pick(Worker &w, unsigned n) { return unsigned(w.rng() % n); }
bool chance(Worker &w, unsigned percent) { return pick(w, 100) < percent; }

std::string who(const Slot &s) {
  return "c" + std::to_string(s.label) + (s.c.big() ? " B" : " l") + (s.maxRequestWords ? " big" : "");
}

void note(Worker &w, const Slot &s, const std::string &what) { journalNote(w.run.journal, who(s) + ": " + what); }

std::string hex(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", v);
  return text;
}

uint32_t newId(Slot &s) { return s.base | (s.nextId++ & s.mask); }
// An id in the client's own range that it never allocates.
uint32_t unknownId(Worker &w, Slot &s) {
  if (s.mask >= 0x1fffff) return s.base | 0x100000 | pick(w, 0x1000);
  return s.base | s.mask;
}

// The answer to one request of a batch that the batch's sender looks at.
struct Watch {
  int sequence = -1;  // 16-bit sequence number of the request; -1: none
  uint8_t error = 0;  // the error code it got
  RawBytes reply;     // the reply it got
};

// Reads the answers up to the reply (or error) of the client's last request. Errors are
// counted; the answer to the watched request is kept. False when the connection ended or the
// answers stopped coming (both counted, the slot is marked gone).
bool drain(Worker &w, Slot &s, Watch *watch = nullptr) {
  uint16_t last = s.c.sequence();
  RawBytes m;
  for (;;) {
    std::string e = s.c.read(m, kAnswerMs);
    if (!e.empty()) {
      if (e.find("time-out") != std::string::npos) {
        w.run.tally.unanswered++;
        note(w, s, "NO ANSWER up to #" + std::to_string(last) + ": " + e);
      } else {
        w.run.tally.closedByTarvo++;
        note(w, s, "closed by tarvo: " + e);
      }
      s.alive = false;
      s.c.close();
      return false;
    }
    uint16_t sequence = uint16_t(rawGet16(m, 2, s.c.big()));
    if (m[0] == 0) {
      w.run.tally.errors[m[1]]++;
      if (watch && sequence == watch->sequence) watch->error = m[1];
      if (sequence == last) return true;
    } else if (m[0] == 1) {
      w.run.tally.replies++;
      if (m.size() > 100000) w.run.tally.imageBytes += long(m.size());
      if (watch && sequence == watch->sequence) watch->reply = m;
      if (sequence == last) return true;
    } else {
      w.run.tally.events++;
    }
  }
}

// Writes the batch (a GetInputFocus added when `sync`), then reads its answers when `sync`.
bool sendBatch(Worker &w, Slot &s, Batch &b, bool sync, Watch *watch = nullptr) {
  if (sync) b.add(plain(s.c.big(), kGetInputFocus));
  std::string e = s.c.sendRaw(b.bytes.data(), b.bytes.size(), kAnswerMs);
  s.c.setSequence(uint16_t(s.c.sequence() + b.count));
  w.run.tally.requests += b.count;
  if (!e.empty()) {
    // Refused writes come from a connection tarvo closed; a stalled one is an answer that stopped.
    if (e.find("time-out") != std::string::npos) {
      w.run.tally.unanswered++;
      note(w, s, "WRITE STALLED: " + e);
    } else {
      w.run.tally.closedByTarvo++;
      note(w, s, "write refused: " + e);
    }
    s.alive = false;
    s.c.close();
    return false;
  }
  return !sync || drain(w, s, watch);
}

// Parses the first screen of the setup reply.
void readScreen(Slot &s) {
  const RawBytes &setup = s.c.setup();
  bool big = s.c.big();
  s.base = rawGet32(setup, 12, big);
  s.imageMsbFirst = setup.size() > 30 && setup[30] == 1;
  s.mask = rawGet32(setup, 16, big);
  size_t vendor = rawGet16(setup, 24, big), formats = setup.size() > 29 ? setup[29] : 0;
  size_t screen = 40 + ((vendor + 3) & ~size_t(3)) + 8 * formats;
  s.root = rawGet32(setup, screen, big);
  s.rootWidth = rawGet16(setup, screen + 20, big);
  s.rootHeight = rawGet16(setup, screen + 22, big);
  s.depth = screen + 38 < setup.size() ? setup[screen + 38] : 24;
  s.nextId = 1;
}

bool connectSlot(Worker &w, Slot &s) {
  char order = chance(w, 50) ? 'B' : 'l';
  s.c.close();
  s.alive = false;
  s.maxRequestWords = 0;
  s.holdsInputGrabs = false;
  s.pixmaps.clear();
  s.label = w.run.nextLabel++;
  std::string e = s.c.connect(w.run.display, order, kAnswerMs);
  if (!e.empty()) {
    w.run.tally.connectFailures++;
    journalNote(w.run.journal, "c" + std::to_string(s.label) + ": connect failed: " + e);
    s.c.close();
    return false;
  }
  w.run.tally.connects++;
  readScreen(s);
  s.alive = true;
  s.batchesLeft = 1 + int(pick(w, 6));
  if (chance(w, 30)) {
    s.maxRequestWords = s.c.enableBigRequests();
    if (s.maxRequestWords)
      w.run.tally.bigRequestClients++;
    else
      w.run.tally.bigRequestRefusals++;
  }
  note(w, s, "connected");
  return true;
}

// Requests on ids nobody has, requests whose length field does not fit them, and requests of
// no known kind.
void errorBatch(Worker &w, Slot &s) {
  bool big = s.c.big();
  Batch b;
  int n = 6 + int(pick(w, 15));
  std::string kinds;
  for (int i = 0; i < n; i++) {
    uint32_t bad = pick(w, 8) == 0 ? (pick(w, 2) ? 0u : 0xffffffffu) : unknownId(w, s);
    unsigned kind = pick(w, 22);
    kinds += std::to_string(kind) + ",";
    switch (kind) {
      case 0: b.add(withId(big, kMapWindow, bad)); break;
      case 1: b.add(withId(big, kGetGeometry, bad)); break;
      case 2: b.add(withId(big, kFreeGC, bad)); break;
      case 3: b.add(fillRectangle(big, bad, bad, 0, 0, 10, 10)); break;
      case 4:
        b.add(RawRequest(big).b(kCopyArea).b(0).s(0).i(bad).i(s.root).i(bad).s(0).s(0).s(5).s(5).s(20).s(20).done());
        break;
      case 5: b.add(withId(big, kFreePixmap, bad)); break;
      case 6: b.add(withId(big, kCloseFont, bad)); break;
      case 7: b.add(withId(big, kGetAtomName, 0x7fff0000u | pick(w, 0x10000))); break;
      case 8: b.add(withLength(RawRequest(big).b(kGetInputFocus).b(0).s(0).i(0).done(), 2, big)); break;
      case 9: b.add(withLength(RawRequest(big).b(kGetGeometry).b(0).s(0).done(), 1, big)); break;
      case 10: {  // a length field of zero without BIG-REQUESTS: four bytes
        static constexpr uint8_t kOpcodes[] = {kGetInputFocus, kMapWindow, kCreateWindow, kPutImage};
        if (s.maxRequestWords) {
          b.add(withId(big, kQueryTree, bad));
        } else {
          b.add(RawBytes{kOpcodes[pick(w, 4)], 0, 0, 0});
        }
        break;
      }
      case 11:  // a name longer than the request
        b.add(RawRequest(big).b(kInternAtom).b(0).s(0).s(200).s(0).text("STRESSED").done());
        break;
      case 12: {  // a value mask with no values behind it
        RawRequest r(big);
        r.b(kCreateWindow).b(0).s(0).i(newId(s)).i(s.root).s(0).s(0).s(10).s(10).s(0).s(1).i(0).i(0x800 | 0x2);
        b.add(r.done());
        break;
      }
      case 13:  // opcode 0, and a core request that is not served
        b.add(pick(w, 2) ? withId(big, 0, bad)
                         : RawRequest(big).b(kChangeProperty).b(0).s(0).i(s.root).i(39).i(31).b(8).pad(3).i(4)
                               .text("oops").done());
        break;
      case 14: b.add(withId(big, kQueryTree, bad)); break;
      case 15: b.add(createWindow(big, newId(s), bad, 0, 0)); break;
      case 16: b.add(getProperty(big, bad, 39)); break;
      case 17: b.add(withId(big, kKillClient, unknownId(w, s))); break;
      case 18: b.add(plain(big, kSetCloseDownMode, 3 + pick(w, 200))); break;
      case 19: b.add(grabPointer(big, bad, 0)); break;
      case 20: b.add(createPixmap(big, newId(s), s.root, 13, 10, 10)); break;
      case 21:  // rectangles that do not fill the request
        b.add(withLength(RawRequest(big).b(kPolyFillRectangle).b(0).s(0).i(s.root).i(bad).i(0).done(), 4, big));
        break;
    }
  }
  if (s.maxRequestWords && chance(w, 50)) {
    // A big length of one word: refused, and its eight bytes dropped.
    RawBytes tooShort = RawRequest(big).b(kNoOperation).b(0).s(0).i(1).d;
    b.bytes.insert(b.bytes.end(), tooShort.begin(), tooShort.end());
    b.count++;
    kinds += "big1,";
  }
  note(w, s, "error batch " + kinds);
  sendBatch(w, s, b, true);
}

// Requests with replies: atoms, the tree, geometry, fonts (a glyph cursor from a font opened in
// the same write), pointer, extensions, properties; some drawing on pixmaps of its own.
void replyBatch(Worker &w, Slot &s, Batch &b) {
  bool big = s.c.big();
  int n = 5 + int(pick(w, 11));
  std::string kinds;
  for (int i = 0; i < n; i++) {
    unsigned kind = pick(w, 14);
    kinds += std::to_string(kind) + ",";
    switch (kind) {
      case 0: b.add(internAtom(big, "STRESS_" + std::to_string(pick(w, 300)), chance(w, 30))); break;
      case 1: b.add(withId(big, kGetAtomName, 1 + pick(w, 68))); break;
      case 2: b.add(withId(big, kQueryTree, s.root)); break;
      case 3: b.add(withId(big, kGetGeometry, s.root)); break;
      case 4: b.add(plain(big, kGetInputFocus)); break;
      case 5: {
        static const char *kPatterns[] = {"*", "fixed", "-misc-fixed-*", "*-iso8859-1", "nothing-like-this-*"};
        b.add(listFonts(big, kPatterns[pick(w, 5)], 1 + pick(w, 200)));
        break;
      }
      case 6: b.add(withId(big, kQueryPointer, s.root)); break;
      case 7: b.add(withId(big, kGetWindowAttributes, s.root)); break;
      case 8: {
        static const char *kNames[] = {"BIG-REQUESTS", "XC-MISC", "NOT-AN-EXTENSION", "Generic Event Extension"};
        b.add(queryExtension(big, kNames[pick(w, 4)]));
        break;
      }
      case 9: b.add(plain(big, kListExtensions)); break;
      case 10: b.add(getProperty(big, s.root, 1 + pick(w, 68))); break;
      case 11: {  // OpenFont, InternAtom and CreateGlyphCursor in one write
        uint32_t font = newId(s), cursor = newId(s);
        b.add(openFont(big, font, "fixed"));
        b.add(internAtom(big, "STRESS_CURSOR", false));
        b.add(glyphCursor(big, cursor, font, 32 + pick(w, 90)));
        if (chance(w, 50)) b.add(withId(big, kQueryFont, font));
        if (chance(w, 50)) b.add(withId(big, kFreeCursor, cursor));
        if (chance(w, 50)) b.add(withId(big, kCloseFont, font));
        break;
      }
      case 12: {
        uint32_t pixmap = newId(s), gc = newId(s);
        b.add(createPixmap(big, pixmap, s.root, s.depth, 16 + pick(w, 100), 16 + pick(w, 100)));
        b.add(createGC(big, gc, pixmap));
        b.add(fillRectangle(big, pixmap, gc, 0, 0, 8, 8));
        b.add(withId(big, kGetGeometry, pixmap));
        if (chance(w, 30)) {
          b.add(withId(big, kFreePixmap, pixmap));
        } else {
          s.pixmaps.push_back(pixmap);
        }
        break;
      }
      case 13: {
        uint32_t window = newId(s);
        b.add(createWindow(big, window, s.root, int(pick(w, s.rootWidth - 40)), int(pick(w, s.rootHeight - 30)),
                           chance(w, 50)));
        if (chance(w, 50)) b.add(withId(big, kMapWindow, window));
        b.add(withId(big, kQueryTree, window));
        break;
      }
    }
  }
  note(w, s, "reply batch " + kinds);
}

// One or two GetImage of 1024x768 of the root (ZPixmap), anywhere on the meta screen.
void imageBatch(Worker &w, Slot &s, Batch &b) {
  unsigned width = std::min(1024u, s.rootWidth), height = std::min(768u, s.rootHeight);
  int count = 1 + int(pick(w, 2));
  for (int i = 0; i < count; i++) {
    int x = int(pick(w, s.rootWidth - width + 1)), y = int(pick(w, s.rootHeight - height + 1));
    b.add(getImage(s.c.big(), s.root, x, y, width, height));
  }
  note(w, s, "GetImage x" + std::to_string(count));
}

// Requests in the BIG-REQUESTS form: a PutImage longer than 65535 words into a pixmap of its
// own, small requests in the long form, and the image read back.
void bigBatch(Worker &w, Slot &s) {
  bool big = s.c.big();
  uint32_t pixmap = newId(s), gc = newId(s);
  Batch b;
  b.add(createPixmap(big, pixmap, s.root, s.depth, 256, 256));
  b.add(createGC(big, gc, pixmap));
  RawRequest put(big);
  put.b(kPutImage).b(2).s(0).i(pixmap).i(gc).s(256).s(256).s(0).s(0).b(0).b(s.depth).s(0);
  for (unsigned i = 0; i < 256 * 256; i++) put.i(uint32_t(w.rng()));
  RawBytes putImage = put.d;  // length field filled by the long form
  b.add(rawBigForm(putImage, big));
  b.add(rawBigForm(plain(big, kNoOperation), big));
  b.add(rawBigForm(plain(big, kGetInputFocus), big));
  b.add(getImage(big, pixmap, 0, 0, 256, 256));
  Watch image{uint16_t(s.c.sequence() + b.count), 0, {}};
  b.add(withId(big, kFreeGC, gc));
  s.pixmaps.push_back(pixmap);
  note(w, s, "big batch (PutImage 256x256 in the long form)");
  if (!sendBatch(w, s, b, true, &image)) return;
  // The pixels come back as they went (the pad byte of each 32-bit pixel aside: the last in
  // LSBFirst image order, the first in MSBFirst).
  const uint8_t *sent = putImage.data() + 24;
  size_t bytes = 256 * 256 * 4, pad = s.imageMsbFirst ? 0 : 3;
  w.run.tally.imagesCompared++;
  bool same = image.error == 0 && image.reply.size() == 32 + bytes;
  for (size_t i = 0; same && i < bytes; i++) same = i % 4 == pad || image.reply[32 + i] == sent[i];
  if (!same) {
    w.run.tally.imageMismatches++;
    note(w, s, "GETIMAGE DIFFERS from the long PutImage (error " + std::to_string(image.error) + ", " +
                   std::to_string(image.reply.size()) + " bytes)");
  }
}

// GrabServer with a few requests, released; or the pointer and keyboard grabbed and kept (a
// later batch or the client's end lets them go).
void grabBatch(Worker &w, Slot &s) {
  bool big = s.c.big();
  Batch b;
  if (chance(w, 50)) {
    w.run.tally.serverGrabs++;
    b.add(plain(big, kGrabServer));
    b.add(withId(big, kQueryTree, s.root));
    b.add(withId(big, kGetGeometry, s.root));
    note(w, s, "GrabServer");
    if (!sendBatch(w, s, b, true)) return;
    Batch release;
    release.add(plain(big, kUngrabServer));
    note(w, s, "UngrabServer");
    sendBatch(w, s, release, true);
    return;
  }
  if (s.holdsInputGrabs && chance(w, 60)) {
    b.add(withId(big, kUngrabPointer, 0));
    b.add(withId(big, kUngrabKeyboard, 0));
    s.holdsInputGrabs = false;
    note(w, s, "UngrabPointer, UngrabKeyboard");
  } else {
    w.run.tally.pointerGrabs++;
    uint32_t cursor = 0;
    if (chance(w, 40)) {
      uint32_t font = newId(s);
      cursor = newId(s);
      b.add(openFont(big, font, "cursor"));
      b.add(glyphCursor(big, cursor, font, 68));
    }
    b.add(grabPointer(big, s.root, cursor));
    b.add(grabKeyboard(big, s.root));
    s.holdsInputGrabs = true;
    note(w, s, "GrabPointer, GrabKeyboard");
  }
  sendBatch(w, s, b, true);
}

// KillClient of a permanently retained client, of a live neighbour of this thread (its
// connection must close), AllTemporary, or one of its own resources (it is closed itself).
void killBatch(Worker &w, Slot &s) {
  bool big = s.c.big();
  unsigned kind = pick(w, 10);
  if (kind < 2) {
    uint32_t id = 0;
    {
      std::lock_guard<std::mutex> guard(w.run.poolMutex);
      // A few stay for the check at the end.
      if (w.run.permanent.size() > 4) {
        size_t at = pick(w, unsigned(w.run.permanent.size()));
        id = w.run.permanent[at];
        w.run.permanent.erase(w.run.permanent.begin() + long(at));
      }
    }
    if (id) {
      Batch b;
      b.add(withId(big, kKillClient, id));
      Watch kill{uint16_t(s.c.sequence() + 1), 0, {}};
      note(w, s, "KillClient of retained " + hex(id));
      w.run.tally.killsOfRetained++;
      if (sendBatch(w, s, b, true, &kill) && kill.error) {
        w.run.tally.killErrors++;
        note(w, s, "KillClient of a retained client's window answered by error " + std::to_string(kill.error));
      }
      return;
    }
  }
  if (kind < 7) {
    std::vector<Slot *> victims;
    for (Slot &other : w.slots)
      if (&other != &s && other.alive && !other.pixmaps.empty()) victims.push_back(&other);
    if (!victims.empty()) {
      Slot &victim = *victims[pick(w, unsigned(victims.size()))];
      uint32_t id = victim.pixmaps[pick(w, unsigned(victim.pixmaps.size()))];
      Batch b;
      b.add(withId(big, kKillClient, id));
      Watch kill{uint16_t(s.c.sequence() + 1), 0, {}};
      note(w, s, "KillClient of live " + who(victim));
      w.run.tally.killsOfLive++;
      bool answered = sendBatch(w, s, b, true, &kill);
      if (answered && kill.error) {
        w.run.tally.killErrors++;
        note(w, s, "KillClient of a live client's pixmap answered by error " + std::to_string(kill.error));
      }
      if (answered && !kill.error) {
        std::string closed = victim.c.waitClosed(kAnswerMs);
        if (!closed.empty()) {
          w.run.tally.killedNotClosed++;
          note(w, victim, "KILLED BUT NOT CLOSED: " + closed);
        }
      }
      victim.c.close();
      victim.alive = false;
      w.run.tally.vanished[kKilled]++;
      return;
    }
  }
  if (kind < 9) {
    Batch b;
    b.add(withId(big, kKillClient, 0));
    note(w, s, "KillClient AllTemporary");
    w.run.tally.killsOfTemporary++;
    sendBatch(w, s, b, true);
    return;
  }
  if (s.pixmaps.empty()) return;
  Batch b;
  b.add(withId(big, kKillClient, s.pixmaps.front()));
  note(w, s, "KillClient of itself");
  if (!sendBatch(w, s, b, false)) return;
  std::string closed = s.c.waitClosed(kAnswerMs);
  if (!closed.empty()) {
    w.run.tally.killedNotClosed++;
    note(w, s, "KILLED ITSELF BUT NOT CLOSED: " + closed);
  }
  s.c.close();
  s.alive = false;
  w.run.tally.vanished[kKilled]++;
}

// Ends the client's life in one of the hostile ways.
void vanish(Worker &w, Slot &s) {
  bool big = s.c.big();
  auto kind = Vanish(pick(w, kReset + 1));
  std::string how = kVanishNames[kind];
  switch (kind) {
    case kPlain:
      if (chance(w, 50)) {
        Batch b;
        if (!sendBatch(w, s, b, true)) return;
      }
      break;
    case kMidRequest: {
      RawBytes part;
      unsigned variant = pick(w, s.maxRequestWords ? 4 : 3);
      if (variant == 0) {
        part = plain(big, kGetInputFocus);
        part.resize(2);
      } else if (variant == 1) {
        part = createWindow(big, newId(s), s.root, 0, 0);
        part.resize(16);
      } else if (variant == 2) {
        part = withLength(fillRectangle(big, s.root, unknownId(w, s), 0, 0, 1, 1), 1000, big);
        part.resize(200, 0);
      } else {
        // A long form of 200000 words, of which 64 KiB come.
        part = RawRequest(big).b(kPutImage).b(2).s(0).i(200000).i(s.root).i(unknownId(w, s)).d;
        part.resize(65536, 0x5a);
      }
      how += " (variant " + std::to_string(variant) + ")";
      s.c.sendRaw(part.data(), part.size(), kAnswerMs);
      break;
    }
    case kMidReply: {
      Batch b;
      if (chance(w, 50)) {
        imageBatch(w, s, b);
      } else {
        replyBatch(w, s, b);
      }
      sendBatch(w, s, b, false);
      if (chance(w, 50)) usleep(useconds_t(pick(w, 20000)));
      break;
    }
    case kHoldingGrabs: {
      Batch b;
      b.add(plain(big, kGrabServer));
      if (chance(w, 50)) b.add(grabPointer(big, s.root, 0));
      if (chance(w, 50)) b.add(grabKeyboard(big, s.root));
      b.add(withId(big, kQueryTree, s.root));
      w.run.tally.serverGrabs++;
      // Half of them wait until the grab holds; the others are gone before it is read.
      if (!sendBatch(w, s, b, chance(w, 50))) return;
      break;
    }
    case kRetained: {
      uint8_t mode = chance(w, 50) ? 1 : 2;  // RetainPermanent, RetainTemporary
      uint32_t window = newId(s), pixmap = newId(s), gc = newId(s), font = newId(s);
      Batch b;
      b.add(createWindow(big, window, s.root, int(pick(w, s.rootWidth - 40)), int(pick(w, s.rootHeight - 30)),
                         chance(w, 50)));
      if (chance(w, 50)) b.add(withId(big, kMapWindow, window));
      b.add(createPixmap(big, pixmap, window, s.depth, 32, 32));
      b.add(createGC(big, gc, pixmap));
      b.add(openFont(big, font, "fixed"));
      b.add(plain(big, kSetCloseDownMode, mode));
      bool alsoGrab = chance(w, 25);
      if (alsoGrab) {
        b.add(plain(big, kGrabServer));
        w.run.tally.serverGrabs++;
      }
      how += mode == 1 ? " permanent" : " temporary";
      if (alsoGrab) how += " with GrabServer";
      if (!sendBatch(w, s, b, true)) return;
      s.c.close();
      if (mode == 1) {
        std::lock_guard<std::mutex> guard(w.run.poolMutex);
        w.run.permanent.push_back(window);
      }
      break;
    }
    case kReset: {
      linger hard{1, 0};
      setsockopt(s.c.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      if (chance(w, 50)) {
        Batch b;
        replyBatch(w, s, b);
        sendBatch(w, s, b, false);
      }
      break;
    }
    default: break;
  }
  note(w, s, "vanishes: " + how);
  w.run.tally.vanished[kind]++;
  s.c.close();
  s.alive = false;
}

void step(Worker &w, Slot &s) {
  if (!s.alive) {
    if (!connectSlot(w, s)) usleep(20000);
    return;
  }
  if (s.batchesLeft-- <= 0) return vanish(w, s);
  unsigned kind = pick(w, 100);
  if (kind < 30) return errorBatch(w, s);
  if (kind < 60) {
    Batch b;
    replyBatch(w, s, b);
    sendBatch(w, s, b, true);
    return;
  }
  if (kind < 70) {
    Batch b;
    imageBatch(w, s, b);
    sendBatch(w, s, b, true);
    return;
  }
  if (kind < 80 && s.maxRequestWords) return bigBatch(w, s);
  if (kind < 90) return grabBatch(w, s);
  killBatch(w, s);
}

void stressThread(Worker &w) {
  for (size_t i = 0; xvfbNowMs() < w.run.endMs && !w.run.stop; i = (i + 1) % w.slots.size()) step(w, w.slots[i]);
  for (Slot &s : w.slots) s.c.close();
}

// ===== the bystander ==========================================================================
struct Bystander {
  std::atomic<bool> stop{false};
  std::atomic<long> trips{0};
  std::atomic<long long> worstMs{0};
  std::atomic<bool> failed{false};
  std::string failure;  // written by its thread before `failed`, read after the join
};

void bystanderThread(Bystander &b, int display, char order) {
  RawClient c;
  if (std::string e = c.connect(display, order, kAnswerMs); !e.empty()) {
    b.failure = "connect: " + e;
    b.failed = true;
    return;
  }
  while (!b.stop) {
    long long start = xvfbNowMs();
    RawBytes answer;
    std::string e = c.roundTrip(plain(c.big(), kGetInputFocus), answer, kAnswerMs);
    long long took = xvfbNowMs() - start;
    if (!e.empty() || answer[0] != 1) {
      b.failure = "round trip " + std::to_string(b.trips + 1) + " after " + std::to_string(took) +
                  " ms: " + (e.empty() ? "error " + std::to_string(answer[1]) : e);
      b.failed = true;
      return;
    }
    b.trips++;
    if (took > b.worstMs) b.worstMs = took;
    c.events().clear();
    usleep(2000);
  }
}

// ===== the test ===============================================================================
uint64_t seedOfRun() {
  if (const char *text = getenv("TARVO_STRESS_SEED"); text && *text) return strtoull(text, nullptr, 0);
  return (uint64_t(std::random_device{}()) << 32) ^ std::random_device{}();
}

int secondsOfRun() {
  const char *text = getenv("TARVO_STRESS_SECONDS");
  int seconds = text ? atoi(text) : 0;
  return seconds > 0 ? seconds : kDefaultSeconds;
}

// utime + stime of the process in clock ticks (-1 when unreadable).
long long cpuTicks(pid_t pid) {
  std::string stat = tarvoReadFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  for (size_t at = close + 2; at < stat.size();) {
    size_t end = stat.find(' ', at);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(at, end - at));
    at = end + 1;
  }
  // Fields 14 and 15 of the line; the list starts at field 3 (the state).
  if (fields.size() < 13) return -1;
  return atoll(fields[11].c_str()) + atoll(fields[12].c_str());
}

class StressThroughTarvo : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }
  void SetUp() override {
    TarvoOptions t;
    if (const char *types = getenv("TARVO_STRESS_LOGTYPES")) t.logTypes.push_back(types);
    ASSERT_EQ(tarvoStartOnScreens(xvfb, tarvo, GetParam(), "1024x768x24", t), "");
  }
  void TearDown() override {
    if (HasFailure()) fprintf(stderr, "----- the last client actions -----\n%s", journalTail(run.journal, 120).c_str());
  }

  // The stress phase: the threads and the bystander, while the main thread watches tarvo.
  void stress(uint64_t seed, int seconds) {
    run.display = tarvo.displayNumber();
    run.journal.startMs = xvfbNowMs();
    run.endMs = run.journal.startMs + seconds * 1000LL;
    std::mt19937_64 seeds(seed);
    std::thread watcher(bystanderThread, std::ref(bystander), run.display, (seed & 1) ? 'B' : 'l');
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kThreads; i++) workers.emplace_back(new Worker{run, i, std::mt19937_64(seeds()), {}});
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (auto &w : workers)
      threads.emplace_back([worker = w.get(), &finished] {
        stressThread(*worker);
        finished++;
      });
    while (finished < kThreads) {
      if (!run.stop && tarvo.wait(0) >= 0) {
        run.stop = true;
        journalNote(run.journal, "tarvo ended with status " + std::to_string(tarvo.status()));
      }
      usleep(50000);
    }
    for (std::thread &t : threads) t.join();
    // A few more round trips after the last stress client has gone.
    long long trips = bystander.trips;
    for (int i = 0; i < 200 && bystander.trips < trips + 3 && !bystander.failed && !run.stop; i++)
      usleep(10000);
    bystander.stop = true;
    watcher.join();
  }

  void printTally(int seconds) {
    Tally &t = run.tally;
    printf("stress of %d s with %d head(s): %ld connections (%ld refused), %ld requests, %ld replies, %ld events,"
           " %ld MB of large replies\n",
           seconds, GetParam(), t.connects.load(), t.connectFailures.load(), t.requests.load(), t.replies.load(),
           t.events.load(), t.imageBytes.load() >> 20);
    std::string errors;
    for (int code = 0; code < 256; code++)
      if (long count = t.errors[code].load()) errors += " " + std::to_string(code) + ":" + std::to_string(count);
    printf("  errors by code:%s\n", errors.c_str());
    std::string ends;
    for (int k = 0; k < kVanishKinds; k++)
      ends += std::string(" ") + kVanishNames[k] + " " + std::to_string(t.vanished[k].load()) + ",";
    printf("  ends:%s closed by tarvo %ld\n", ends.c_str(), t.closedByTarvo.load());
    printf("  BIG-REQUESTS clients %ld (refused %ld, %ld long PutImages read back), server grabs %ld, pointer and"
           " keyboard grabs %ld\n",
           t.bigRequestClients.load(), t.bigRequestRefusals.load(), t.imagesCompared.load(), t.serverGrabs.load(),
           t.pointerGrabs.load());
    printf("  KillClient: of retained %ld, of live %ld, AllTemporary %ld\n", t.killsOfRetained.load(),
           t.killsOfLive.load(), t.killsOfTemporary.load());
    printf("  bystander: %ld round trips, worst %lld ms\n", bystander.trips.load(), bystander.worstMs.load());
  }

  // A new client after the stress: it is served; the windows of permanently retained clients
  // are still there, each where its client put it, until KillClient frees them. (An id without
  // a record goes to the real server as it is, where it may name another window: a window
  // counts as gone when the id gives an error or a different geometry.)
  void checkAfterwards() {
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B', kAnswerMs), "");
    bool big = c.big();
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(withId(big, kQueryTree, c.rootWindow()), answer, kAnswerMs), "");
    EXPECT_EQ(answer[0], 1);
    std::vector<uint32_t> retained;
    {
      std::lock_guard<std::mutex> guard(run.poolMutex);
      retained = run.permanent;
    }
    printf("  %zu windows of permanently retained clients left\n", retained.size());
    // x, y, width and height of the window, or an empty text with the error.
    auto geometry = [&](uint32_t window) -> std::string {
      if (!c.roundTrip(withId(big, kGetGeometry, window), answer, kAnswerMs).empty()) return "no answer";
      if (answer[0] != 1) return "";
      return std::to_string(int16_t(rawGet16(answer, 12, big))) + "," + std::to_string(int16_t(rawGet16(answer, 14, big))) +
             " " + std::to_string(rawGet16(answer, 16, big)) + "x" + std::to_string(rawGet16(answer, 18, big));
    };
    std::vector<std::string> before;
    for (uint32_t window : retained) {
      before.push_back(geometry(window));
      EXPECT_NE(before.back(), "") << "retained window " << hex(window) << " gone (error " << int(answer[1]) << ")";
    }
    for (uint32_t window : retained)
      EXPECT_EQ(errorOf(c, withId(big, kKillClient, window)), 0) << "KillClient of retained window " << hex(window);
    int aliased = 0;
    for (size_t i = 0; i < retained.size(); i++) {
      if (before[i].empty()) continue;
      std::string after = geometry(retained[i]);
      // The real server takes the close of a connection on its own time.
      for (long long deadline = xvfbNowMs() + 5000; after == before[i] && xvfbNowMs() < deadline; after = geometry(retained[i]))
        usleep(20000);
      if (!after.empty() && after != before[i]) aliased++;
      EXPECT_NE(after, before[i]) << "window " << hex(retained[i]) << " still there after KillClient";
    }
    printf("  %d killed window ids answered with another window of the real server\n", aliased);
    EXPECT_EQ(errorOf(c, withId(big, kKillClient, 0)), 0);
  }

  // Sends a request without a reply and a GetInputFocus behind it: the error code the request
  // got, 0 when none, -1 when the answers did not come.
  static int errorOf(RawClient &c, const RawBytes &request) {
    if (!c.send(request).empty()) return -1;
    uint16_t sequence = c.sequence();
    if (!c.send(plain(c.big(), kGetInputFocus)).empty()) return -1;
    int error = 0;
    for (RawBytes answer;;) {
      if (!c.read(answer, kAnswerMs).empty()) return -1;
      uint16_t of = uint16_t(rawGet16(answer, 2, c.big()));
      if (answer[0] == 0 && of == sequence) error = answer[1];
      if (answer[0] == 1 && of == c.sequence()) return error;
    }
  }

  XvfbServer xvfb;
  TarvoProcess tarvo;
  StressRun run;
  Bystander bystander;
};

TEST_P(StressThroughTarvo, HostileClientsLeaveTarvoServingAndClean) {
  uint64_t seed = seedOfRun();
  int seconds = secondsOfRun();
  printf("stress seed %" PRIu64 " (TARVO_STRESS_SEED=%" PRIu64 " repeats it), %d s, %d head(s)\n", seed, seed,
         seconds, GetParam());
  fflush(stdout);
  stress(seed, seconds);
  if (!run.stop && tarvo.wait(0) >= 0) run.stop = true;
  printTally(seconds);
  ASSERT_FALSE(run.stop) << "tarvo ended during the stress with status " << tarvo.status() << "\n"
                         << tarvo.output();

  EXPECT_EQ(bystander.failure, "");
  EXPECT_GT(bystander.trips.load(), 0);
  EXPECT_EQ(run.tally.unanswered.load(), 0) << "stress clients whose answers stopped";
  EXPECT_EQ(run.tally.connectFailures.load(), 0);
  EXPECT_EQ(run.tally.killErrors.load(), 0);
  EXPECT_EQ(run.tally.killedNotClosed.load(), 0);
  EXPECT_EQ(run.tally.imageMismatches.load(), 0);
  checkAfterwards();

  long long before = cpuTicks(tarvo.pid());
  long long startMs = xvfbNowMs();
  usleep(kIdleMs * 1000);
  long long after = cpuTicks(tarvo.pid());
  double idleSeconds = double(xvfbNowMs() - startMs) / 1000;
  if (before >= 0 && after >= 0)
    printf("tarvo idle CPU after the stress (%d head(s)): %.2f %% of a core over %.1f s\n", GetParam(),
           100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / idleSeconds, idleSeconds);

  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
  std::string output = tarvo.output();
  bool clean = true;
  for (const char *report : {"ERROR: AddressSanitizer", "runtime error:", "LeakSanitizer", "Sanitizer"})
    clean = clean && output.find(report) == std::string::npos;
  EXPECT_TRUE(clean) << "sanitizer report from tarvo:\n" << output;
}

INSTANTIATE_TEST_SUITE_P(Heads, StressThroughTarvo, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &info) {
                           return std::to_string(info.param) + (info.param == 1 ? "Head" : "Heads");
                         });

}  // namespace
