// Display lists kept by the proxy, and the bound on the work of one render request.
//
// The work bound. A render request (GLXRender, GLXRenderLarge) may make the library work far
// beyond its bytes: a list call replays a list, which calls others, a draw expands to its
// vertices, a mesh to its points, and one primitive may fill the whole drawable. What it costs
// is measured where it is paid, in time. Time decides whose turn it is, not whether a request
// succeeds: a request runs on a stack of its own (miscRunYielding, proxy/connections.h), and
// once its client's turn is over it yields where it stands, between two commands or two pieces
// of a draw (the proxy has no glBegin of its own open there; a client's glBegin stays open in
// the library, which keeps it for its context while others draw), and goes on at the client's
// next turn, where it made its context current again; the others are served in between. Only
// a request whose own turns add up to kGlxDirectRequestOwnNs, far beyond any honest frame, ends
// there, as a GPU driver's watchdog ends a command buffer (and one that cannot yield, without a
// stack of its own, at kGlxDirectRequestNs of time); so does one whose client hung up, at the
// first check after it (a client that has gone is not drawn for). The command at which it ends
// is dropped, and so is the rest of the request; the client's next GetError answers
// GL_OUT_OF_MEMORY. Every command the library runs, sent or replayed, is a unit of work, a
// list call one more, a draw its vertices, a mesh its points; each is counted (spend) before it
// runs, and the clock is read then. The library queues what it is given and draws it later, on
// threads of its own, so the clock sees what a command cost only once the library has
// finished: it is finished after every interval of units (never inside glBegin/glEnd, where GL
// allows no finish; inside a glBegin of independent primitives the proxy ends it between two
// of them and begins it again, and inside a filled triangle or quad strip, triangle fan or
// polygon likewise, giving two of its vertices again). The interval is the instance's: it starts at
// kGlxDirectFirstInterval units, doubles while the stretches between two finishes stay shorter
// than kShortStretchNs, shrinks to what a long stretch would have held when one runs longer
// than kLongStretchNs, and never passes a cap that the viewport sets (a unit may be a primitive
// that fills it: a whole interval of those stays within kJumpNs, however small the units were
// that let it grow; the cap is asked for before a glBegin, and kept with the context while the
// glBegin is open; filled triangles and quads under the fixed-function transform count by the
// pixels they may cover, a unit being a viewport's). Draws and meshes are cut into pieces of the
// interval; an accumulation and pixels drawn or copied (which may fill the whole drawable, not
// only the viewport) count a quarter of it each (a clear costs the library little, whatever it
// covers). So however much the primitives fill, no stretch between two looks at the clock runs
// long, and a request yields within about one piece of its turn's end. glxgears, glxinfo and
// list-heavy honest programs never meet the bound.
//
// The lists. The library never compiles a client's list: NewList opens a list in the current
// context (glxdirectstate.cpp), each render command but those GL executes at once is recorded
// as sent into the list's body, and EndList keeps the body under its name in the share group.
// The body's room grows by half at a time, counted against the client's lumoraMemory before it
// is taken; where the half does not fit, it grows to what the budget leaves, and a command that
// does not fit that fails at once (BadAlloc; GL_OUT_OF_MEMORY for the client's next GetError):
// filling a budget costs time in proportion to its bytes. CallList and CallLists replay the
// recorded commands through the render decoder, with the same checks as commands sent
// directly, at most GL_MAX_LIST_NESTING lists deep.
#include "xext/glxdirectlists.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "support/fd.h"
#include "support/orders.h"
#include "support/strtemp.h"

GlxDirectClock glxdirectClock = ordersMonotonicNs;

namespace {

constexpr const char *kSource = "Xext/glxdirectlists";

constexpr uint32_t kGl2Bytes = 0x1407;
constexpr uint32_t kGl3Bytes = 0x1408;
constexpr uint32_t kGl4Bytes = 0x1409;
constexpr uint32_t kGlInvalidEnum = 0x0500;
constexpr uint32_t kGlInvalidValue = 0x0501;
constexpr uint32_t kGlOutOfMemory = 0x0505;
constexpr uint32_t kGlPolygonMode = 0x0B40, kGlFill = 0x1B02;
constexpr uint32_t kGlLineStipple = 0x0B24;
constexpr uint32_t kGlMap1Vertex3 = 0x0D97, kGlMap1Vertex4 = 0x0D98, kGlMap2Vertex3 = 0x0DB7, kGlMap2Vertex4 = 0x0DB8;
constexpr uint32_t kGlVertexArray = 0x8074, kGlVertexAttribArrayEnabled = 0x8622;
// Primitive restart (GL 3.1), with a fixed index (GL 4.3), and NV_primitive_restart's.
constexpr uint32_t kGlPrimitiveRestart = 0x8F9D, kGlPrimitiveRestartFixedIndex = 0x8D69,
                   kGlPrimitiveRestartNv = 0x8558;

// Commands of at most a unit between two looks at the clock.
constexpr uint8_t kClockCommands = 16;
// The stretches that move the finish interval: a finish costs the library a millisecond or so
// on a large window (it ends its scene and waits for its threads), so the stretches are kept
// long enough for that to stay a small part of them.
// The strips a glBegin may be cut in (stripCuttable).
constexpr uint32_t kBeginTriangleStrip = 5, kBeginTriangleFan = 6, kBeginQuadStrip = 8, kBeginPolygon = 9;
constexpr int64_t kShortStretchNs = 8'000'000;
constexpr int64_t kLongStretchNs = 32'000'000;
// What one unit may cost at most, for the interval's cap: a primitive that fills the viewport,
// blended, at about kPixelPs picoseconds a pixel; the cap keeps a whole interval of such units
// (a client that changes from small primitives to large ones within one) within kJumpNs. Every
// finish ends the library's scene (on a large window it stores and loads every tile again), so
// small filled triangles count by their pixels (weighed units, below): a model of 20 000 of
// them on 1280x1024 goes to the library between two finishes as a whole.
constexpr uint64_t kPixelPs = 300;
constexpr uint64_t kJumpNs = 2'000'000'000;
constexpr uint32_t kGlViewport = 0x0BA2;

// Whether the current client has hung up (its socket shows the end of both directions, or an
// error): a client that only shut its writing side still reads its replies, and is drawn for.
bool clientGone() {
  ClientConnection *client = xproxyCurrentClient;
  return client && (client->fd < 0 || fdHungUp(client->fd));
}

}  // namespace

namespace glxdirectdecode {

// ===== the work of one request =====
namespace {
// The interval's cap for the viewport current now.
void capInterval(GlxLibraryInstance *instance) {
  GLint viewport[4] = {0, 0, 0, 0};
  if (!instance->insideBegin) instance->functions.glGetIntegerv(kGlViewport, viewport);
  uint64_t area = uint64_t(viewport[2] > 0 ? viewport[2] : 1) * uint64_t(viewport[3] > 0 ? viewport[3] : 1);
  uint64_t cap = kJumpNs * 1000 / kPixelPs / area;
  instance->workIntervalCap = cap < kGlxDirectFirstInterval ? kGlxDirectFirstInterval
                              : cap > kGlxDirectMaxInterval ? kGlxDirectMaxInterval
                                                            : cap;
  if (instance->workInterval > instance->workIntervalCap) instance->workInterval = instance->workIntervalCap;
}
}  // namespace

void startRequestWork(GlxLibraryInstance *instance) {
  // The cap is asked for when the interval is to pass the first one (and at once when it has
  // already: the viewport may have grown since); inside a glBegin left open by an earlier
  // request the context's is kept (nothing can be asked there).
  if (!instance->insideBegin) {
    instance->workIntervalCap = 0;
    if (instance->workInterval > kGlxDirectFirstInterval) capInterval(instance);
  }
  instance->workStartNs = glxdirectClock();
  instance->workTurnStartNs = instance->workStartNs;
  instance->workOwnNs = 0;
  instance->workFinishedNs = instance->workStartNs;
  instance->workSinceFinish = 0;
  if (!instance->workInterval) instance->workInterval = kGlxDirectFirstInterval;
  instance->workSpent = 0;
  instance->workClockSkip = 0;
  instance->workBounded = 1;
  instance->workYields = miscCanYield() ? 1 : 0;
  instance->listDepth = 0;
}

void endRequestWork(GlxLibraryInstance *instance) { instance->workBounded = 0; }

namespace {
// What a request that stands still keeps of the instance's work (the others' requests use the
// same fields meanwhile).
struct StandingWork {
  uint8_t bounded, yields, spent, listDepth;
  int64_t startNs, turnStartNs, ownNs, finishedNs;
  uint64_t sinceFinish, interval;
};

// The request stands still in stand(argument) (false: its client is closing), until its
// client's next turn at the earliest (others may use the instance meanwhile), then has its
// context current again. NULL, or why it must end: its client is closing, or its context or
// drawable went meanwhile (then no context is current, and what runs while the request ends
// reaches nobody's).
const char *standStill(GlxLibraryInstance *instance, int64_t now, bool (*stand)(void *), void *argument) {
  uint32_t slot = instance->currentTagSlot;
  void *context = slot ? instance->tagSlots[slot].context : nullptr;
  StandingWork kept{instance->workBounded, instance->workYields,    instance->workSpent,
                    instance->listDepth,   instance->workStartNs,   instance->workTurnStartNs,
                    instance->workOwnNs + (now - instance->workTurnStartNs), instance->workFinishedNs,
                    instance->workSinceFinish, instance->workInterval};
  instance->workBounded = 0;  // what others run outside a request of theirs counts nothing
  bool goesOn = stand(argument);
  instance->workBounded = kept.bounded;
  instance->workYields = kept.yields;
  instance->workSpent = kept.spent;
  instance->listDepth = kept.listDepth;
  instance->workStartNs = kept.startNs;
  instance->workOwnNs = kept.ownNs;
  instance->workSinceFinish = kept.sinceFinish;
  instance->workInterval = kept.interval;
  // Its own time goes on from here; what the library did for others is no stretch of its.
  instance->workClockSkip = 0;
  instance->workTurnStartNs = glxdirectClock();
  instance->workFinishedNs = instance->workTurnStartNs;
  const GlxDirectTagSlot &s = instance->tagSlots[slot];
  bool own = slot && s.context == context && !s.drawableGone;
  if (own && (instance->currentTagSlot == slot || glxdirectMakeTagCurrent(instance, slot)))
    return goesOn ? nullptr : "its client has gone";
  glxdirectReleaseCurrent(instance);
  return goesOn ? "its drawable or context has gone" : "its client has gone";
}

// The client's turn is over: the request stands still until the client's next turn.
const char *yieldTurn(GlxLibraryInstance *instance, int64_t now) {
  return standStill(instance, now, [](void *) { return miscYieldTurn(); }, nullptr);
}

// The client whose GL work the library works off while its request stands in a finish
// (glxdirectFinishYielding): set while it waits for its fence, cleared when that passes or the
// wait ends. The render requests of other heavy clients (whose own last finish outlasted a turn:
// ClientConnection::glxHeavy) give the library nothing meanwhile, they yield their turns until
// it is clear (spend): the work of several such contexts at once would share the processors,
// and a call that waits for room in the library's queue would wait that much longer, holding
// everyone. Light clients (glxgears) and plain ones are served all along. flightNext: the first
// heavy client that waited so, which goes first once the flight is over (the one whose work was
// worked off waits its turn then), cleared when it goes on or its request ends.
ClientConnection *flightClient = nullptr;
ClientConnection *flightNext = nullptr;

// Whether the current context draws where nobody sees it until a swap or a copy: a back buffer,
// a framebuffer object's attachment, or nowhere. A flush of what is drawn into a front buffer
// shows it, and the library waits for it there: the fence would only add a second showing.
bool drawsBehind(GlxLibraryInstance *instance) {
  constexpr uint32_t kGlDrawBuffer = 0x0C01, kGlBackLeft = 0x0402, kGlBackRight = 0x0403, kGlBack = 0x0405,
                     kGlColorAttachment0 = 0x8CE0, kGlColorAttachmentLast = 0x8CFF;
  GLint buffer[4] = {-1, -1, -1, -1};
  instance->functions.glGetIntegerv(kGlDrawBuffer, buffer);
  uint32_t b = uint32_t(buffer[0]);
  return b == 0 || b == kGlBackLeft || b == kGlBackRight || b == kGlBack ||
         (b >= kGlColorAttachment0 && b <= kGlColorAttachmentLast);
}

// GL_ARB_sync.
constexpr uint32_t kGlSyncGpuCommandsComplete = 0x9117, kGlTimeoutExpired = 0x911B;
constexpr uint32_t kGlSyncFlushCommandsBit = 0x1;
// The shortest wait for a fence between two yields (the turn's rest when that is longer), and
// the first wait: a finish of an ordinary interval's work is waited for at once, as the
// library's own finish would be, so that the GL clients' work still goes to the library one
// client's at a time; only a longer one yields.
constexpr int64_t kFenceWaitNs = 1'000'000;
constexpr int64_t kFenceFirstWaitNs = kLongStretchNs;
}  // namespace
}  // namespace glxdirectdecode

namespace {
constexpr int kOutsideYieldsAtMost = 4;
}  // namespace

const char *glxdirectOutside(GlxLibraryInstance *instance, void (*call)(void *), void *argument) {
  if (!miscCanYield() || instance->insideBegin) {
    call(argument);
    return nullptr;
  }
  // The clients the last call held go first (their GL waited for it): a few turns at most.
  for (int turns = 0; turns < kOutsideYieldsAtMost && miscOutsideYieldsFirst(); turns++)
    if (const char *why = glxdirectdecode::yieldTurn(instance, glxdirectClock())) return why;
  // The call's own time is the request's (its bound counts it), not the time it waited for it.
  struct Outside {
    void (*call)(void *);
    void *argument;
    int64_t tookNs;
  } outside{call, argument, 0};
  const char *why = glxdirectdecode::standStill(
      instance, glxdirectClock(),
      [](void *a) {
        miscCallOutside(
            [](void *a) {
              auto *o = static_cast<Outside *>(a);
              int64_t start = glxdirectClock();
              o->call(o->argument);
              o->tookNs = glxdirectClock() - start;
            },
            a);
        return !miscYieldingEnds();
      },
      &outside);
  instance->workOwnNs += outside.tookNs;
  return why;
}

void glxdirectProgramChanged(GlxLibraryInstance *instance, uint32_t linked) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node) return;
  node->programUnsure = 1;
  if (linked)
    for (uint32_t &drawn : node->drawnPrograms)
      if (drawn == linked) drawn = 0;
}

namespace glxdirectdecode {

bool firstDrawOfProgram(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node || !node->programUnsure || instance->insideBegin || !miscCanYield()) return false;
  node->programUnsure = 0;
  if (!(instance->programQueries & kGlxDirectKnowsProgram)) return false;
  uint32_t program = uint32_t(glxdirectGetInteger(instance, kGlxDirectCurrentProgram));
  if (program == 0) return false;
  for (uint32_t drawn : node->drawnPrograms)
    if (drawn == program) return false;
  // (Noted before the draw: the node may be gone after it.)
  node->drawnPrograms[node->drawnProgramsNext] = program;
  node->drawnProgramsNext = uint8_t((node->drawnProgramsNext + 1) % kGlxDirectDrawnPrograms);
  return true;
}

void drawOutside(const Command &c, void (*draw)(void *), void *argument) {
  struct Call {
    void (*draw)(void *);
    void *argument;
    GlFunctionTable *gl;
  } call{draw, argument, &c.gl};
  const char *why = glxdirectOutside(
      c.instance,
      [](void *a) {
        auto *k = static_cast<Call *>(a);
        k->draw(k->argument);
        k->gl->glFlush();
      },
      &call);
  if (why) stopWork(c, why);
}

}  // namespace glxdirectdecode

const char *glxdirectFinishYielding(GlxLibraryInstance *instance) {
  GlFunctionTable &gl = instance->functions;
  // The library's finish waits for all it has queued, however long that takes. Where the
  // request may yield, a fence behind that work is waited for a turn at a time instead: the
  // library works on in its threads while the others are served. (The work is flushed before
  // the fence: a fence behind work not flushed yet may pass at once in the library.) The finish
  // that follows finds nothing left to wait for, unless the fence passed early. Drawing into a
  // front buffer is shown by the library's flush, which waits for it inside the library: that
  // finish is made outside the loop.
  if (!miscCanYield()) {
    gl.glFinish();
    return nullptr;
  }
  if (!instance->fences || !glxdirectdecode::drawsBehind(instance))
    return glxdirectOutside(instance, [](void *table) { static_cast<GlFunctionTable *>(table)->glFinish(); }, &gl);
  gl.glFlush();
  void *fence = gl.glFenceSync(glxdirectdecode::kGlSyncGpuCommandsComplete, 0);
  if (!fence) {
    gl.glFinish();
    return nullptr;
  }
  ClientConnection *client = xproxyCurrentClient;
  if (client) client->glxHeavy = 0;
  struct Flight {
    ClientConnection *client;
    ~Flight() {
      if (glxdirectdecode::flightClient == client) glxdirectdecode::flightClient = nullptr;
    }
  } flight{client};
  for (int64_t least = glxdirectdecode::kFenceFirstWaitNs;; least = glxdirectdecode::kFenceWaitNs) {
    uint64_t wait = uint64_t(std::max(miscTurnLeftNs(), least));
    uint32_t state = gl.glClientWaitSync(static_cast<GLsync>(fence), glxdirectdecode::kGlSyncFlushCommandsBit, wait);
    if (state != glxdirectdecode::kGlTimeoutExpired) break;
    glxdirectdecode::flightClient = client;
    if (client) client->glxHeavy = 1;
    if (const char *why = glxdirectdecode::yieldTurn(instance, glxdirectClock())) {
      // Without its context current the fence is left to its share group, which frees it at
      // its end.
      if (instance->currentTagSlot) gl.glDeleteSync(static_cast<GLsync>(fence));
      return why;
    }
  }
  gl.glDeleteSync(static_cast<GLsync>(fence));
  gl.glFinish();
  return nullptr;
}

namespace glxdirectdecode {
namespace {
// The vertices of one primitive of an independent mode (points, lines, triangles, quads): a
// glBegin of such a mode may be ended and begun again between two of its primitives without a
// difference in what is drawn (line stipple starts again at every line anyway); 0 for another.
uint64_t independentPrimitive(uint32_t mode) {
  switch (mode) {
    case 0: return 1;
    case 1: return 2;
    case 4: return 3;
    case 7: return 4;
    default: return 0;
  }
}

// Whether an open strip may be ended now and begun again with its last two vertices given
// again, each with the attribute commands given since the vertex before it: after an even
// number of vertices (a triangle strip's next triangle then keeps its winding), with nothing
// given since the last vertex, where the attributes set before the last vertex were all set
// before the one before it as well (given again, they leave each vertex with the values it had).
// A fan is begun again with its first and last vertices: where every attribute set since the
// first vertex was set before it and before the last (given again, the first then has the values
// it had, and so has the last), after at least a triangle.
// The groups of an open strip by how far back they are: 0 the commands since the last vertex,
// 1 the last vertex's, 2 the one before's (a ring turned at each vertex: nothing is copied).
enum StripBack { kStripPending, kStripLast, kStripBeforeLast };
GlxDirectStripGroup &stripGroup(GlxLibraryInstance *instance, StripBack back) {
  return instance->beginStripGroups[(instance->beginStripPending + 3 - back) % 3];
}

// A fan, and a polygon (whose triangles the library makes around its first vertex as a fan's,
// with that vertex's values when shaded flat): cut with their first and last vertices given
// again.
bool aroundTheFirst(uint32_t mode) { return mode == kBeginTriangleFan || mode == kBeginPolygon; }

bool stripCuttable(GlxLibraryInstance *instance) {
  const GlxDirectStripGroup &pending = stripGroup(instance, kStripPending), &last = stripGroup(instance, kStripLast);
  if (!instance->beginStripCuttable || instance->beginUnsure || pending.count || !last.count) return false;
  if (aroundTheFirst(instance->beginMode)) {
    const GlxDirectStripGroup &first = instance->beginStripGroups[3];
    return instance->beginVertices >= 3 && first.count &&
           (instance->beginStripLater & ~(first.classes & last.classes)) == 0;
  }
  const GlxDirectStripGroup &beforeLast = stripGroup(instance, kStripBeforeLast);
  return instance->beginVertices >= 4 && instance->beginVertices % 2 == 0 && beforeLast.count &&
         (last.classes & ~beforeLast.classes) == 0;
}

// Whether the library may be finished now: outside glBegin/glEnd, or inside one of an
// independent mode between two primitives, or a strip that may be cut (stripCuttable), where the
// proxy ends it, finishes and begins it again.
bool finishable(GlxLibraryInstance *instance) {
  if (!instance->insideBegin) return true;
  uint64_t each = independentPrimitive(instance->beginMode);
  if (!each) return stripCuttable(instance);
  return !instance->beginUnsure && instance->beginVertices % each == 0;
}
}  // namespace

namespace {
// Weighed units. Inside a glBegin of triangles or quads, filled, with the fixed-function
// transform (no program of any kind bound), a primitive counts by the pixels it may cover: the
// window box of its vertices within the viewport, a pixel more on every side, and a 64th of the
// viewport for what the library does per primitive. A unit is a viewport's pixels, what the
// interval's cap takes every unit to cost, so an interval of weighed units holds no more of the
// library's work than one of viewport-filling primitives, while a model of small triangles goes
// to the library as a whole between two finishes (each finish ends the library's scene, and
// costs it several milliseconds on a large window). A vertex whose place the proxy cannot tell
// (an evaluated point, an array element, a generic attribute, one behind the eye) makes its
// primitive count the whole viewport.
constexpr uint32_t kGlModelviewMatrix = 0x0BA6, kGlProjectionMatrix = 0x0BA7;
constexpr uint64_t kPrimitiveShare = 64;
constexpr float kNearestW = 1e-6f;

bool polygonsFilled(const Command &c) {
  GLint modes[2] = {0, 0};
  c.gl.glGetIntegerv(kGlPolygonMode, modes);
  return modes[0] == GLint(kGlFill) && modes[1] == GLint(kGlFill);
}

void emptyBox(GlxLibraryInstance *instance) {
  instance->beginBox[0] = instance->beginBox[1] = 1e30f;
  instance->beginBox[2] = instance->beginBox[3] = -1e30f;
  instance->beginBoxWhole = 0;
}

// Polygons filled under the fixed-function transform: no program of any kind bound, as the
// library answers.
bool fixedFunctionFilled(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  uint8_t knows = instance->programQueries;
  return (knows & kGlxDirectKnowsProgram) && glxdirectGetInteger(instance, kGlxDirectCurrentProgram) == 0 &&
         (!(knows & kGlxDirectKnowsVertexProgram) || glxdirectGetInteger(instance, kGlxDirectVertexProgram) == 0) &&
         (!(knows & kGlxDirectKnowsPipeline) || glxdirectGetInteger(instance, kGlxDirectProgramPipelineBinding) == 0) &&
         polygonsFilled(c);
}

void weighBegin(const Command &c, uint32_t mode) {
  GlxLibraryInstance *instance = c.instance;
  instance->beginWeighed = 0;
  if ((mode != 4 && mode != 7) || !fixedFunctionFilled(c)) return;
  GLint viewport[4] = {0, 0, 0, 0};
  c.gl.glGetIntegerv(kGlViewport, viewport);
  if (viewport[2] <= 0 || viewport[3] <= 0) return;
  GLfloat modelview[16] = {}, projection[16] = {};
  c.gl.glGetFloatv(kGlModelviewMatrix, modelview);
  c.gl.glGetFloatv(kGlProjectionMatrix, projection);
  for (int column = 0; column < 4; column++)
    for (int row = 0; row < 4; row++) {
      float sum = 0;
      for (int k = 0; k < 4; k++) sum += projection[k * 4 + row] * modelview[column * 4 + k];
      instance->beginTransform[column * 4 + row] = sum;
    }
  for (int k = 0; k < 4; k++) instance->beginViewport[k] = float(viewport[k]);
  emptyBox(instance);
  instance->beginPixels = 0;
  instance->beginWeighed = 1;
}

// The object coordinates of a Vertex command (x, y, z, w): false for another command, or one
// too short for its vertex.
bool vertexPosition(const Command &c, float (&p)[4]) {
  if (c.opcode < 65 || c.opcode > 76) return false;
  uint32_t form = c.opcode - 65;  // 2, 3 or 4 components; double, float, int or short
  uint32_t components = 2 + form / 4, type = form % 4;
  uint64_t size = type == 0 ? 8 : type == 3 ? 2 : 4;
  if (c.size < components * size) return false;
  p[2] = 0, p[3] = 1;
  for (uint32_t k = 0; k < components; k++) {
    int16_t s = 0;
    if (type == 3) memcpy(&s, c.data + k * size, sizeof s);
    p[k] = type == 0 ? float(c.d(k * size)) : type == 1 ? c.f(k * size) : type == 2 ? float(c.i(k * size)) : float(s);
  }
  return true;
}

// The units of a vertex inside a weighed glBegin of independent primitives of each vertices.
uint64_t weighedVertex(const Command &c, uint64_t each) {
  GlxLibraryInstance *instance = c.instance;
  float p[4];
  if (!instance->beginBoxWhole) {
    const float *t = instance->beginTransform;
    float clip[4];
    bool placed = vertexPosition(c, p);
    for (int row = 0; placed && row < 4; row++)
      clip[row] = t[row] * p[0] + t[4 + row] * p[1] + t[8 + row] * p[2] + t[12 + row] * p[3];
    const float *v = instance->beginViewport;
    float x = 0, y = 0;
    if (placed && clip[3] > kNearestW) {
      x = v[0] + (clip[0] / clip[3] + 1) * v[2] / 2;
      y = v[1] + (clip[1] / clip[3] + 1) * v[3] / 2;
    }
    if (!placed || !(clip[3] > kNearestW) || !std::isfinite(x) || !std::isfinite(y)) {
      instance->beginBoxWhole = 1;
    } else {
      float *box = instance->beginBox;
      box[0] = std::min(box[0], x), box[1] = std::min(box[1], y);
      box[2] = std::max(box[2], x), box[3] = std::max(box[3], y);
    }
  }
  if ((instance->beginVertices + 1) % each != 0) return 0;
  const float *v = instance->beginViewport, *box = instance->beginBox;
  uint64_t viewport = uint64_t(v[2]) * uint64_t(v[3]);
  uint64_t pixels = viewport;
  if (!instance->beginBoxWhole) {
    float left = std::max(box[0] - 1, v[0]), top = std::max(box[1] - 1, v[1]);
    float right = std::min(box[2] + 1, v[0] + v[2]), bottom = std::min(box[3] + 1, v[1] + v[3]);
    pixels = right > left && bottom > top ? uint64_t(double(right - left) * double(bottom - top)) + 1 : 0;
    pixels = std::min(pixels, viewport);
  }
  emptyBox(instance);
  instance->beginPixels += pixels + viewport / kPrimitiveShare + 1;
  uint64_t units = instance->beginPixels / viewport;
  instance->beginPixels %= viewport;
  return units;
}
}  // namespace

void beginAsked(const Command &c, uint32_t mode) {
  // (The executor has looked at the arrays already: the library's limits are known.)
  GlxLibraryInstance *instance = c.instance;
  instance->beginMapVertex1 = instance->beginMapVertex2 = instance->beginArrayVertex = 0;
  weighBegin(c, mode);
  // A triangle or quad strip, a triangle fan or a polygon is cut only where nothing tells its
  // pieces from the whole: filled (no edges or points that a cut would add or stipple anew),
  // without programs (whose primitive numbers start again at a glBegin), drawn (not selected or
  // fed back).
  for (GlxDirectStripGroup &group : instance->beginStripGroups) group.count = group.classes = 0;
  instance->beginStripLater = 0;
  instance->beginStripCuttable =
      (mode == kBeginTriangleStrip || aroundTheFirst(mode) || mode == kBeginQuadStrip) &&
      instance->renderMode == kGlxDirectRenderMode && fixedFunctionFilled(c);
  // Only a glBegin of an independent mode or one that may be cut is ever begun again between
  // its vertices; what gives a vertex is asked only for an independent mode (in the others an
  // evaluated point or array element stops the cutting).
  if (!independentPrimitive(mode)) return;
  auto on = [&](uint32_t cap) { return glxdirectGetInteger(instance, cap) != 0; };
  instance->beginMapVertex1 = on(kGlMap1Vertex3) || on(kGlMap1Vertex4);
  instance->beginMapVertex2 = on(kGlMap2Vertex3) || on(kGlMap2Vertex4);
  GLint attribute0[4] = {0, 0, 0, 0};
  if (instance->maxVertexAttribs > 0) c.gl.glGetVertexAttribiv(0, kGlVertexAttribArrayEnabled, attribute0);
  instance->beginArrayVertex = on(kGlVertexArray) || attribute0[0] != 0;
}

namespace {
// What a command inside glBegin/glEnd is to the primitive: a vertex, an attribute of the next
// vertex, a list call (whose commands count as they run), or something else (the library's
// error, or unknown to the proxy). Kept in the command (Command::beginRole) once found.
enum BeginRole : int8_t { kRoleUnknown = -1, kRoleVertex, kRoleAttribute, kRoleCall, kRoleOther };

// The role by opcode alone, for the opcodes below kRoleTableSize; vertex attributes of a generic
// index, evaluated points and array elements are told apart by the command (roleOf).
enum OpcodeRole : uint8_t { kOpOther, kOpVertex, kOpAttribute, kOpCall, kOpGeneric, kOpEval1, kOpEval2, kOpElement };
constexpr uint32_t kRoleTableSize = 4352;
constexpr auto kOpcodeRoles = [] {
  std::array<uint8_t, kRoleTableSize> roles{};
  auto mark = [&](uint32_t first, uint32_t last, OpcodeRole role) {
    for (uint32_t op = first; op <= last; op++) roles[op] = role;
  };
  mark(1, 2, kOpCall);
  mark(6, 22, kOpAttribute);     // colours, edge flag
  mark(24, 32, kOpAttribute);    // indices, normals
  mark(49, 64, kOpAttribute);    // texture coordinates
  mark(65, 76, kOpVertex);
  mark(96, 99, kOpAttribute);    // materials
  mark(194, 194, kOpAttribute);  // (fog coordinate)
  mark(198, 213, kOpAttribute);  // multitexture coordinates
  mark(4124, 4133, kOpAttribute);
  mark(151, 152, kOpEval1);
  mark(156, 156, kOpEval1);
  mark(153, 154, kOpEval2);
  mark(158, 158, kOpEval2);
  mark(294, 294, kOpElement);
  mark(4189, 4201, kOpGeneric);
  mark(4230, 4239, kOpGeneric);
  mark(4265, 4277, kOpGeneric);
  return roles;
}();

BeginRole roleOf(const Command &c) {
  const GlxLibraryInstance *instance = c.instance;
  switch (c.opcode < kRoleTableSize ? OpcodeRole(kOpcodeRoles[c.opcode]) : kOpOther) {
    case kOpVertex: return kRoleVertex;
    case kOpAttribute: return kRoleAttribute;
    case kOpCall: return kRoleCall;
    // A generic attribute is the vertex at index 0; EvalCoord and EvalPoint, and ArrayElement,
    // give a vertex only where the glBegin found a vertex map, the vertex array (otherwise they
    // only set attributes).
    case kOpGeneric: return c.size >= 4 && c.u(0) == 0 ? kRoleVertex : kRoleAttribute;
    case kOpEval1: return instance->beginMapVertex1 ? kRoleVertex : kRoleAttribute;
    case kOpEval2: return instance->beginMapVertex2 ? kRoleVertex : kRoleAttribute;
    case kOpElement: return instance->beginArrayVertex ? kRoleVertex : kRoleAttribute;
    default: return kRoleOther;
  }
}

BeginRole beginRole(const Command &c) {
  if (c.beginRole == kRoleUnknown) c.beginRole = roleOf(c);
  return BeginRole(c.beginRole);
}
}  // namespace

void beginCounted(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  if (!instance->insideBegin) return;
  // A command that was refused or dropped may or may not have reached the library.
  if (c.error || c.wasDropped) {
    instance->beginUnsure = 1;
    return;
  }
  switch (beginRole(c)) {
    case kRoleVertex: instance->beginVertices++; return;
    case kRoleOther: instance->beginUnsure = 1; return;
    default: return;
  }
}

namespace {
// The kind of attribute an attribute command sets, as a bit (the texture coordinates of unit 0
// only); 0 for one that a strip cannot give again (materials, other units' coordinates, generic
// attributes, evaluated points, array elements: what they leave is not told by one kind).
uint8_t attributeClass(uint32_t opcode) {
  if (opcode >= 6 && opcode <= 21) return 1;  // colours
  if (opcode == 22) return 2;                 // edge flag
  if (opcode >= 24 && opcode <= 27) return 4;  // colour indices
  if (opcode >= 28 && opcode <= 32) return 8;  // normals
  if (opcode >= 49 && opcode <= 64) return 16;  // texture coordinates
  if (opcode == 194 || opcode == 4124 || opcode == 4125) return 32;  // fog coordinate
  if (opcode >= 4126 && opcode <= 4133) return 64;  // secondary colour
  return 0;
}

// A vertex of a strip: of the Vertex commands, or generic attribute 0.
bool plainVertex(const Command &c) {
  return (c.opcode >= 65 && c.opcode <= 76) ||
         (c.opcode < kRoleTableSize && OpcodeRole(kOpcodeRoles[c.opcode]) == kOpGeneric);
}
}  // namespace

void beginRecorded(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  if (!instance->insideBegin || !instance->beginStripCuttable) return;
  BeginRole role = beginRole(c);
  if (role == kRoleCall) return;  // the list's commands are recorded as they run
  uint8_t kind = role == kRoleAttribute ? attributeClass(c.opcode) : 0;
  bool vertex = role == kRoleVertex && plainVertex(c);
  GlxDirectStripGroup &pending = stripGroup(instance, kStripPending);
  if (c.error || c.wasDropped || (!vertex && !kind) || c.size > kGlxDirectStripCommandBytes ||
      pending.count >= kGlxDirectStripGroupCommands) {
    instance->beginStripCuttable = 0;
    return;
  }
  GlxDirectStripCommand &command = pending.commands[pending.count++];
  command.opcode = uint16_t(c.opcode);
  command.size = uint8_t(c.size);
  if (c.size) memcpy(command.data, c.data, c.size);
  pending.classes |= kind;
  if (vertex) {
    if (instance->beginVertices == 1)
      instance->beginStripGroups[3] = pending;  // a fan's first vertex (beginCounted has counted it)
    else
      instance->beginStripLater |= pending.classes;
    // The pending group becomes the last; the one before the last is refilled.
    instance->beginStripPending = uint8_t((instance->beginStripPending + 1) % 3);
    GlxDirectStripGroup &next = stripGroup(instance, kStripPending);
    next.count = next.classes = 0;
  }
}

uint64_t commandUnits(const Command &c) {
  GlxLibraryInstance *instance = c.instance;
  if (!instance->insideBegin) return 1;
  switch (beginRole(c)) {
    case kRoleAttribute:
      return 0;
    case kRoleVertex: {
      uint64_t each = independentPrimitive(instance->beginMode);
      if (!each || instance->beginUnsure) return 1;
      if (instance->beginWeighed) return weighedVertex(c, each);
      return (instance->beginVertices + 1) % each == 0 ? 1 : 0;
    }
    default:
      return 1;
  }
}

namespace {
// The request's work ends at the command (why: NULL at its bound): it is dropped, and so is the
// rest; the client's next GetError answers GL_OUT_OF_MEMORY.
bool endWork(const Command &c, const char *why, int64_t bound) {
  GlxLibraryInstance *instance = c.instance;
  instance->workSpent = 1;
  if (GlxDirectContext *node = glxdirectCurrentNode(instance)) node->heldError = kGlOutOfMemory;
  if (why)
    LOG(logChannelWarning, "Lumora: render request by %s ended its work: %s (command #%u)", clientName(), why,
        c.opcode);
  else
    LOG(logChannelWarning, "Lumora: render request by %s ended its work at the bound of %s (command #%u)",
        clientName(), strDurationMsText(uint64_t(bound / 1'000'000)), c.opcode);
  c.wasDropped = true;
  return false;
}
}  // namespace

bool stopWork(const Command &c, const char *why) { return endWork(c, why, 0); }

bool spend(const Command &c, uint64_t units) {
  GlxLibraryInstance *instance = c.instance;
  if (!instance->workBounded) return true;
  const char *why = nullptr;
  ClientConnection *self = xproxyCurrentClient;
  if (!instance->workSpent && instance->workYields && self && self->glxHeavy) {
    // Another client's work is being worked off, or another waited for that first: this one
    // waits its turns out.
    while ((flightClient && flightClient != self) || (flightNext && flightNext != self)) {
      if (!flightNext) flightNext = self;
      if ((why = yieldTurn(instance, glxdirectClock()))) {
        if (flightNext == self) flightNext = nullptr;
        return endWork(c, why, 0);
      }
    }
    if (flightNext == self) flightNext = nullptr;
  }
  if (!instance->workSpent) {
    // A glBegin: the cap of its interval is asked for while GL still allows it.
    if (c.opcode == 4 && !instance->insideBegin && !instance->workIntervalCap) capInterval(instance);
    int64_t now;
    bool finished = false;
    bool due = instance->workSinceFinish >= instance->workInterval && finishable(instance);
    // Commands of a unit or none look at the clock once per kClockCommands (a reading of it
    // costs more than most of them); others, and a finish due, at once.
    if (!due && units <= 1 && instance->workClockSkip > 0) {
      instance->workClockSkip--;
      instance->workSinceFinish = plus(instance->workSinceFinish, units);
      return true;
    }
    instance->workClockSkip = kClockCommands - 1;
    // Units may be few for a long stretch (weighed primitives that are small each): once the
    // turn is over and a long stretch has passed since the last finish, the library is finished
    // at the first point that allows it, the interval left as it is, and the turn yielded there.
    bool overdue = false;
    if (!due) {
      now = glxdirectClock();
      overdue = instance->workYields && instance->workSinceFinish > 0 &&
                now - instance->workFinishedNs > kLongStretchNs && finishable(instance) && miscTurnOver();
      due = overdue;
    }
    if (due) {
      bool inside = instance->insideBegin;
      if (inside) c.gl.glEnd();
      // The stretch runs to the end of the finish, also where the finish yields its turns
      // meanwhile: others' render requests give the library nothing until it is over (spend),
      // so what it waited for is this request's work.
      int64_t finishNs = glxdirectClock();
      int64_t stretchBefore = finishNs - instance->workFinishedNs;
      why = glxdirectFinishYielding(instance);
      if (!why && inside) {
        bool strip = !independentPrimitive(instance->beginMode);
        c.gl.glBegin(instance->beginMode);
        instance->beginVertices = 0;
        if (strip) {
          // A strip's last two vertices again, a fan's first and last, each with what was given
          // since the vertex before it.
          const GlxDirectStripGroup &before = aroundTheFirst(instance->beginMode)
                                                  ? instance->beginStripGroups[3]
                                                  : stripGroup(instance, kStripBeforeLast);
          const GlxDirectStripGroup &last = stripGroup(instance, kStripLast);
          for (const GlxDirectStripGroup *group : {&before, &last})
            for (uint32_t k = 0; k < group->count; k++) glxdirectGiveAgain(instance, group->commands[k]);
          instance->beginVertices = 2;
        }
      }
      finished = true;
      now = glxdirectClock();
      int64_t stretch = stretchBefore + (now - finishNs);
      if (stretch < kShortStretchNs && !instance->workIntervalCap && !instance->insideBegin) capInterval(instance);
      if (!overdue && stretch < kShortStretchNs && instance->workInterval < instance->workIntervalCap)
        instance->workInterval = std::min(instance->workInterval * 2, instance->workIntervalCap);
      else if (!overdue && stretch > kLongStretchNs)
        // Down to what would have taken about a long stretch.
        instance->workInterval = std::max<uint64_t>(
            kGlxDirectFirstInterval, uint64_t(double(instance->workInterval) * kLongStretchNs / double(stretch)));
      instance->workFinishedNs = now;
      instance->workSinceFinish = 0;
      if (clientGone()) why = "its client has gone";
    }
    // Once the turn is over, the others come first: where the library has nothing of the
    // request's queued (it was just finished, or nothing was given to it since), so that the
    // next context's switch and finish wait for nothing of it; where that does not come (a
    // strip, fan or polygon that cannot be finished inside its glBegin), once the turn has been
    // over for a long stretch.
    if (!why && instance->workYields && miscTurnOver() &&
        (finished || instance->workSinceFinish == 0 || now - instance->workFinishedNs > kLongStretchNs)) {
      why = yieldTurn(instance, now);
      now = instance->workTurnStartNs;
    }
    int64_t bound = instance->workYields ? kGlxDirectRequestOwnNs : kGlxDirectRequestNs;
    if (!why && instance->workOwnNs + (now - instance->workTurnStartNs) < bound) {
      instance->workSinceFinish = plus(instance->workSinceFinish, units);
      return true;
    }
    return endWork(c, why, bound);
  }
  c.wasDropped = true;
  return false;
}

int64_t pieceVertices(const GlxLibraryInstance *instance) {
  if (!instance->workBounded) return kGlxDirectDrawPiece;
  uint64_t interval = instance->workInterval ? instance->workInterval : 1;
  return interval < uint64_t(kGlxDirectDrawPiece) ? int64_t(interval) : kGlxDirectDrawPiece;
}

void pieceDrawn(GlxLibraryInstance *instance) {
  if (instance->workSinceFinish < instance->workInterval) instance->workSinceFinish = instance->workInterval;
}

void commandDone(const Command &c) {
  if (!c.instance->workBounded) return;
  switch (c.opcode) {
    case 191:  // Viewport
      if (c.instance->workIntervalCap) capInterval(c.instance);
      return;
    case 137: case 172: case 173: {  // Accum, CopyPixels, DrawPixels
      // Each may fill the whole drawable, whatever the viewport: a quarter of the interval.
      GlxLibraryInstance *instance = c.instance;
      instance->workSinceFinish = plus(instance->workSinceFinish, instance->workInterval / 4);
      return;
    }
    default:
      return;
  }
}

void drawByElements(const Command &c, uint32_t mode, const std::vector<uint32_t> &elements, CurrentValues &current) {
  if (!current.kept) keepCurrentValues(c, current);
  c.gl.glBegin(mode);
  for (uint32_t element : elements) c.gl.glArrayElement(GLint(element));
  c.gl.glEnd();
}

bool linesStippled(const Command &c) { return glxdirectGetInteger(c.instance, kGlLineStipple) != 0; }

namespace {
// Whether primitive restart is on. A library older than it refuses the question
// (GL_INVALID_ENUM): the client's own pending error is kept first, and the question's dropped.
bool restartOn(const Command &c) {
  if (c.instance->insideBegin || !glxdirectCurrentNode(c.instance)) return false;
  glxdirectErrorBefore(c.instance);
  bool on = glxdirectGetInteger(c.instance, kGlPrimitiveRestart) != 0 ||
            glxdirectGetInteger(c.instance, kGlPrimitiveRestartFixedIndex) != 0 ||
            glxdirectGetInteger(c.instance, kGlPrimitiveRestartNv) != 0;
  c.gl.glGetError();
  return on;
}
}  // namespace

// What pieces would draw differently: adjacency primitives and patches; a polygon drawn as
// lines or points (the pieces' own edges would show); a strip or loop of lines while line
// stipple is on (the library starts the pattern again at each glBegin, and for a strip lets it
// run on across the segments); an indexed draw while primitive restart is on, but of points
// (a piece would not know where the primitive started again). Polygon stipple is aligned to the
// window, and wide, smooth or stippled independent lines and polygons drawn as lines (the
// library starts the pattern again with each triangle) come out the same in pieces.
bool drawnWhole(const Command &c, uint32_t mode, bool indexed) {
  constexpr uint32_t kPoints = 0, kLineLoop = 2, kLineStrip = 3, kPolygon = 9;
  if (mode > kPolygon) return true;
  if (mode == kPolygon && !polygonsFilled(c)) return true;
  if ((mode == kLineLoop || mode == kLineStrip) && linesStippled(c)) return true;
  return indexed && mode != kPoints && restartOn(c);
}
// ===== end of the work of one request =====

// ===== replay =====
// The targets whose commands only ask what the library could do.
bool proxyTarget(uint32_t target) {
  static constexpr uint32_t kProxies[] = {0x8025, 0x8063, 0x8064, 0x8070, 0x80BD, 0x80D3, 0x80D4,
                                          0x80D5, 0x8135, 0x8163, 0x84F7, 0x851B, 0x8C19, 0x8C1B};
  for (uint32_t proxy : kProxies)
    if (proxy == target) return true;
  return false;
}

// Commands GL executes at once instead of compiling them into a display list: client arrays and
// their state, buffer objects, shader and program objects, framebuffer objects, and the images
// of proxy targets.
bool executedAtOnce(const Command &c) {
  switch (c.opcode) {
    case 235: case 236: case 237: case 238: case 239: case 240: case 241: case 242: case 244:
    case 253: case 265: case 266: case 267: case 268:
    case 290: case 291: case 292: case 293: case 296: case 297: case 298: case 299:
    case 4316: case 4317: case 4318: case 4319: case 4320: case 4321: case 4322: case 4323:
    case 4324: case 4325: case 4331: case 9900: case 9901:
      return true;
    case 109: case 110: case 2053:
      return c.size >= 24 && proxyTarget(c.u(20));
    case 4114:
      return c.size >= 40 && proxyTarget(c.u(36));
    case 214: case 215: case 216: case 4110:
      return c.size >= 4 && proxyTarget(c.u(0));
    default:
      return false;
  }
}

// Replays the list of that name of the current share group: each recorded command through the
// executor, as if sent now. An unknown list does nothing, and so does a call nested deeper than
// GL_MAX_LIST_NESTING (as GL says); a command the executor ends in error is logged there and
// the replay goes on.
void callList(const Command &c, uint32_t list) {
  GlxLibraryInstance *instance = c.instance;
  if (instance->listDepth >= kGlxDirectListNesting || !spend(c, 1)) return;
  const uint8_t *at = nullptr, *end = nullptr;
  uint32_t libraryList = 0;
  // (kept while the replay stands still: others may make or delete lists meanwhile)
  std::shared_ptr<const void> keep;
  if (!glxdirectListBody(instance, list, &at, &end, &libraryList, &keep)) return;
  if (libraryList) {
    // A font's list the library made itself: a bitmap, no call of another list.
    libraryDraw(c, [&] { c.gl.glCallList(libraryList); });
    return;
  }
  instance->listDepth++;
  while (end - at >= 8 && !instance->workSpent) {
    uint32_t opcode = u32At(at), size = u32At(at + 4);
    const uint8_t *data = at + 8;
    at = data + ((uint64_t{size} + 3) & ~uint64_t{3});
    // Each command counts its own work in the executor.
    glxdirectExecuteRender(instance, opcode, data, data + size);
  }
  instance->listDepth--;
}

// Bytes of one name of a CallLists type; 0 for another type.
uint64_t listNameBytes(uint32_t type) {
  switch (type) {
    case 0x1400: case 0x1401: return 1;
    case 0x1402: case 0x1403: case kGl2Bytes: return 2;
    case kGl3Bytes: return 3;
    case 0x1404: case 0x1405: case 0x1406: case kGl4Bytes: return 4;
    default: return 0;
  }
}

// Name k of a CallLists array of the type (its size checked by the caller), before the base.
uint32_t listNameAt(const uint8_t *names, uint64_t k, uint32_t type) {
  const uint8_t *p = names + k * listNameBytes(type);
  switch (type) {
    case 0x1400: return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0])));
    case 0x1401: return p[0];
    case 0x1402: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return static_cast<uint32_t>(static_cast<int32_t>(v));
    }
    case 0x1403: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 0x1406: {
      // GL converts the float to an integer; one beyond the integers (or NaN) names no list
      // worth reading undefined behaviour for: it becomes 0.
      float f = f32At(p);
      return f > -2147483648.0f && f < 2147483648.0f ? static_cast<uint32_t>(static_cast<int32_t>(f)) : 0;
    }
    case kGl2Bytes: return uint32_t{p[0]} << 8 | p[1];
    case kGl3Bytes: return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
    case kGl4Bytes: return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    default: return u32At(p);
  }
}

// PushAttrib and PopAttrib: the list base is the proxy's, kept and restored with GL_LIST_BIT at
// the level of the library's attribute stack that the call pushed or popped (asked before and
// after: a full or empty stack, or a call inside glBegin/glEnd, moves nothing).
void attributeStack(const Command &c, bool push) {
  constexpr uint32_t kGlAttribStackDepth = 0x0BB0, kGlListBit = 0x00020000;
  GlxDirectContext *node = glxdirectCurrentNode(c.instance);
  bool ask = node && !c.instance->insideBegin;
  int32_t before = ask ? glxdirectGetInteger(c.instance, kGlAttribStackDepth) : 0;
  if (push)
    c.gl.glPushAttrib(c.u(0));
  else
    c.gl.glPopAttrib();
  if (!ask) return;
  int32_t after = glxdirectGetInteger(c.instance, kGlAttribStackDepth);
  if (push && after == before + 1 && before >= 0 && before < 32) {
    uint32_t bit = uint32_t(1) << before;
    node->listBaseKept = c.u(0) & kGlListBit ? node->listBaseKept | bit : node->listBaseKept & ~bit;
    node->listBaseStack[before] = node->listBase;
  } else if (!push && after == before - 1 && after >= 0 && after < 32 && (node->listBaseKept >> after & 1)) {
    node->listBase = node->listBaseStack[after];
    node->listBaseKept &= ~(uint32_t(1) << after);
  }
}

// CallLists (2): n names of the type, each offset by the context's list base.
void callListsCommand(const Command &c) {
  if (!c.holds(8)) return;
  int32_t n = c.i(0);
  uint32_t type = c.u(4);
  uint64_t element = listNameBytes(type);
  if (n < 0 || element == 0) {
    glxdirectRecordError(c.instance, n < 0 ? kGlInvalidValue : kGlInvalidEnum);
    return c.dropped(n < 0 ? "negative count" : "list type without a size");
  }
  if (!holdsCounted(c, 8, n, element)) return;
  GlxDirectContext *node = glxdirectCurrentNode(c.instance);
  uint32_t base = node ? node->listBase : 0;
  for (int32_t k = 0; k < n && !c.instance->workSpent; k++) callList(c, base + listNameAt(c.at(8), uint64_t(k), type));
}
// ===== end of replay =====

}  // namespace glxdirectdecode

// ===== recording =====
namespace {

// Room for extra more bytes of records in the list the node makes, counted against the current
// client before it is taken: false when it passes its lumoraMemory or no memory can be had.
bool listRoom(GlxDirectContext *node, uint64_t extra) {
  if (!node->compileBody) node->compileBody = new (std::nothrow) GlxDirectListBody{};
  if (!node->compileBody) {
    LOG_OUT_OF_MEMORY_AT(kSource);
    return false;
  }
  std::vector<uint8_t> &commands = node->compileBody->commands;
  uint64_t need = commands.size() + extra;
  if (need <= node->compileBytes) return true;
  // The room grows by half, or to what the budget leaves where the half does not fit it; a
  // command that does not fit even that fails (each growth copies the body once, so a list
  // filled to the budget has cost time in proportion to its bytes).
  uint64_t room = node->compileBytes + node->compileBytes / 2;
  if (room < need) room = need;
  if (room < 256) room = 256;
  uint64_t left = glxdirectBudgetLeft();
  if (room - node->compileBytes > left) room = node->compileBytes + left;
  if (room < need || !glxdirectCharge(room - node->compileBytes)) return false;
  try {
    commands.reserve(room);
  } catch (const std::exception &) {
    glxdirectRefund(xproxyCurrentClient, room - node->compileBytes);
    LOG_OUT_OF_MEMORY_AT(kSource);
    return false;
  }
  node->compileBytes = room;
  return true;
}

// A record that does not fit the list: the command fails (the caller answers BadAlloc), and the
// client's next GetError answers GL_OUT_OF_MEMORY, as GL's own list compiler says it.
bool noRoom(GlxDirectContext *node) {
  if (!node->heldError) node->heldError = kGlOutOfMemory;
  return false;
}

}  // namespace

bool glxdirectRecordCommand(GlxLibraryInstance *instance, uint32_t opcode, const uint8_t *data, uint64_t size) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node || !node->compileList || instance->listDepth) return true;
  if (size > UINT32_MAX) return noRoom(node);  // no command is this long
  uint64_t padded = (size + 3) & ~uint64_t(3);
  if (!listRoom(node, 8 + padded)) return noRoom(node);
  std::vector<uint8_t> &commands = node->compileBody->commands;
  uint64_t end = commands.size() + 8 + padded;
  uint8_t header[8];
  uint32_t length = uint32_t(size);
  memcpy(header, &opcode, 4);
  memcpy(header + 4, &length, 4);
  commands.insert(commands.end(), header, header + 8);
  if (size) commands.insert(commands.end(), data, data + size);
  commands.resize(end);  // the padding, zeroed
  return true;
}

bool glxdirectRecordFormed(GlxLibraryInstance *instance, const uint8_t *records, uint64_t bytes) {
  GlxDirectContext *node = glxdirectCurrentNode(instance);
  if (!node || !node->compileList || instance->listDepth) return true;
  if (!listRoom(node, bytes)) return noRoom(node);
  node->compileBody->commands.insert(node->compileBody->commands.end(), records, records + bytes);
  return true;
}

void glxdirectFreeCompileBody(GlxDirectContext *node) {
  if (!node) return;
  delete node->compileBody;
  node->compileBody = nullptr;
}
// ===== end of recording =====
