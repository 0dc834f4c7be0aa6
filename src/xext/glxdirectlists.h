// The display lists the proxy keeps for the in-proxy GL path (recording, replay, CallLists and the
// list base) and the bound on the work one render request may make the library do, for the
// render decoder (glxdirectrender.cpp). The rules are written at the head of glxdirectlists.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "xext/glxdirectcommand.h"

// The commands recorded for one list (glxdirect.h gives their form), or a list the library made
// itself (libraryList, no commands). Owned by the share group's list table (glxdirectstate.cpp)
// or, while the list is made, by the context node (compileBody).
struct GlxDirectListBody {
  std::vector<uint8_t> commands;
  uint32_t libraryList;
};

// ===== the work of one request =====
// The time one render request's GL work may take (glxdirectlists.cpp): of its own turns when it
// yields its turn (it stands still while others are served), and at once when it cannot.
constexpr int64_t kGlxDirectRequestOwnNs = 10'000'000'000;
constexpr int64_t kGlxDirectRequestNs = 250'000'000;
// The clock of the bound (monotonic nanoseconds); tests replace it.
using GlxDirectClock = int64_t (*)();
extern GlxDirectClock glxdirectClock;
// The finish interval of an instance: kGlxDirectFirstInterval units at first, at most
// kGlxDirectMaxInterval (less on a large viewport); a piece of a draw has at most
// kGlxDirectDrawPiece vertices.
constexpr uint64_t kGlxDirectFirstInterval = 8;
constexpr uint64_t kGlxDirectMaxInterval = uint64_t(1) << 16;
constexpr int64_t kGlxDirectDrawPiece = int64_t(1) << 16;

namespace glxdirectdecode {

// A render request begins: its work starts from nothing, with the shortest finish interval (it
// yields its turn when it runs through miscRunYielding); and ends (what runs outside a request
// is not counted).
void startRequestWork(GlxLibraryInstance *instance);
void endRequestWork(GlxLibraryInstance *instance);
// The command is about to make the library do units of work: false once the request's bound
// was met or its client has gone (the command is dropped, and so is everything after it in
// the request; the client's next GetError answers GL_OUT_OF_MEMORY, unless the client has
// gone). Finishes the library first when the interval's work is done (inside glBegin/glEnd
// only between two primitives of an independent mode or of a strip that may be cut, the
// primitive ended and begun again around the finish), and yields the client's turn once it is
// over: the request stands still here until the client's next turn (no glBegin of the proxy's
// own is open at any call).
bool spend(const Command &c, uint64_t units);
// Ends the request's work at the command because of why (its client closes, its slot went while
// it stood still): the rest is dropped, as at its bound. Always false.
bool stopWork(const Command &c, const char *why);
// A draw of the library, draw() (which may leave its vertices kept back in the library): where
// the request may yield and it is the context's first draw with its program since that
// program's link, it is made outside the loop and flushed there (the library makes the
// program's machine code at that draw, or at the flush of vertices it kept back: seconds for a
// long program; glxdirectOutside), the request's work ending when its client or its context
// went meanwhile; else at once. Later draws that need other machine code for the same program
// (another blend or depth state) are made at once.
bool firstDrawOfProgram(const Command &c);
void drawOutside(const Command &c, void (*draw)(void *), void *argument);
template <typename Draw>
void libraryDraw(const Command &c, Draw draw) {
  if (!firstDrawOfProgram(c)) return draw();
  drawOutside(c, [](void *a) { (*static_cast<Draw *>(a))(); }, &draw);
}
// Inside glBegin/glEnd: the command just executed gave the library vertices or not (or the
// proxy cannot tell: the primitive is then finished only at its glEnd).
void beginCounted(const Command &c);
// Inside a strip that may be cut (GlxLibraryInstance::beginStripCuttable): the command just
// executed is kept for the vertex it belongs to, or ends the strip's cutting for good when it
// cannot be given again.
void beginRecorded(const Command &c);
// A command kept for an open strip given to the library again (defined with the executor,
// glxdirectrender.cpp).
void glxdirectGiveAgain(GlxLibraryInstance *instance, const GlxDirectStripCommand &command);
// The units of work the command is before it runs: one, but inside glBegin/glEnd a primitive is
// the unit (a primitive may fill the viewport; its vertices and their attributes alone draw
// nothing): the vertex that completes one of an independent mode counts one, every vertex of a
// strip, fan or polygon one, attributes nothing.
uint64_t commandUnits(const Command &c);
// The most vertices one piece of a draw may give the library now (the finish interval, at
// least one and at most kGlxDirectDrawPiece).
int64_t pieceVertices(const GlxLibraryInstance *instance);
// A piece of a draw went to the library: it is finished before anything more runs.
void pieceDrawn(GlxLibraryInstance *instance);
// The command just executed may have changed the viewport (the interval's cap follows it), or
// may have filled the whole drawable (an accumulation, pixels drawn or copied, which no viewport
// bounds): it counts a quarter of the interval.
void commandDone(const Command &c);

// A glBegin of mode is about to reach the library, none being open: what gives a vertex inside
// it is asked now (for beginCounted), as nothing can be asked there.
void beginAsked(const Command &c, uint32_t mode);

// The current values of the attributes whose arrays are enabled: ArrayElement sets them, and the
// library's own draw leaves them as they were. Kept (keepCurrentValues) before the first piece
// of a draw that goes through ArrayElement, set back (restoreCurrentValues, nothing when none
// were kept) after its last; defined with the client arrays (glxdirectrender.cpp).
constexpr uint32_t kGlxDirectArrayLimit = 64;  // texture units and generic attributes looked at
struct CurrentValues {
  bool kept;
  uint32_t kinds;       // conventional arrays enabled, by kArrayKinds index (vertex and texture
                        // coordinates not among them)
  uint64_t units;       // texture units whose coordinate array is enabled
  uint64_t attributes;  // generic attributes from 1 on whose array is enabled
  float kind[8][4];
  float unit[kGlxDirectArrayLimit][4];
  float attribute[kGlxDirectArrayLimit][4];
};
void keepCurrentValues(const Command &c, CurrentValues &values);
void restoreCurrentValues(const Command &c, const CurrentValues &values);

// The piece drawers of drawInPieces: piece(mode, at, n) draws the vertices [at, at + n) of the
// draw with that mode; elements(from, n, out) appends the array elements of the vertices
// [from, from + n) to out (false: dropped, nothing more is drawn). drawByElements draws the
// elements by ArrayElement inside glBegin/glEnd, the current values kept first (once).
void drawByElements(const Command &c, uint32_t mode, const std::vector<uint32_t> &elements, CurrentValues &current);
// Whether a draw of mode (indexed: through an element array) must go whole because pieces would
// draw it differently (glxdirectlists.cpp); whether line stipple is on.
bool drawnWhole(const Command &c, uint32_t mode, bool indexed);
bool linesStippled(const Command &c);

// A draw of count vertices in mode, given to the library in pieces of at most pieceVertices
// vertices, each counted with spend before it is drawn: independent primitives are cut between
// primitives, strips carry their last vertices over (triangle strips an even count, so that
// the winding goes on), fans and filled polygons start each piece again at their first vertex,
// and loops are drawn as strips closed by a last line; the pieces that do not lie in one run
// are drawn by ArrayElement inside glBegin/glEnd, as GL defines the draw, and the current
// values they set are set back afterwards. What pieces would draw differently goes whole,
// however long (drawnWhole: one call of the library, which runs to its end); so does a mode of
// no name (the library's error).
template <typename Piece, typename Elements>
void drawInPieces(const Command &c, uint32_t mode, int64_t count, bool indexed, Piece piece, Elements elements) {
  constexpr uint32_t kLineLoop = 2, kFan = 6, kPolygon = 9;
  int64_t step = 0, overlap = 0;
  switch (mode) {
    case 0: step = 1; break;               // points
    case 1: step = 2; break;               // lines
    case 3: step = 1, overlap = 1; break;  // line strip
    case 4: step = 3; break;               // triangles
    case 5: step = 2, overlap = 2; break;  // triangle strip
    case 7: step = 4; break;               // quads
    case 8: step = 2, overlap = 2; break;  // quad strip
    default: break;
  }
  auto whole = [&] {
    if (!spend(c, uint64_t(count > 0 ? count : 0))) return;
    libraryDraw(c, [&] { piece(mode, 0, count); });
  };
  // The interval is brought up to date (a finish due comes first) before the pieces are sized.
  if (!spend(c, 0)) return;
  if (count <= 0 || mode > 14 || count <= pieceVertices(c.instance)) return whole();
  if (drawnWhole(c, mode, indexed)) return whole();
  if (step) {
    for (int64_t at = 0;;) {
      if (at > 0 && !spend(c, 0)) return;
      int64_t room = pieceVertices(c.instance);
      int64_t advance = room > overlap + step ? (room - overlap) / step * step : step;
      int64_t n = count - at < advance + overlap ? count - at : advance + overlap;
      if (!spend(c, uint64_t(n))) return;
      libraryDraw(c, [&] { piece(mode, at, n); });
      pieceDrawn(c.instance);
      if (at + n >= count) return;
      at += advance;
    }
  }
  // Fans, filled polygons and loops: the first piece in one run, then pieces that start at the
  // first vertex again (fans, polygons) or carry the last one over (loops). The current values
  // the ArrayElement pieces set are set back however the draw ends.
  CurrentValues current;
  current.kept = false;
  struct SetBack {
    const Command &c;
    const CurrentValues &values;
    ~SetBack() { restoreCurrentValues(c, values); }
  } setBack{c, current};
  int64_t first = pieceVertices(c.instance);
  if (!spend(c, uint64_t(first))) return;
  libraryDraw(c, [&] { piece(mode == kLineLoop ? 3 : mode, 0, first); });
  pieceDrawn(c.instance);
  std::vector<uint32_t> run;
  for (int64_t at = first; at < count;) {
    if (!spend(c, 0)) return;
    int64_t room = pieceVertices(c.instance);
    int64_t n = count - at < room ? count - at : room;
    run.clear();
    if (mode == kLineLoop) {
      if (!spend(c, uint64_t(n + 1))) return;
      libraryDraw(c, [&] { piece(3, at - 1, n + 1); });
    } else {
      if (!spend(c, uint64_t(n + 2))) return;
      if (!elements(0, 1, run) || !elements(at - 1, n + 1, run)) return;
      drawByElements(c, mode == kFan ? kFan : kPolygon, run, current);
    }
    pieceDrawn(c.instance);
    at += n;
  }
  if (mode == kLineLoop) {
    // The loop's closing line, from its last vertex to its first.
    run.clear();
    if (!spend(c, 2) || !elements(count - 1, 1, run) || !elements(0, 1, run)) return;
    drawByElements(c, 1, run, current);
  }
}

// ===== display lists kept by the proxy =====
// Whether GL executes the command at once instead of compiling it into a list.
bool executedAtOnce(const Command &c);
// CallList of list: the recorded commands replayed through the executor.
void callList(const Command &c, uint32_t list);
// CallLists (render command 2).
void callListsCommand(const Command &c);
// PushAttrib (push) and PopAttrib: the list base kept and restored with GL_LIST_BIT.
void attributeStack(const Command &c, bool push);

}  // namespace glxdirectdecode
