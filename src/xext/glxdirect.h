// GL rendered inside the proxy for a head (a head with a GL library instance): what the window,
// drawing and image requests tell it, the start and release of a head's instance, and the
// operations the GLX context code calls for such a head.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>

#include "xclient/glxsupport.h"

struct Head;
struct ClientConnection;
// One GL library loaded into the proxy for one real display.
struct GlxLibraryInstance;
// One GL context made through the library (glxinstance.h).
struct GlxDirectContext;

// A window of the head's server (its id there) is mapped or unmapped: when a tag slot of the
// head's instance draws into it (current, or made current before), the current client is
// synchronised with the real server first.
void glxdirectFlushForDrawable(Head *head, uint32_t serverDrawable);
// A window of the head's server (its id there) ends, however (DestroyWindow, DestroySubwindows,
// an ancestor's end, its owner's close or KillClient, a reset): called before its destruction
// reaches the real server. Every tag slot of the head's instance that draws into or reads from
// it is marked gone (glxdirectDrawableGone): never made current again, so the library never
// draws into a window the server no longer has. NULL head or no instance: nothing.
void glxdirectWindowGone(Head *head, uint32_t serverWindow);
// A pixmap of the head's server (its id there) ends, by FreePixmap or its owner's close: called
// before the end reaches the real server. The GLX pixmaps the library made on it are marked:
// the library finds a pixmap's size by that id, and without it would take any size, so a slot
// that draws into or reads from one is never made current again (glxdirectMakeTagCurrent
// refuses it and marks it gone, as after the end of a window) and no swap makes one current. The
// slot current now draws on at the size the library knows, and the GLX pixmap stays until it
// is destroyed. NULL head or no instance: nothing.
void glxdirectPixmapGone(Head *head, uint32_t serverPixmap);
// Whether the drawable (a library id) is a GLX pixmap whose pixmap has ended.
bool glxdirectPixmapIsGone(const GlxLibraryInstance *instance, uint32_t drawable);
// Before the proxy reads pixels itself: glxdirectFinishAll completes the GL work of every tag
// slot of the instance (NULL: nothing), highest first; the last slot handled stays current. An
// open glBegin stays open (flushed and waited for, never finished). Where the request may yield
// (miscCanYield), a slot's work is waited for a turn at a time (glxdirectFinishYielding): others
// run meanwhile, and a slot that went then is passed over. False when the current client is
// closing meanwhile (the request ends there). glxdirectFinishEvery does so for every instance
// (a read-back that yields does it before it looks anything up, as others run meanwhile).
// glxdirectFlushAll, after
// the read-back went out: the current client's later requests wait (parked) until the real
// servers answered what it sent so far, read-back included, so that GL it draws next does not
// overtake the read-back (while any instance exists); a failure is logged only.
bool glxdirectFinishAll(GlxLibraryInstance *instance);
bool glxdirectFinishEvery();
void glxdirectFlushAll();
// Completes the GL work of the current slot (outside glBegin/glEnd). A request that may yield
// its turn (miscCanYield), on a library with fences, does not wait inside the library longer
// than its turn: it yields the turn while the work is not done, and looks again at its next
// (glxdirectlists.cpp); drawing into a front buffer, or a library without fences, is finished
// outside the loop (glxdirectOutside); outside such a request, a glFinish. NULL when done (the
// slot current still), or why the request must end (its client is closing, or its context or
// drawable went while it stood: then no slot is current).
const char *glxdirectFinishYielding(GlxLibraryInstance *instance);
// A call of the library that may take long (a finish of drawing into a front buffer, a swap, a
// compile): where the request may yield, it runs outside the loop (connections.h,
// miscCallOutside), which serves every client meanwhile but those whose work may call the
// library; the slot is current again afterwards. Elsewhere it runs at once. NULL, or why the
// request must end (as after a yielded turn: its client closes, its slot went).
const char *glxdirectOutside(GlxLibraryInstance *instance, void (*call)(void *), void *argument);
// A swap of a drawable of this many pixels or more is made outside the loop (the copy of a
// buffer of 16 MB, or the making of its buffers at the first swap, takes tens of milliseconds).
constexpr uint64_t kGlxDirectSwapOutsidePixels = 2048ull * 2048;

// ===== instances =====
// Starts GL inside the proxy on one head: the library list (colon-separated), the GLX version
// code the proxy offers, the head's Display and screen; on success the instance is stored
// through *instance and caps is filled. A head on a Display and library list that already have
// an instance shares it (one more reference). NULL or a failure text; a failure leaves no new
// instance behind. A crash inside the library during the set-up (SIGILL, SIGSEGV, SIGBUS,
// SIGFPE, SIGABRT on this thread) gives "GL lib has crashed" and restores the handlers that
// were installed before. Event-loop thread only; set-ups never overlap.
const char *glxdirectSetupDisplay(const char *library, uint32_t glxVersion, Display *display, int screen,
                                  GlxLibraryInstance **instance, GlCapabilities *caps);
// Drops one reference of the instance (NULL: nothing); the last one frees the record and its
// buffers, once the contexts whose end is made outside the loop have ended. The library itself
// stays mapped (a GL library cannot be unloaded safely while the Display it drew on is open).
void glxdirectFreeInstance(GlxLibraryInstance *instance);
// One of the instance's contexts ending outside the loop has ended (after the call, on the
// loop's thread): the library is reloaded when it was the last context, or the record freed
// when its last reference went meanwhile.
void glxdirectContextEnded(GlxLibraryInstance *instance);
// Frees a record made without glxdirectSetupDisplay (never listed, no references): its
// buffers, context nodes and list names (NULL: nothing). The library itself is left alone.
void glxdirectFreeUnlisted(GlxLibraryInstance *instance);
// True while at least one instance exists.
bool glxdirectAvailable();
// The handler of the set-up's crash guard: on the thread that armed the guard it jumps back into
// the set-up; on any other thread (or when no guard is armed) the signal takes its default
// action.
void glxdirectCrashJump(int signal);
// One integer of GL state through the library's glGetIntegerv (room for 16 values, all zero
// before the call): the first value, 0 when the library writes nothing.
int32_t glxdirectGetInteger(GlxLibraryInstance *instance, uint32_t pname);
// Loads the library list and fills the instance's function table for the GL version code. NULL
// or a failure text (the library is released again).
const char *glxdirectLoadFunctions(const char *library, uint32_t glVersion, GlxLibraryInstance *instance);
// ===== end of instances =====

// ===== tags, contexts and drawables =====
// A tag slot (from 1) for the context serial made current on the draw and read drawables under
// the proxy tag; 0 on failure (no such context, every slot up to 255 in use). A slot that holds
// the same context and drawables is shared: it counts its proxy tags. drawId and readId: the
// client's ids of the drawables, whose records give their sizes (0: unknown, not bounded).
uint32_t glxdirectCreateTag(GlxLibraryInstance *instance, uint32_t contextSerial, uint32_t drawDrawable,
                            uint32_t readDrawable, uint32_t proxyTag, uint32_t drawId = 0, uint32_t readId = 0);
// ===== the library's largest drawable =====
// Whether a drawable of that size fits the library's largest (GlxLibraryInstance::largestWidth
// and largestHeight; unknown limits bound nothing).
bool glxdirectSizeFits(const GlxLibraryInstance *instance, uint32_t width, uint32_t height);
// Whether the slot's draw and read drawables fit, at the sizes the proxy's records give them
// now (glxDrawableSize; a pbuffer, checked at its creation, and an unknown id always fit). The
// library is never handed a slot that does not: glxdirectMakeTagCurrent refuses it.
bool glxdirectSlotFits(GlxLibraryInstance *instance, uint32_t slot);
// The size of the slot's read drawable as the proxy knows it: false when it does not.
bool glxdirectSlotReadSize(GlxLibraryInstance *instance, uint32_t slot, uint32_t *width, uint32_t *height);
// The library lets go of the current slot's drawables when one of them was resized since the
// library last saw it (the slot then waits for its client's requests as a new one does:
// GlxDirectTagSlot::resized) or no longer fits: the next use of any slot goes through
// glxdirectMakeTagCurrent, which refuses it while it does not fit. Every instance, for
// glxdirectLetGoOfOversizedAll.
void glxdirectLetGoOfOversized(GlxLibraryInstance *instance);
void glxdirectLetGoOfOversizedAll();
// A GLX request under a context tag of the current client (render, large render, wait, copy,
// swap, font lists, the single requests; swapped already) whose tag maps, on a head of its
// screen, to a slot that does not fit, or a SwapBuffers of a window or GLX pixmap that does not
// fit a library of its screen: true after BadAlloc was sent (nothing is called), as a server
// that cannot allocate the drawable's buffers answers; false otherwise. Vendor requests, and
// requests that let a tag go (MakeCurrent, DestroyContext), go on: their slot is refused by
// glxdirectMakeTagCurrent. Before it looks, every instance lets go of a current slot that was
// resized (glxdirectLetGoOfOversizedAll), and a slot of the request's tag (a vendor request's
// likely tag too) that was resized waits for the client's earlier requests (the request parks:
// glxdirectParkForSync).
bool glxdirectRefuseOversized(const uint8_t *request, uint32_t length);
// ===== end of the library's largest drawable =====
// Releases the library's current context, and frees the tag slot with
// the last proxy tag that maps to it. A slot whose drawable is gone is never made current for
// that; an unknown slot leaves the library alone.
void dGLDestroyTag(GlxLibraryInstance *instance, uint32_t slot);
// The library has no context current (the current slot becomes 0; its context keeps its state).
void glxdirectReleaseCurrent(GlxLibraryInstance *instance);
// Before the library destroys a pbuffer or GLX pixmap, or the real server a window: the library
// lets go of it when the current slot draws into or reads from it, and every slot that does is
// marked gone.
void glxdirectDrawableGone(GlxLibraryInstance *instance, uint32_t drawable);
// A SwapBuffers under no context tag of the library's drawable (one that has not ended): swapped
// under a slot that draws into it (not one marked gone), else under a context of the visual
// (its id on the library's screen; 0: none, nothing is swapped) made for that call alone and
// destroyed after it; no slot is current afterwards then. Never without a context current.
void glxdirectSwapWithoutTag(GlxLibraryInstance *instance, uint32_t drawable, int screen, uint32_t visual);
// Destroys the direct context of that serial (its tag slots first). The library's end of it
// is made outside the loop where it can be (miscQueueOutside), at once elsewhere.
void dGLDestroyContext(GlxLibraryInstance *instance, uint32_t contextSerial);
// Destroy a direct GLX pixmap or pbuffer of the instance.
void glxdirectDestroyGLXPixmap(GlxLibraryInstance *instance, uint32_t pixmap);
void glxdirectDestroyPbuffer(GlxLibraryInstance *instance, uint32_t pbuffer);
// ===== end of tags, contexts and drawables =====

// ===== the client's budget =====
// What one texture or display-list name is counted to take in the library (its record and hash
// entry), and what one pixel of a pbuffer (colour, depth and stencil), against the client's
// lumoraMemory.
constexpr uint64_t kGlxDirectNameBytes = 256;
constexpr uint64_t kGlxDirectPixelBytes = 8;
// Counts bytes against the current client's lumoraMemory: false (nothing counted) when they do
// not fit what is left. No current client, or lumoraMemory 0 (no bound): always true. glxdirectRefund gives bytes back (at
// most what is counted) to the client, respectively the current one.
bool glxdirectCharge(uint64_t bytes);
// What the current client's lumoraMemory leaves (all ones without a bound or a client).
uint64_t glxdirectBudgetLeft();
void glxdirectRefund(ClientConnection *client, uint64_t bytes);
// A client's budget record: what the library keeps for a client beyond one request (levels,
// storage, names, list contents, sources) is recorded under the client's owner serial, given
// at its first use (from 1, never reused; 0: no client), never under its connection index. The
// client-closing step ends the record (glxdirectOwnerGone): from then on what it left in a
// share group gives nothing back to anybody, and a later client that takes its index starts a
// record of its own.
uint64_t glxdirectOwner();  // the current client's
void glxdirectRefundOwner(uint64_t owner, uint64_t bytes);
// Bytes counted for the owner's client for a reply written to it: they stay counted until the
// client's output has been written out (nothing of it held back in sequence, its output buffer
// at most at the flow-control mark), given back at its next count or look at its budget after
// that. A client that sends read-backs without reading their replies meets its budget.
void glxdirectHoldUntilWritten(uint64_t owner, uint64_t bytes);
void glxdirectOwnerGone(ClientConnection *client);
// The display-list names of the current context's share group: [first, first + count) are made
// for the current client, who has been counted count x kGlxDirectNameBytes for them (the
// number of those that were not held yet comes back: the caller gives back the rest);
// glxdirectListNameHeld says whether the group holds list; glDeleteLists for the names of
// [list, list + range) the group holds (a negative range goes to the library as it is), each
// given back with its contents to the client it is counted for; glxdirectListGroupGone forgets
// the names of a share group that ended (the library deleted them), given back likewise;
// glxdirectFreeListNames forgets them all.
uint64_t glxdirectAddListNames(GlxLibraryInstance *instance, uint32_t first, uint64_t count);
bool glxdirectListNameHeld(GlxLibraryInstance *instance, uint32_t list);
void glxdirectDeleteListNames(GlxLibraryInstance *instance, uint32_t list, int32_t range);
void glxdirectListGroupGone(GlxLibraryInstance *instance, uint32_t shareGroup);
void glxdirectFreeListNames(GlxLibraryInstance *instance);
// ===== display lists kept by the proxy =====
// The library never compiles a client's list: NewList opens a list in the current context,
// each render command (but those GL executes at once) is recorded into it as sent
// (glxdirectlists.cpp), and EndList keeps it under its name in the context's share group
// (glxdirectstate.cpp). CallList and CallLists replay the recorded commands through the render
// decoder (glxdirectlists.cpp).
// A recorded command: opcode (32 bits), size of its data (32 bits), the data padded to 4.
constexpr uint32_t kGlxDirectListNesting = 64;  // GL_MAX_LIST_NESTING
// While the current context makes a list and no list is replayed: the command is appended to
// it, the room it takes counted against the current client (true, nothing done, otherwise);
// false when that passes its lumoraMemory or no memory can be had (nothing recorded; the
// client's next GetError answers GL_OUT_OF_MEMORY).
bool glxdirectRecordCommand(GlxLibraryInstance *instance, uint32_t opcode, const uint8_t *data, uint64_t size);
// The same for records formed already (a whole number of them, in the form above), appended at
// once or not at all.
bool glxdirectRecordFormed(GlxLibraryInstance *instance, const uint8_t *records, uint64_t bytes);
// The list of that name in the current context's share group: its recorded commands
// [*first, *end), or a list the library made itself (glXUseXFont) as *libraryList (not 0).
// False when the group has no such list. Valid until a list of the group is made or deleted,
// or as long as *keep (when given) lives.
bool glxdirectListBody(GlxLibraryInstance *instance, uint32_t list, const uint8_t **first, const uint8_t **end,
                       uint32_t *libraryList, std::shared_ptr<const void> *keep = nullptr);
// The library made the lists [first, first + count) itself in the current share group (the
// names are held already): they replace what the proxy kept under those names.
void glxdirectLibraryLists(GlxLibraryInstance *instance, uint32_t first, uint64_t count);
// A context goes: the list it was making is freed (its count is given back by
// glxdirectContextTexturesGone).
void glxdirectFreeCompileBody(GlxDirectContext *node);
// The value of a list state query (GL_LIST_INDEX, GL_LIST_MODE, GL_LIST_BASE,
// GL_MAX_LIST_NESTING) for the current context: false for another pname.
bool glxdirectListState(GlxLibraryInstance *instance, uint32_t pname, int32_t *value);
// ===== end of display lists kept by the proxy =====
// EndList was accepted: the list made now holds what its commands were counted, in place of
// what it held before (given back to the client that was counted for it).
void glxdirectListContents(GlxLibraryInstance *instance, uint32_t list, uint64_t bytes);
// The lists [first, first + count) of the share group went: their contents are given back.
void glxdirectListContentsDeleted(GlxLibraryInstance *instance, uint32_t shareGroup, uint32_t first, uint64_t count);
// Around a library call whose outcome decides what is counted: glxdirectErrorBefore keeps an
// error the client's earlier commands left (to be handed back at its next GetError), and
// glxdirectAccepted tells whether the call left no error (one it left is kept likewise). Both
// read the library's glGetError of the current context; nothing inside glBegin/glEnd, where
// the library answers no GetError (accepted then). glxdirectTakeHeldError hands the kept error
// back once (0: none).
void glxdirectErrorBefore(GlxLibraryInstance *instance);
bool glxdirectAccepted(GlxLibraryInstance *instance);
uint32_t glxdirectTakeHeldError(GlxLibraryInstance *instance);
// A command the proxy refuses for the library with the GL error the library gives it: kept for
// the client's next GetError after any error its earlier commands left (the first one stays).
// Inside glBegin/glEnd the library is handed a call it refuses (GL_INVALID_OPERATION there, as
// for the command itself).
void glxdirectRecordError(GlxLibraryInstance *instance, uint32_t error);
// The context node current in the library, or NULL.
GlxDirectContext *glxdirectCurrentNode(GlxLibraryInstance *instance);
// Before the library defines a level of a texture's storage (an image of that target, level,
// internal format and size, for the texture bound to the target): a size beyond the library's
// limits, or any level inside glBegin/glEnd, is to be refused (the caller hands the library a
// width of -1: its GL error, no storage); a level past the current client's lumoraMemory is
// over budget (BadAlloc, nothing called). Otherwise the level's estimated bytes (width x height
// x depth x bytes per texel, at least 4) are counted for the current client beforehand, and
// glxdirectStorageDone, after the call, lets them replace what was counted for the level only
// when the library accepted the call (otherwise they are given back and the old count stays).
// Proxy and unknown targets and negative sizes are left to the library; a level compiled into
// a display list (GL_COMPILE) counts as the list's contents instead.
enum GlxDirectLevelVerdict { kGlxDirectLevelCall, kGlxDirectLevelRefused, kGlxDirectLevelOverBudget };
GlxDirectLevelVerdict glxdirectTextureLevel(GlxLibraryInstance *instance, uint32_t target, int32_t level,
                                            uint32_t internalFormat, int32_t width, int32_t height, int32_t depth);
// The same for the storage of the renderbuffer bound (its one level), of samples samples per
// pixel (at most the library's, 0 and 1 count one): a size beyond the library's maximum is
// refused.
GlxDirectLevelVerdict glxdirectRenderbufferStorage(GlxLibraryInstance *instance, uint32_t internalFormat,
                                                   int32_t samples, int32_t width, int32_t height);
// The other storage the library keeps for a client, by the object's name in the current
// context's share group: a buffer object's data store (BufferData: size bytes of the buffer
// bound to the target; BufferSubData and MapBuffer add nothing), a shader's source
// (ShaderSource: the bytes the client sent for it) and an ARB or NV program's string. Like a level: false when the new size
// passes lumoraMemory (BadAlloc, nothing called); counted beforehand, and glxdirectStorageDone
// keeps it (replacing the old count) only when the library accepted the call. Inside
// glBegin/glEnd and for an unknown target nothing is counted (the library refuses the call).
enum GlxDirectStorageKind : uint8_t {
  kGlxDirectTextureStorage,
  kGlxDirectRenderbufferStorage,
  kGlxDirectBufferStorage,
  kGlxDirectShaderSources,
  kGlxDirectListContents,
  kGlxDirectProgramStrings,
  kGlxDirectStorageKinds
};
bool glxdirectBufferData(GlxLibraryInstance *instance, uint32_t target, uint64_t size);
bool glxdirectShaderSource(GlxLibraryInstance *instance, uint32_t shader, uint64_t bytes);
// An ARB or NV program's string (ProgramStringARB, LoadProgramNV) likewise: the program named
// (0: the one bound to the target).
bool glxdirectProgramString(GlxLibraryInstance *instance, uint32_t target, uint32_t program, uint64_t bytes);
// After the library call a level, storage or source was counted for (nothing when none was):
// called is false when the command was dropped before the call (what was counted goes back).
void glxdirectStorageDone(GlxLibraryInstance *instance, bool called);
// The count buffer (shader, program) names at names are deleted in the current context: their
// storage (source, string) is given back to the client it is counted for.
void glxdirectStorageDeleted(GlxLibraryInstance *instance, GlxDirectStorageKind kind, const uint8_t *names,
                             uint32_t count);
// The count texture (renderbuffer) names at names (4 bytes each, any alignment) are deleted in
// the current context: their levels are given back to the clients they are counted for.
void glxdirectTexturesDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count);
void glxdirectRenderbuffersDeleted(GlxLibraryInstance *instance, const uint8_t *names, uint32_t count);
// The object names a client holds, each counted kGlxDirectNameBytes from when a Gen call or the
// first bind (a query's first begin) makes it until it is deleted, once; queries and
// framebuffers belong to their context, the other kinds to its share group.
enum GlxDirectNameKind : uint8_t {
  kGlxDirectTextureNames,
  kGlxDirectBufferNames,
  kGlxDirectQueryNames,
  kGlxDirectRenderbufferNames,
  kGlxDirectProgramNames,
  kGlxDirectFramebufferNames,
  kGlxDirectNameKinds
};
// Whether names of the kind belong to their context rather than to its share group.
constexpr bool glxdirectNamesPerContext(GlxDirectNameKind kind) {
  return kind == kGlxDirectQueryNames || kind == kGlxDirectFramebufferNames;
}
// The count names at names (4 bytes each, any alignment) were made by a Gen call in the current
// context, counted beforehand as count x kGlxDirectNameBytes for the current client: each new
// nonzero one is recorded for it, what was counted for the others given back.
void glxdirectNamesMade(GlxLibraryInstance *instance, GlxDirectNameKind kind, const uint8_t *names, uint32_t count);
// Before the library binds name (begins a query of it) in the current context: a name not held
// yet is made by it and counted for the current client; false when that passes its
// lumoraMemory (BadAlloc; the caller calls nothing).
bool glxdirectNameBound(GlxLibraryInstance *instance, GlxDirectNameKind kind, uint32_t name);
// The count names at names are deleted in the current context: each held one is given back to
// the client it is counted for and forgotten; the others give nothing back.
void glxdirectNamesDeleted(GlxLibraryInstance *instance, GlxDirectNameKind kind, const uint8_t *names, uint32_t count);
// A context goes (still listed or not): its default textures, its query names and a list it
// was making are given back, and the textures, renderbuffers, buffers, sources, display lists
// and names of its share group when no other listed context shares them.
void glxdirectContextTexturesGone(GlxLibraryInstance *instance, const GlxDirectContext *gone);
// Forgets every counted level (the record's release and a reload).
void glxdirectFreeTextureLevels(GlxLibraryInstance *instance);
// ===== end of the client's budget =====

// ===== requests on contexts and drawables =====
// A new direct context (its serial) on the head's screen for the server visual (attributes
// NULL) or FBConfig (or visual id) with the attribute pairs ended by a 0 attribute (at most 57
// pairs), sharing with the direct context of that serial (0: none); 0 on failure.
// glxdirectCreateNewContext: by the FBConfig id and render type; 0 on failure.
uint32_t dGLCreateContext(GlxLibraryInstance *instance, int screen, uint32_t visual, uint32_t shareContext,
                          const int *attributes);
uint32_t glxdirectCreateNewContext(GlxLibraryInstance *instance, int screen, uint32_t fbConfig, uint32_t renderType,
                                   uint32_t shareContext);
// glXWaitGL, respectively glXWaitX, for the context behind the tag slot.
void glxdirectWaitGL(GlxLibraryInstance *instance, uint32_t slot);
void glxdirectWaitX(GlxLibraryInstance *instance, uint32_t slot);
// glXQueryServerString of the name for the head's screen, without a current context: the
// library's text, NULL when it knows no such name.
const char *glxdirectQueryServerString(GlxLibraryInstance *instance, int screen, uint32_t name);
// A direct GLX pixmap or pbuffer (counted in the instance until destroyed); 0 on failure.
uint32_t glxdirectCreateGLXPixmap(GlxLibraryInstance *instance, int screen, uint32_t visual, uint32_t pixmap);
uint32_t glxdirectCreatePbuffer(GlxLibraryInstance *instance, int screen, uint32_t fbConfig, uint32_t width,
                                uint32_t height, uint32_t largest, uint32_t preserved);
// Swap, copy context state and make display lists of a font under the tag slot.
void glxdirectSwapBuffers(GlxLibraryInstance *instance, uint32_t slot, uint32_t drawable);
void glxdirectCopyContext(GlxLibraryInstance *instance, uint32_t source, uint32_t destination, uint32_t mask,
                          uint32_t slot);
// UseXFont: false, with nothing made, when its lists' names and glyph bitmaps pass the
// client's lumoraMemory (the caller answers BadAlloc).
bool glxdirectUseXFont(GlxLibraryInstance *instance, uint32_t slot, uint32_t font, uint32_t first, uint32_t count,
                       uint32_t listBase);
// How UseXFont asks the font's metrics of the real server (xfontQueryWithin; tests without a
// server put their own in).
extern const char *(*glxdirectQueryFont)(Display *display, Font font, XFontStruct **metrics);
// ===== end of requests on contexts and drawables =====

// ===== direct contexts, tags and command data =====
// Contexts of the instance by serial (from 1): adds a library context (0: none made), finds one.
// shareContext: the serial of the context it shares objects with (0 or unknown: none).
uint32_t glxdirectAddContext(GlxLibraryInstance *instance, void *context, uint32_t shareContext = 0);
void *glxdirectContextBySerial(GlxLibraryInstance *instance, uint32_t serial);
// The library's framebuffer configuration of the screen whose GLX_FBCONFIG_ID is id, or NULL.
void *glxdirectFindFBConfig(GlxLibraryInstance *instance, int screen, uint32_t id);
// Makes the slot's context current in the library (draw and read drawables of the slot): 1, or
// 0 when the slot cannot be made current (0, unused, the library refused); the instance's
// current slot is 0 after a refusal.
int glxdirectMakeTagCurrent(GlxLibraryInstance *instance, uint32_t slot);
// A reusable buffer of at least size bytes, or NULL (the old buffer is kept then). Sizes above
// kGlxDirectScratchLimit (glxinstance.h) are refused: every caller answers them as when no
// memory can be had.
uint8_t *glxdirectScratch(GlxLibraryInstance *instance, uint64_t size);
// Whether the slot (not 0) is the instance's current slot: after an operation that gave nothing,
// true means the slot was made current and what failed was the room for the answer.
bool glxdirectSlotIsCurrent(const GlxLibraryInstance *instance, uint32_t slot);
// Before drawing into a real drawable: the real server has handled what the client (NULL: every
// client) sent before. A round trip bounded by the sync limit inside the event loop; nothing for
// the client whose parked request runs (glxdirectSyncedClient).
struct ClientConnection;
void glxSyncClientWithDisplay(ClientConnection *client, Display *display);
// The same without a wait in the event loop: the client is parked behind a round trip on its
// connection to the display (NULL: on all its connections; proxy/park.h), so that its later
// requests wait until the real server has handled what it sent so far, while the rest of this
// request goes on. Nothing for a client parked already (by this request) or for none (only a
// release, nothing is drawn).
void glxdirectParkClientWithDisplay(ClientConnection *client, Display *display);
// What a slot's first make-current and a map of its draw drawable call for the current client:
// glxdirectParkClientWithDisplay (tests count through it).
extern void (*glxdirectSyncClient)(ClientConnection *client, Display *display);
// A GLX request that the library serves after the client's earlier requests must have reached
// the real server (the first use of a tag slot of the client's, a swap interval) parks its client
// instead of waiting in the event loop: true when it did (resume runs the request later, through
// glxdirectRunSynced), false when the request goes on now.
// A GLX request that draws or asks under a context tag (render, large render, wait, font lists,
// the single requests; swapped already) whose tag is the current client's and maps, on a head
// of its screen, to a slot whose drawable ended: true after GLXBadCurrentWindow was sent, as a
// GLX server answers for a current window that is gone (nothing is called); false otherwise.
bool glxdirectRefuseGoneDrawable(const uint8_t *request, uint32_t length);
// Whether the client's tag maps, on a head of its screen, to a slot whose drawable ended.
bool glxdirectTagDrawableGone(ClientConnection *client, uint32_t tag);
bool glxdirectParkForSync(const uint8_t *request, uint32_t length,
                          void (*resume)(uint8_t *request, uint32_t length, const char *failure));
// The client whose parked GLX request runs now: its syncs are done (set and cleared by
// glxdirectRunSynced around the handler; NULL otherwise).
extern ClientConnection *glxdirectSyncedClient;
// Runs the handler for the current client on a request that was parked by glxdirectParkForSync;
// a failure of the wait (time-out, broken connection) is logged and the request goes on.
void glxdirectRunSynced(void (*handler)(uint8_t *, uint32_t, uint8_t *), uint8_t *request, uint32_t length,
                        const char *failure);
// Command data: 8 bytes at *cursor (low word first), the cursor advanced.
uint64_t glxdirectTakeU64(const uint8_t **cursor);
double glxdirectTakeDouble(const uint8_t **cursor);
// The fields of a pixel header, each into the library's glPixelStorei; the cursor advanced.
int glxdirectUnpackSwapBytes(const uint8_t **cursor, GlxLibraryInstance *instance);
int glxdirectUnpackLsbFirst(const uint8_t **cursor, GlxLibraryInstance *instance);
int glxdirectUnpackRowLength(const uint8_t **cursor, GlxLibraryInstance *instance);
int glxdirectUnpackSkipRows(const uint8_t **cursor, GlxLibraryInstance *instance);
int glxdirectUnpackSkipPixels(const uint8_t **cursor, GlxLibraryInstance *instance);
int glxdirectUnpackAlignment(const uint8_t **cursor, GlxLibraryInstance *instance);
// Bytes of pixel data of that format, type, target and layout that the library may read or
// write (64 bits, saturated): rows of at least width pixels (bits for GL_BITMAP) raised to the
// alignment, images of at least height rows, skipped images and rows whole, skipped pixels on
// top; 0 for none or invalid.
int64_t glxdirectImageSize(uint32_t format, uint32_t type, uint32_t target, int32_t width, int32_t height,
                           int32_t depth, int32_t imageHeight, int32_t rowLength, int32_t skipImages,
                           int32_t skipRows, int32_t alignment, int32_t skipPixels = 0);
// Executes one render command of that opcode whose data (after its header) is [data, end): the
// X error it ends with (BadLength for a command shorter than what it and the library read; nothing
// called then), 0 for none.
uint8_t glxdirectExecuteRender(GlxLibraryInstance *instance, uint32_t opcode, const uint8_t *data, const uint8_t *end);
// What the client arrays read may have changed (an array enabled, a buffer bound, its data
// replaced, a buffer deleted): an ArrayElement inside the open glBegin is not served from the
// elements counted at the glBegin any more.
void glxdirectArraysChanged(GlxLibraryInstance *instance);
// ===== end of direct contexts, tags and command data =====

// ===== render streams =====
// A stream of render commands (16-bit headers) in [first, end), respectively one complete
// large render command, for the context behind the tag slot: made current first, each command
// executed by the library (a glBegin left open stays open in the library with its context;
// when the request runs through miscRunYielding it yields the client's turn where it stands
// once the turn is over, and goes on at the next). The X error the stream ends with (the first
// command in error ends it; a stream cut inside a command header is BadLength), 0 for none.
uint8_t glxdirectRender(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *first, const uint8_t *end);
uint8_t glxdirectRenderLarge(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *command, uint64_t length);
// ===== end of render streams =====

// ===== single operations =====
// What a single operation executed inside the proxy gives back: a return value, a count of
// items and the items themselves (count * the operation's item size bytes).
struct GlxDirectResult {
  int32_t value;
  uint32_t count;
  const uint8_t *data;  // owned by the instance, valid until its next operation; NULL: none
};
// One single operation on the context behind the tag slot, its parameters the request's bytes
// from 8 on (in this machine's order): 1 when executed, 0 when it could not be. Until instances
// exist each executes nothing and gives no data.
using GlxDirectSingle = int (*)(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params,
                                uint32_t length, GlxDirectResult *result);
#define GLXDIRECT_SINGLE(name) \
  int name(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length, GlxDirectResult *result)
GLXDIRECT_SINGLE(glxdirectNewList);
GLXDIRECT_SINGLE(glxdirectEndList);
GLXDIRECT_SINGLE(glxdirectDeleteLists);
GLXDIRECT_SINGLE(glxdirectGenLists);
GLXDIRECT_SINGLE(glxdirectFeedbackBuffer);
GLXDIRECT_SINGLE(glxdirectSelectBuffer);
GLXDIRECT_SINGLE(glxdirectFinish);
GLXDIRECT_SINGLE(glxdirectPixelStoref);
GLXDIRECT_SINGLE(glxdirectPixelStorei);
GLXDIRECT_SINGLE(glxdirectFlush);
GLXDIRECT_SINGLE(glxdirectDeleteTextures);
GLXDIRECT_SINGLE(glxdirectGenTextures);
GLXDIRECT_SINGLE(glxdirectDeleteQueries);
GLXDIRECT_SINGLE(glxdirectDeleteBuffers);
// The state queries, each answering a value list or one value.
GLXDIRECT_SINGLE(glxdirectGetBooleanv);
GLXDIRECT_SINGLE(glxdirectGetClipPlane);
GLXDIRECT_SINGLE(glxdirectGetDoublev);
GLXDIRECT_SINGLE(glxdirectGetError);
GLXDIRECT_SINGLE(glxdirectGetFloatv);
GLXDIRECT_SINGLE(glxdirectGetIntegerv);
GLXDIRECT_SINGLE(glxdirectGetLightfv);
GLXDIRECT_SINGLE(glxdirectGetLightiv);
GLXDIRECT_SINGLE(glxdirectGetMapdv);
GLXDIRECT_SINGLE(glxdirectGetMapfv);
GLXDIRECT_SINGLE(glxdirectGetMapiv);
GLXDIRECT_SINGLE(glxdirectGetMaterialfv);
GLXDIRECT_SINGLE(glxdirectGetMaterialiv);
GLXDIRECT_SINGLE(glxdirectGetPixelMapfv);
GLXDIRECT_SINGLE(glxdirectGetPixelMapuiv);
GLXDIRECT_SINGLE(glxdirectGetPixelMapusv);
GLXDIRECT_SINGLE(glxdirectGetTexEnvfv);
GLXDIRECT_SINGLE(glxdirectGetTexEnviv);
GLXDIRECT_SINGLE(glxdirectGetTexGendv);
GLXDIRECT_SINGLE(glxdirectGetTexGenfv);
GLXDIRECT_SINGLE(glxdirectGetTexGeniv);
GLXDIRECT_SINGLE(glxdirectGetTexParameterfv);
GLXDIRECT_SINGLE(glxdirectGetTexParameteriv);
GLXDIRECT_SINGLE(glxdirectGetTexLevelParameterfv);
GLXDIRECT_SINGLE(glxdirectGetTexLevelParameteriv);
GLXDIRECT_SINGLE(glxdirectIsEnabled);
GLXDIRECT_SINGLE(glxdirectIsList);
GLXDIRECT_SINGLE(glxdirectAreTexturesResident);
GLXDIRECT_SINGLE(glxdirectIsTexture);
#undef GLXDIRECT_SINGLE
// ===== end of single operations =====

// ===== query, shader and buffer objects =====
// Single operations on occlusion queries, shader and program objects and buffer objects, in the
// form of the operations above (parameters from byte 8 of the request). A single value comes
// back in result->value (a GL boolean in its low byte); names, bytes and strings in
// result->data with their count; a pointer of the library as result->data (its value is the
// library's: never read it, never send it). Those that call the library make the slot current
// first: 0, nothing called, when it cannot be.
#define GLXDIRECT_SINGLE(name) \
  int name(GlxLibraryInstance *instance, uint32_t slot, const uint8_t *params, uint32_t length, GlxDirectResult *result)
// The library's string of the name (a NUL-terminated text in data, its length with the NUL as
// count; no data when the library has none).
GLXDIRECT_SINGLE(glxdirectGetString);
// No direct form: executes nothing (the caller answers without data).
GLXDIRECT_SINGLE(glxdirectGetCompressedTexImage);
// n (word 0) new query names (zeroed first; a negative n gives none; no room: 0, nothing
// called); whether word 0 names a query; one value of (target or query, pname).
GLXDIRECT_SINGLE(glxdirectGenQueries);
GLXDIRECT_SINGLE(glxdirectIsQuery);
GLXDIRECT_SINGLE(glxdirectGetQueryiv);
GLXDIRECT_SINGLE(glxdirectGetQueryObjectiv);
GLXDIRECT_SINGLE(glxdirectGetQueryObjectuiv);
// The handle of pname; a new shader object of the type; a new program object (both recorded in
// the tag's object lists under the library's id).
GLXDIRECT_SINGLE(glxdirectGetHandle);
GLXDIRECT_SINGLE(glxdirectCreateShaderObject);
GLXDIRECT_SINGLE(glxdirectCreateProgramObject);
// n new buffer names; whether a name is a buffer; size (word 2, the low word of a 64-bit field)
// bytes of the target's (word 4) buffer from the offset's low word (word 0); one value of
// (target, pname).
GLXDIRECT_SINGLE(glxdirectGenBuffers);
GLXDIRECT_SINGLE(glxdirectIsBuffer);
GLXDIRECT_SINGLE(glxdirectGetBufferSubData);
GLXDIRECT_SINGLE(glxdirectGetBufferParameteriv);
// Performs nothing but the "WIP" problem line.
GLXDIRECT_SINGLE(glxdirectGetElementRange);
// The library's pointer of (target, pname), respectively of the target mapped with the access;
// the unmap's GL boolean.
GLXDIRECT_SINGLE(glxdirectGetBufferPointerv);
GLXDIRECT_SINGLE(glxdirectMapBuffer);
GLXDIRECT_SINGLE(glxdirectUnmapBuffer);
#undef GLXDIRECT_SINGLE
// ===== end of query, shader and buffer objects =====

// ===== pixel queries =====
// The reply an image read back is packed into: 32 bytes of header (zero: the caller fills its
// fields and sends it), then the image padded to 4 bytes, all zeroed before the library writes
// (no earlier bytes reach a client where it writes less). The operation makes it once it knows
// the image's size (glxdirectReplyArea): twice its bytes (the reply, and its copy on the way
// out) are counted against the current client's lumoraMemory before anything is allocated, and
// past the budget (or beyond the largest read-back, kGlxDirectScratchLimit, or without memory)
// nothing is made or read: refused, the client gets BadAlloc. The caller ends it with
// glxdirectReplyDone once the reply was written to the client: the block is freed, and the
// count stays until the client's output has been written out (glxdirectHoldUntilWritten).
struct GlxDirectReply {
  uint8_t *reply;    // malloc'ed, size bytes; NULL until made
  uint64_t size;     // 32 + the image padded to 4
  uint64_t image;    // the image's bytes
  uint64_t charged;  // counted for the client of that owner serial (glxdirectOwner)
  uint64_t owner;
  bool refused;      // not made: past the budget, too large or no memory
};
// The image's place (reply + 32), or NULL (refused set; also for a reply made already).
uint8_t *glxdirectReplyArea(GlxDirectReply *reply, uint64_t imageBytes);
void glxdirectReplyDone(GlxDirectReply *reply);
// The pixel-returning and imaging queries on the context behind the tag slot, with the
// request's fields in request order (this machine's order). Images are packed into *reply and
// returned at their place there; values live in the instance's scratch memory and stay valid
// until its next operation. NULL means no data: none were produced (size 0), or no memory could
// be had for them (size not 0; reply->refused for an image past the client's budget). Until
// instances exist every one produces nothing.
// The pixels of the rectangle packed with the two flags: count items of itemSize bytes (the GL
// type's size); no data: count 0, item size 1. Only the part of the rectangle inside the read
// drawable (at the size the proxy's records give it; the library's largest drawable while a
// framebuffer object is bound for reading) is read, into its place in the image: the rest is
// zero, and a rectangle of which nothing exists only has the library check the request (its GL
// errors). GL_BITMAP is refused with the library's GL_INVALID_ENUM, a negative size with its
// GL_INVALID_VALUE: data (nothing of it to send) with count 0, respectively no data.
const uint8_t *glxdirectReadPixels(GlxLibraryInstance *instance, uint32_t slot, int32_t x, int32_t y,
                                   int32_t width, int32_t height, uint32_t format, uint32_t type,
                                   uint32_t swapBytes, uint32_t lsbFirst, GlxDirectReply *reply, uint32_t *count,
                                   uint32_t *itemSize);
// The stipple's 128 bytes (count 128).
const uint8_t *glxdirectGetPolygonStipple(GlxLibraryInstance *instance, uint32_t slot, uint32_t *count);
// The level's image, its dimensions and border, size bytes (rows aligned to 4).
const uint8_t *glxdirectGetTexImage(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, int32_t level,
                                    uint32_t format, uint32_t type, uint32_t swapBytes, int32_t *width,
                                    int32_t *height, int32_t *depth, int32_t *border, uint64_t *size,
                                    GlxDirectReply *reply);
// The table of width entries, size bytes.
const uint8_t *glxdirectGetColorTable(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                      uint32_t format, uint32_t type, int32_t *width, uint64_t *size,
                                      GlxDirectReply *reply);
// The filter image of width x height, size bytes.
const uint8_t *glxdirectGetConvolutionFilter(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                             uint32_t format, uint32_t type, int32_t *width, int32_t *height,
                                             uint64_t *size, GlxDirectReply *reply);
// The row image (width) followed by the column image (height); size bytes for both.
const uint8_t *glxdirectGetSeparableFilter(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                           uint32_t format, uint32_t type, int32_t *width, int32_t *height,
                                           uint64_t *size, GlxDirectReply *reply);
// The histogram of width entries, size bytes; reset clears it afterwards.
const uint8_t *glxdirectGetHistogram(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, uint32_t reset,
                                     uint32_t format, uint32_t type, int32_t *width, uint64_t *size,
                                     GlxDirectReply *reply);
// The minimum and then the maximum, two pixels of the format and type.
const uint8_t *glxdirectGetMinmax(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, uint32_t reset,
                                  uint32_t format, uint32_t type);
// One value of (target, pname): the integer, respectively the float.
int32_t glxdirectGetColorTableParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                          uint32_t pname);
float glxdirectGetColorTableParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                        uint32_t pname);
// count values of 4 bytes of (target, pname) (four for the scale, bias and border colour).
const uint8_t *glxdirectGetConvolutionParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                  uint32_t pname, uint32_t *count);
const uint8_t *glxdirectGetConvolutionParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                  uint32_t pname, uint32_t *count);
// One value of 4 bytes of (target, pname).
const uint8_t *glxdirectGetHistogramParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                uint32_t pname);
const uint8_t *glxdirectGetHistogramParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                                uint32_t pname);
const uint8_t *glxdirectGetMinmaxParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                             uint32_t pname);
const uint8_t *glxdirectGetMinmaxParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t target,
                                             uint32_t pname);
// Switches to the mode: the GL call's result (hits, values; negative when the buffer
// overflowed), and the buffer of the mode left (*buffer, its size in 32-bit words; NULL and 0
// when it had none).
int32_t glxdirectRenderMode(GlxLibraryInstance *instance, uint32_t slot, uint32_t mode, const uint32_t **buffer,
                            uint32_t *size);
// ===== end of pixel queries =====

// ===== library reload =====
// When the instance has no context, pbuffer, GLX pixmap or GLX window left: a fresh scratch
// area, the library's record released and taken again (it stays mapped) and its function table
// resolved anew, the glBegin and client-array flags cleared. Otherwise nothing.
void glxdirectReopenLibrary(GlxLibraryInstance *instance);
// Replaces the scratch area by a fresh zeroed one of the size it starts with.
void glxdirectResetScratch(GlxLibraryInstance *instance);
// ===== end of library reload =====

// ===== buffer, GLSL and synchronisation operations =====
// The swap interval of a drawable, set under the tag slot that draws into it (the highest such;
// none: the current slot stays), after the current client's requests reached the real server.
// The library's call gives no result: 0.
int32_t glxdirectSwapInterval(GlxLibraryInstance *instance, uint32_t drawable, int32_t interval);
// Operations on buffer and GLSL objects under the tag slot (made current first): 1, or 0 when
// the slot cannot be made current (nothing called). Deleting a program or shader drops it from
// the object lists of the slot's proxy tag. One value comes back through *value.
int glxdirectBindBuffer(GlxLibraryInstance *instance, uint32_t slot, uint32_t target, uint32_t buffer);
int glxdirectDeleteProgram(GlxLibraryInstance *instance, uint32_t slot, uint32_t program);
int glxdirectDeleteShader(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader);
int glxdirectIsProgram(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, int32_t *value);
int glxdirectGetProgramiv(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, uint32_t pname,
                          int32_t *value);
int glxdirectGetShaderiv(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader, uint32_t pname,
                         int32_t *value);
int glxdirectGetObjectParameterfv(GlxLibraryInstance *instance, uint32_t slot, uint32_t object, uint32_t pname,
                                  float *value);
int glxdirectGetObjectParameteriv(GlxLibraryInstance *instance, uint32_t slot, uint32_t object, uint32_t pname,
                                  int32_t *value);
// The library's compiler and linker recurse over a source's expressions, about 640 bytes of
// stack a term of one sum (more under the sanitizers), so a long expression overflows any
// stack of ordinary size. They run on a stack of their own, reserved for the largest source a
// request can carry (16 MB) and given back after the call; only the pages they touch take
// memory. With the instance's context current (the decoder's calls). Where the request may
// yield, the call runs outside the loop (glxdirectOutside): NULL, or why the request must end.
constexpr unsigned long kGlxDirectCompileStackBytes = 8ul << 30;
const char *glxdirectCompileShader(GlxLibraryInstance *instance, uint32_t shader);
const char *glxdirectLinkProgram(GlxLibraryInstance *instance, uint32_t program);
// The current context's program may have changed (UseProgram; LinkProgram of that program, a
// library name, or 0): its next draw asks the library which program it uses, and the first
// draw with a program since its link is made outside the loop (glxdirectlists.h:
// libraryDraw). No current context: nothing.
void glxdirectProgramChanged(GlxLibraryInstance *instance, uint32_t linked);
// The object's text in bufferSize bytes of zeroed scratch, valid until the instance's next
// operation, and the length the library reports (at most bufferSize); NULL, with nothing
// called, when the slot cannot be made current or no room can be had (a size beyond the GL
// size type included).
const uint8_t *glxdirectGetProgramInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t program,
                                          uint64_t bufferSize, int32_t *textLength);
const uint8_t *glxdirectGetShaderInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader,
                                         uint64_t bufferSize, int32_t *textLength);
const uint8_t *glxdirectGetShaderSource(GlxLibraryInstance *instance, uint32_t slot, uint32_t shader,
                                        uint64_t bufferSize, int32_t *textLength);
const uint8_t *glxdirectGetInfoLog(GlxLibraryInstance *instance, uint32_t slot, uint32_t object,
                                   uint64_t bufferSize, int32_t *textLength);
// Room for maximumCount handles (4 bytes each) and the count the library reports, likewise.
const uint8_t *glxdirectGetAttachedObjects(GlxLibraryInstance *instance, uint32_t slot, uint32_t container,
                                           uint64_t maximumCount, int32_t *count);
// The location of the NUL-terminated name in the program: 1, or 0 with location -1 and nothing
// called when the slot cannot be made current.
int glxdirectGetUniformLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, const char *name,
                                int32_t *location);
int glxdirectGetAttribLocation(GlxLibraryInstance *instance, uint32_t slot, uint32_t program, const char *name,
                               int32_t *location);
// The name of the program's active uniform (attribute) of that index in bufferSize zeroed bytes
// of scratch, as the text operations above, with its length, size and type.
const uint8_t *glxdirectGetActiveUniform(GlxLibraryInstance *instance, uint32_t slot, uint32_t program,
                                         uint32_t index, uint64_t bufferSize, int32_t *nameLength, int32_t *size,
                                         uint32_t *type);
const uint8_t *glxdirectGetActiveAttrib(GlxLibraryInstance *instance, uint32_t slot, uint32_t program,
                                        uint32_t index, uint64_t bufferSize, int32_t *nameLength, int32_t *size,
                                        uint32_t *type);
// ===== end of buffer, GLSL and synchronisation operations =====

// ===== vendor commands =====
// Executes one vendor-private command of that code for the context behind the tag slot (made
// current first). data is the request's bytes from 12 on (after the vendor code and the context
// tag, in this machine's order), the request itself beginning 12 bytes before it; end is the
// request's end. Short data calls nothing and is BadLength, a size the library cannot be given
// room for is BadAlloc, a slot that cannot be made current GLXBadContextTag; these and the
// reply of an answering code (sent only for a GLXVendorPrivateWithReply) go to the current
// client only when head is its meta screen's reply head (NULL: answers). False when the code is
// not served (logged; nothing called or sent).
bool glxdirectVendorPrivate(GlxLibraryInstance *instance, uint32_t slot, uint32_t code, const uint8_t *data,
                            const uint8_t *end, Head *head);
// 1 for GL_VERTEX_PROGRAM_ARB and the vertex attribute pnames 0x8622-0x8626, else 0 (the check
// also reports the pname as unexpected).
int glxdirectCheckVertexAttribPname(uint32_t pname);
int glxdirectIsVertexAttribPname(uint32_t pname);
// GL_BUFFER_SIZE of the buffer bound to the target (0 when the library writes nothing).
int32_t glxdirectBufferSize(GlxLibraryInstance *instance, uint32_t target);
// The size of the program's active uniform at that location; 0 when none has it.
uint32_t glxdirectUniformSize(GlxLibraryInstance *instance, uint32_t program, int32_t location);
// ===== end of vendor commands =====
