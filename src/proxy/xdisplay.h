// Small operations on the proxy's Xlib connections to real X servers: display names and
// hosts, the external display-name lookup command, MIT-SHM, a GC per depth, colour
// allocation, X error texts, properties, selection owners, the server's time and extension
// probes.
//
// Everything runs on the event loop's thread; the static buffers and the GC caches are
// process-wide and unguarded.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>

// ----- Names and hosts ------------------------------------------------------------------------

// Parses a display name without connecting. The host is a heap copy (the local host name for
// no name, no host or "unix"); family 256 (local) for a "local"/"unix" protocol or the local
// host, else 0 (Internet). No name means display 0 of the local host. 1, or 0 when the name
// does not parse.
int xdisplayParseAddress(const char *name, char **host, int *displayNumber, int *screen, int *family);
// The host part of a display name: after a "protocol/" prefix, the text before the last ':';
// the local host name for a name starting with ':', without ':' or with the host "unix".
// Static 256-byte buffer, overwritten by the next call (of either function).
const char *xdisplayHostOfName(const char *name);
const char *xdisplayHostOfDisplay(Display *display);
// True when the display's host is not the local host.
bool xdisplayIsRemote(Display *display);
// The rest of the name from its ':' when it begins with the local host name (any case)
// directly followed by ':'; else NULL.
const char *xdisplayLocalPart(const char *name);
// "host:display" with the canonical host and the screen dropped ("::" kept as given); NULL
// for an empty or non-numeric display part. NULL gives "<local host>:0". Static buffer.
const char *xdisplayCanonicalName(const char *name);
// Whether two display names name the same display (NULL: $DISPLAY, else ":0.0").
bool xdisplaySameDisplay(const char *a, const char *b);

// The display-name lookup command. A NULL name stands for $DISPLAY (unset: *result NULL,
// success). A non-empty name without ':' is handed to the program "displayLookup" in the
// installation's bin directory as its argument after "-d"; the first line it prints (at most
// 255 characters) replaces the name when it exits with 0, and is the error text (returned)
// when it exits otherwise. No output, an empty line, a missing program or a failure to run it
// keep the given name. *result is the given name or a static 256-byte buffer.
const char *xdisplayLookupName(const char *name, const char **result);

// ----- MIT-SHM and shared memory --------------------------------------------------------------

// NULL when MIT-SHM can be used with the display, else the reason.
const char *xdisplayCheckShm(Display *display);
// A private segment of that size (mode 0600), attached read-only with the flag; the server
// side id and read-only flag of the record are the caller's. NULL on failure.
XShmSegmentInfo *xdisplayShmAlloc(uint64_t size, int readOnly);
// Detaches and removes the segment and frees the record (NULL is ignored).
void xdisplayFreeShmSegment(XShmSegmentInfo *segment);
// True when listeners for the display number could be opened on some transport (they are
// closed again at once).
bool xdisplayCanListen(int displayNumber);

// ----- Graphics contexts and colours ----------------------------------------------------------

// One cache of GCs per (Display, screen), tied to the Display by a private extension record.
struct DisplayGCCache {
  DisplayGCCache *next;
  DisplayGCCache *previous;
  Display *display;
  int screen;
  GC gcs[33];           // by depth; NULL: no GC for that depth
  int extensionNumber;  // the private extension whose close hook frees the GCs
};

// The cached GC for a depth (foreground 1, background 0, no graphics exposures); NULL for a
// depth the server cannot make (or above 32). The cache is built on the first call for the
// (Display, screen). It lives until the display is closed (XCloseDisplay or
// xtargetCloseDisplay).
GC xdisplayGetDepthGC(Display *display, int screen, int depth);
// The free-private hook type of Xlib's extension data records.
using DisplayPrivateHook = int (*)(XExtData *data);
// The free-private hook of the cache's extension record: the GCs are freed at close already;
// this only releases a cache still linked.
int xdisplayFreeGCCache(XExtData *data);
// How many caches exist (for tests).
int xdisplayGCCacheCount();

// Allocates black and white; both made: stored; otherwise "UNE" and nothing changes.
void xdisplayAllocBlackWhite(Display *display, Colormap colormap, unsigned long *black,
                             unsigned long *white);
// Takes every read-write cell the colormap still has. *pixels is malloc'ed (NULL with none).
// NULL, "Out of memory (%s:%d)" (nothing in *pixels) or the failure of a query that got no
// answer within the sync limit (logged; *stalled set; the cells taken before it in *pixels,
// for the caller to give back).
const char *xdisplayAllocCells(Display *display, Colormap colormap, unsigned long **pixels,
                               int *count, bool *stalled = nullptr);

// ----- Bounded queries on the proxy's own connections -----------------------------------------

// The reply to an xcb request (its sequence) made on the display's connection for `what` (a
// request name for the log), waited for at most the sync limit (xtargetSyncLimitMs); the
// caller frees it. NULL when the server answered with an X error (logged as the error handler
// logs it when logErrors is set) or gave no answer in time or the connection broke: one log
// line, and *stalled is set. With *stalled set already the request is not waited for at all
// (its answer is dropped): a run of queries for one client request waits at most once. Callers
// check *stalled before they send a request whose effect they could not undo.
void *xdisplayWaitReply(Display *display, unsigned sequence, const char *what, bool *stalled, bool logErrors);

// ----- Errors, properties, time ---------------------------------------------------------------

// "X error <name> <resource> in <request> #<serial> from <display>" (temporary string).
const char *xdisplayErrorText(XErrorEvent *event);
// The whole property; the data is never NULL on success (free with XFree). NULL or
// "XGetWindowProperty() failed".
const char *xdisplayGetProperty(Display *display, Window window, Atom atom, unsigned char **data,
                                unsigned long *count, Atom *type, int *format);
void xdisplayCopyProperty(Display *source, Window sourceWindow, Atom atom, Display *target,
                          Window targetWindow, Atom targetAtom);
void xdisplayCopyProperties(Display *source, Window sourceWindow, Display *target,
                            Window targetWindow);
// Owners of the selections named by atoms 1, 2, ... until the first atom that does not exist;
// entry i is the owner for atom i (entry 0 is 0); *count includes the failing atom. malloc'ed;
// NULL when out of memory.
Window *xdisplayListSelectionOwners(Display *display, int *count);
// XINERAMA_CENTER_HINT = INTEGER/16 {x, y} on the window, then a flush.
void xdisplaySetCenterHint(Display *display, Window window, int x, int y);
// The real server's current time (from a PropertyNotify of a short-lived window).
Time xdisplayServerTime(Display *display);

// ----- Extension probes -----------------------------------------------------------------------

// 0 without a usable DOUBLE-BUFFER (one without error codes is refused, logged once).
int xdisplayQueryDbe(Display *display, int *major, int *minor);
// The major opcode of "Multi-Buffering", 0 when absent.
int xdisplayMultiBufferingOpcode(Display *display);

// Nearest integer, halves away from zero.
int64_t xdisplayRound(double value);

// Hands the error text to the X error trap's handler and the GC cache to the image code, and
// takes the names of requests for error texts (start-up passes xcoreRequestName; the
// dispatch tables sit above this file). Start-up calls it once.
using XdisplayRequestNameFn = const char *(*)(unsigned major, unsigned minor);
void xdisplayInstallHooks(XdisplayRequestNameFn requestName);
