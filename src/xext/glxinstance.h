// One GL library loaded into the proxy for one real display: the record every operation of the
// in-proxy GL path works on.
#pragma once

#include <cstdint>

// Before the GL headers: they bring in Xlib's Xutil.h, whose Region this one renames.
#include "xclient/xutilh.h"

#include <GL/glx.h>
#include <X11/Xlib.h>

#include "xclient/glxsupport.h"
#include "xext/glfunctions.h"
#include "xext/plugin.h"

constexpr uint32_t kGlxDirectScratchSize = 16384;  // the scratch buffer as created and after a reset
constexpr uint32_t kGlxDirectTagSlots = 256;        // slot 0 is never used
constexpr size_t kGlxDirectLibraryTextSize = 4096;  // the library text, with its terminating zero
constexpr uint32_t kGlxDirectRenderMode = 0x1C00;   // GL_RENDER
// GlxLibraryInstance::programQueries: the library answers glGetIntegerv of GL_CURRENT_PROGRAM,
// of GL_VERTEX_PROGRAM_ARB, of GL_PROGRAM_PIPELINE_BINDING.
constexpr uint8_t kGlxDirectKnowsProgram = 1, kGlxDirectKnowsVertexProgram = 2, kGlxDirectKnowsPipeline = 4;
constexpr uint32_t kGlxDirectCurrentProgram = 0x8B8D, kGlxDirectVertexProgram = 0x8620,
                   kGlxDirectProgramPipelineBinding = 0x825A;
// The most the scratch buffer may grow to. Clients choose many of the sizes asked for (buffer
// data, logs, sources, names, images); one of them must not make the proxy hold gigabytes.
constexpr uint64_t kGlxDirectScratchLimit = uint64_t(256) << 20;
static_assert(kGlxDirectScratchLimit <= UINT32_MAX, "the scratch size is kept in 32 bits");

// The display-list names made through the instance, by share group (glxdirectstate.cpp): what
// glDeleteLists is given instead of a client's whole range, each with the owner it is counted for.
struct GlxDirectListNames;
// The commands recorded for one display list (glxdirectstate.cpp).
struct GlxDirectListBody;
// The texture levels counted against clients' budgets (glxdirecttextures.cpp).
struct GlxDirectTextureLevels;
// A GLX pixmap made through the library on a pixmap of the real server (its id there), in the
// instance's list (glxdirectcontexts.cpp): added when made, removed when destroyed, all freed
// with the record. gone: the real server's pixmap ended first (its id was freed, or its owner
// left); the library, which asks the size of the pixmap by that id, never draws into it again.
struct GlxDirectPixmapOn {
  GlxDirectPixmapOn *next;
  uint32_t glxPixmap;
  uint32_t serverPixmap;
  uint8_t gone;
};

// One GL context made through the library, in the instance's context list (appended at the
// tail; the last node's next is NULL). Serials are never reused; 0 means no context.
// A vertex of an open strip as given to the library: the attribute commands given since the
// vertex before it, and its vertex command, each as sent (glxdirectlists.cpp, strips cut).
// classes: a bit for each kind of attribute the commands set.
constexpr uint32_t kGlxDirectStripCommandBytes = 40, kGlxDirectStripGroupCommands = 8;
constexpr uint32_t kGlxDirectDrawnPrograms = 16;
struct GlxDirectStripCommand {
  uint16_t opcode;
  uint8_t size;
  uint8_t data[kGlxDirectStripCommandBytes];
};
struct GlxDirectStripGroup {
  uint8_t count;
  uint8_t classes;
  GlxDirectStripCommand commands[kGlxDirectStripGroupCommands];
};

struct GlxDirectContext {
  GlxDirectContext *next;
  GlxDirectContext *prev;
  uint32_t serial;
  GLXContext context;  // the library's handle
  // The render mode (0: GL_RENDER, never set) and the select and feedback buffers the library
  // writes into for this context (malloc'ed, entries of 4 bytes; freed with the node).
  uint32_t renderMode;
  uint32_t *selectBuffer;
  uint32_t selectSize;
  float *feedbackBuffer;
  uint32_t feedbackSize;
  // What the two buffers are counted against lumoraMemory, for the client of that owner serial
  // (glxdirectread.cpp): given back when a buffer is replaced or the context goes.
  uint64_t selectCharged, selectOwner;
  uint64_t feedbackCharged, feedbackOwner;
  // The serial of the context whose objects this one shares (its own when it shares none):
  // textures are counted by it (xext/glxdirecttextures.cpp).
  uint32_t shareGroup;
  // The context's glBegin flag, client-array enables and array room, and its open glBegin's
  // mode, vertices and unsure flag and the finish interval's cap (as in GlxLibraryInstance)
  // while it is not the library's current one: glxdirectMakeTagCurrent and every release of the
  // current slot keep them here and bring the next context's into the instance. (The library
  // keeps a glBegin of each context open while another context is current, as an X server's
  // GL switches contexts between its clients' requests.)
  uint8_t insideBegin;
  uint8_t enabledArrays[8];
  uint64_t beginArrayRoom;
  uint32_t beginMode;
  uint64_t beginVertices;
  uint8_t beginUnsure;
  uint8_t beginStripCuttable;
  uint64_t workIntervalCap;
  // A GL error the proxy read from the library for its own checks while the client had not
  // asked for it yet (glxdirectErrorBefore, glxdirectAccepted): the client's next GetError
  // answers it (0: none).
  uint32_t heldError;
  // The display list being made (NewList accepted; 0: none), its mode and the bytes its
  // recorded commands take (the room reserved for them), counted for the client of that owner
  // serial (glxdirectstate.cpp): set by NewList, ended by EndList; given back when the context
  // goes meanwhile.
  uint32_t compileList;
  uint32_t compileMode;
  uint64_t compileBytes;
  uint64_t compileOwner;
  // The commands recorded for that list so far (NULL until the first): made by the first
  // command recorded (glxdirectRecordCommand), moved into the share group's lists by EndList,
  // freed by glxdirectFreeCompileBody when the context goes before its EndList.
  GlxDirectListBody *compileBody;
  // GL_LIST_BASE: what CallLists adds to each name (set by ListBase, executed or replayed), and
  // per level of the library's attribute stack the base a PushAttrib of GL_LIST_BIT kept
  // (listBaseKept bit k: level k kept one), for its PopAttrib.
  uint32_t listBase;
  uint32_t listBaseStack[32];
  uint32_t listBaseKept;
  // The library makes a program's machine code at the first draw with it (seconds for a long
  // program), not at its link: the programs (library names) this context has drawn with since
  // their last link, the last kGlxDirectDrawnPrograms of them, and whether its program may have
  // changed since its last draw (a UseProgram or a LinkProgram ran). The first draw with a
  // program not among them is made outside the loop (glxdirectlists.cpp: libraryDraw).
  uint32_t drawnPrograms[kGlxDirectDrawnPrograms];
  uint8_t drawnProgramsNext;
  uint8_t programUnsure;
};

// What the library must have current before a command of a direct context tag runs.
struct GlxDirectTagSlot {
  GLXContext context;       // NULL: the slot is free
  GLXDrawable drawDrawable;
  GLXDrawable readDrawable;
  uint8_t isNew;            // made current by nothing yet
  uint32_t proxyTag;        // the context tag the client knows (the latest, when shared)
  uint32_t proxyTagCount;   // live proxy tags that map to the slot: it is freed with the last
  // The draw or read drawable ended (set by glxdirectDrawableGone before the library destroys a
  // pbuffer or GLX pixmap, and by glxdirectWindowGone before the real server destroys a window):
  // the slot is never made current again and only waits for its last proxy tag to go.
  uint8_t drawableGone;
  // The client's ids of the draw and read drawables (0: not known, as for a slot made by the
  // proxy's own code): the proxy's records of them give the sizes the slot is checked against
  // before the library is handed the drawables (glxdirectSlotFits) and a read is clipped to.
  uint32_t drawId;
  uint32_t readId;
  // The sizes those records gave the draw and read drawables (width, height of each) when the
  // library last saw them in step with the real server. Once they differ (a window resized),
  // the slot is resized: the library lets go of it, and it waits as a new one does (isNew set)
  // for its client's requests, the resize among them, to reach the real server before the
  // library sees the drawable again (the library asks the server for the size itself).
  // glxdirectMakeTagCurrent clears resized with isNew.
  uint16_t seen[4];
  uint8_t resized;
};

// Instances form one process-wide doubly linked list (the first record's prev points at the
// last; new ones go to the end) and are shared by every head on the same Display with the same
// library text. The scratch, select and feedback buffers and the context nodes are malloc'ed:
// the release of the instance frees them (the GL contexts themselves are not destroyed then).
// Event-loop thread only.
struct GlxLibraryInstance {
  GlxLibraryInstance *next;
  GlxLibraryInstance *prev;
  uint32_t currentTagSlot;  // the slot whose context is current in the library; 0 = none
  Display *display;         // the proxy's connection to the real display (not owned)
  uint8_t *scratch;         // reusable buffer for unpacked command data, scratchSize bytes
  uint32_t scratchSize;
  // insideBegin, enabledArrays and beginArrayRoom are the state of the context of the current
  // slot (all zero while none is current): they belong to that context, which keeps them while
  // another is current (GlxDirectContext).
  uint8_t insideBegin;      // a glBegin of the current context is open
  // One flag per client array: edge flag, texture coordinate, colour, index, normal, vertex, fog
  // coordinate, secondary colour.
  uint8_t enabledArrays[8];
  // The library's limits on generic vertex attributes and texture-coordinate sets (at most 64
  // each), asked once with a context current: limitsAsked says whether they were.
  uint8_t limitsAsked;
  // The library has fences (GL_ARB_sync, found at the set-up): a finish of a request that may
  // yield its turn waits for a fence a turn at a time (glxdirectFinishYielding).
  uint8_t fences;
  uint32_t maxVertexAttribs;
  uint32_t maxTextureCoords;
  // At a glBegin: how many elements every enabled array holds (all in buffer objects; 0 when
  // one is not), 0 again after a command that changes the arrays before the glEnd. An
  // ArrayElement inside indexes below it.
  uint64_t beginArrayRoom;
  // The work of the current request (glxdirectlists.cpp), started by glxdirectRender and
  // glxdirectRenderLarge: when it began, when its current turn began and the time its earlier
  // turns took (a request that yields its turn stands still between them), and when the library
  // was last finished (glxdirectClock), the units of work given to the library since that
  // finish, and the units between two finishes now. workBounded: a request is under way (its
  // end clears it; commands executed outside one count nothing). workYields: it may yield its
  // turn (it runs through miscRunYielding). workSpent: the request's work ended (its bound, or
  // its client went): nothing more of it runs. listDepth: the lists being replayed now, one
  // inside the other. While a request stands still the instance serves others: the request
  // keeps these in its own frame and brings them back when it goes on.
  uint8_t workBounded;
  uint8_t workYields;
  int64_t workTurnStartNs;
  int64_t workOwnNs;
  // The glBegin open now (the current context's): its mode and the vertices given since it (or
  // since the proxy ended and began it again to finish the library between primitives); unsure:
  // a command was met whose vertices are not known, or the context changed, and the primitive
  // is not begun again before its glEnd. Set by the executor (glxdirectrender.cpp).
  uint32_t beginMode;
  uint64_t beginVertices;
  uint8_t beginUnsure;
  // What gives a vertex inside that glBegin, asked before it (nothing can be asked inside) and
  // only for an independent mode (the only one begun again): a vertex map of one or two
  // dimensions enabled (EvalCoord1 and EvalPoint1, EvalCoord2 and EvalPoint2 give a vertex only
  // then), the vertex array or generic attribute 0's array enabled (ArrayElement likewise).
  uint8_t beginMapVertex1;
  uint8_t beginMapVertex2;
  uint8_t beginArrayVertex;
  // A triangle or quad strip, a triangle fan or a polygon filled with the fixed-function
  // transform in GL_RENDER mode may be ended between two of its primitives and begun again with
  // two of its vertices given again (a strip's last two, a fan's or polygon's first and last), so
  // that the library can be finished there (glxdirectlists.cpp): beginStripCuttable, set at its
  // glBegin and cleared for good at a command that cannot be given again so; the groups of the
  // vertex before the last, of the last vertex and of the attribute commands given since it, in
  // a ring over beginStripGroups[0..2] turned at each vertex (beginStripPending: the index of the
  // last of those, the one being filled; glxdirectlists.cpp, stripGroup), and a fan's (or
  // polygon's) first vertex's group ([3]); beginStripLater: the kinds of attribute set since that
  // vertex. The groups are emptied when the context changes (the flag goes with the context): the
  // primitive is cut again only once they are refilled (a fan or polygon: never).
  uint8_t beginStripCuttable;
  uint8_t beginStripLater;
  uint8_t beginStripPending;
  GlxDirectStripGroup beginStripGroups[4];
  // A glBegin of triangles or quads filled with the fixed-function transform (glxdirectlists.cpp,
  // weighed units): the transform from object to window coordinates and the viewport asked
  // before it, the window box of the primitive's vertices so far (beginBoxWhole: one of them
  // lies outside what the transform can place, or is not given as a position), and the pixels
  // of its primitives not yet counted as a unit. Dropped (beginWeighed 0) when the context
  // changes inside the glBegin: its primitives then count a unit each.
  uint8_t beginWeighed;
  uint8_t beginBoxWhole;
  float beginTransform[16];
  float beginViewport[4];
  float beginBox[4];
  uint64_t beginPixels;
  int64_t workStartNs;
  int64_t workFinishedNs;
  uint64_t workSinceFinish;
  uint64_t workInterval;
  // The most the interval may grow to while the current viewport stays as it is (a primitive
  // may fill it all); 0 until asked in the request (when the interval is to grow past the first
  // one, or has), asked again after each Viewport command.
  uint64_t workIntervalCap;
  uint8_t workSpent;
  uint8_t workClockSkip;  // commands that may still pass without a look at the clock
  uint8_t listDepth;
  uint16_t referenceCount;  // users beyond the first
  uint32_t renderMode;      // the GL render mode last set; GL_RENDER at first
  uint32_t livePbuffers;
  uint32_t liveGlxPixmaps;
  uint32_t liveGlxWindows;
  GlxDirectPixmapOn *pixmapsOn;  // the GLX pixmaps of liveGlxPixmaps and what they are made on
  uint32_t highestTagSlot;  // the highest slot index in use
  uint32_t glVersion;       // GL version code (major * 64 + minor) the functions were loaded against
  GlxDirectContext *contexts;
  // Contexts whose end the library makes outside the loop (dGLDestroyContext): the library is
  // not reloaded, nor the record freed (freeOnceEnded: its last reference went meanwhile, it is
  // no longer listed), until they have ended (glxdirectContextEnded).
  uint32_t contextsEnding;
  uint8_t freeOnceEnded;
  // The node glxdirectCurrentNode found last (NULL: none): a node of the list, cleared before
  // its node is freed (dGLDestroyContext).
  GlxDirectContext *currentNode;
  GlxDirectListNames *listNames;  // NULL while none were made; freed with the record and at a reload
  GlxDirectTextureLevels *textureLevels;  // likewise
  // The library's texture and renderbuffer limits (maximum, 3D, cube map, rectangle sizes, array
  // layers, renderbuffer size, samples; 0: unknown), each asked once: bit k of
  // textureLimitsAsked says whether limit k was.
  uint8_t textureLimitsAsked;
  uint32_t textureLimits[7];
  uint32_t *selectBuffer;   // handed to glSelectBuffer; selectSize 4-byte entries
  uint32_t selectSize;
  float *feedbackBuffer;    // handed to glFeedbackBuffer; feedbackSize entries
  uint32_t feedbackSize;
  GlCapabilities capabilities;  // as found at the last set-up
  // The largest drawable the library holds: GL_MAX_VIEWPORT_DIMS, bounded by
  // GL_MAX_RENDERBUFFER_SIZE where the library has renderbuffers; asked at the set-up with the
  // probe's context current (0: unknown, nothing is refused for its size). A window or GLX
  // pixmap beyond it is never handed to the library (glxdirectSlotFits).
  uint32_t largestWidth;
  uint32_t largestHeight;
  // The pname that names the framebuffer object bound for reading (GL_READ_FRAMEBUFFER_BINDING,
  // else GL_FRAMEBUFFER_BINDING of the EXT extension; 0: the library has none), found at the
  // set-up: a read from such an object is not clipped to the drawable.
  uint32_t readFramebufferQuery;
  // What the library answers of the programs that may move vertices (kGlxDirectKnows...), found
  // at the set-up: a glBegin is weighed by where its vertices land (beginWeighed) only when the
  // library can tell that none is in use.
  uint8_t programQueries;
  GlxDirectTagSlot tagSlots[kGlxDirectTagSlots];
  PluginLibrary *library;
  GlFunctionTable functions;
  char libraryText[kGlxDirectLibraryTextSize];  // the configured library list: the key for reuse
};

// The visual's information on the instance's display and screen (free it with XFree); NULL when
// the display has no such visual there.
XVisualInfo *glxdirectVisualInfo(GlxLibraryInstance *instance, int screen, uint32_t visual);
