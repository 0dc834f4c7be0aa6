// GLX towards real servers: the client's GLX ids as a head's server sees them, the few GLX
// requests the proxy writes itself (through a display connection's request sink, or straight
// into an Xlib display's output for the proxy's own resources), and the short replies the
// proxy answers itself. Every request carries the GLX major opcode of the proxy, which is the
// real server's.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"

struct Head;
struct ServerDisplay;

// ===== id translation =====
// A context id on the head: a Lumora head's direct context of the context record, else the
// client id mapped to the head's server.
uint32_t glxindirectRealContext(uint32_t contextId, Head *head);
// A drawable id on the head: on a Lumora head the pbuffer's, else the GLX pixmap's, direct
// object; otherwise (and on every indirect head) the drawable's id on the head's server.
uint32_t glxindirectRealDrawable(uint32_t drawableId, Head *head);
// A visual or FBConfig id of the head's meta screen as the head's server knows it; 0 and ids
// the meta screen does not have are returned unchanged.
uint32_t glxindirectRealVisual(uint32_t visualId, Head *head);
// ===== end of id translation =====

// ===== requests through a sink =====
// GLXMakeCurrent (16 bytes); nothing when no room can be had.
void glxindirectMakeCurrent(const RequestSink *sink, uint32_t drawable, uint32_t context, uint32_t oldTag);
// GLXCreateGLXPixmap (20 bytes): 1, or 0 after an out-of-memory report.
int glxindirectCreateGlxPixmap(const RequestSink *sink, uint32_t glxPixmap, uint32_t screen, uint32_t visual,
                               uint32_t pixmap);
// GLXDestroyGLXPixmap (8 bytes); nothing when no room can be had.
void glxindirectQueueDestroyGlxPixmap(const RequestSink *sink, uint32_t glxPixmap);
// The data to a real server under the server tag: mode -1 one GLXRender with the data as its
// render commands; any other mode the data as one large render command in GLXRenderLarge
// pieces (the leading part of glxsupportLargeRenderSize first, the rest in pieces of 262124
// bytes). 1 written, 0 when a request cannot be begun.
int glxindirectRenderLarge(const RequestSink *sink, uint32_t serverTag, const uint8_t *data, uint64_t length, int mode);
// ===== end of requests through a sink =====

// ===== render-stream swappers =====
// Swaps a stream of large render commands (32-bit headers) in place; direction > 0: the bytes
// are in the other byte order, < 0: into it. Each command's data goes to glxSwapRenderCommand;
// a command longer than the bytes given is swapped up to their end and ends the walk. (The
// stream of 16-bit headers: glxindirectSwapRender16, xext/glxswap.h.)
void glxindirectSwapRender(uint8_t *stream, uint64_t bytes, int direction);
// ===== end of render-stream swappers =====

// ===== requests into an Xlib display =====
// 8-byte destroy requests written as Xlib writes its own (under the display lock; the buffer
// flushed first when full; the synchronous handler called when set). Nothing without a display
// or while GLX is not served.
void glxindirectDestroyContext(ServerDisplay *display, uint32_t serverId);
void glxindirectDestroyGlxPixmap(ServerDisplay *display, uint32_t serverId);
void glxindirectDestroyPbuffer(ServerDisplay *display, uint32_t serverId);
// ===== end of requests into an Xlib display =====

// ===== id lists =====
// Unlinks the shader entry from the list and frees it.
struct GlxShaderEntry;
void glxindirectUnlink(GlxShaderEntry **list, GlxShaderEntry *entry);
// ===== end of id lists =====

// ===== replies =====
// A 32-byte reply to the client with the value (a context tag) at byte 8, at the client's
// current sequence number; BadAlloc with the size as bad value when no block can be had.
void glxindirectReplyShort(uint32_t value, ClientConnection *client);
// The FBConfig list: minor 21, byte 8 the number of configs, byte 12 the number of (attribute,
// value) pairs each, the configs * pairs pairs from byte 32. BadAlloc as above.
void glxindirectReplyConfigs(const uint32_t *properties, uint32_t configs, uint32_t pairs, ClientConnection *client);
// The replies the GLX handlers and the direct executors build themselves. Each goes to the
// client at its current sequence number, padded to 4 after the 32-byte header; BadAlloc with the
// reply's size as bad value when no block can be had.
// Text with its length including the NUL at byte 12 (NULL: length 0, no data).
void glxindirectReplyString(const char *string, ClientConnection *client, uint8_t minor);
// n bytes and a NUL (none for n 0), n at byte 12.
void glxindirectReplyBytes(const uint8_t *bytes, uint32_t n, ClientConnection *client, uint8_t minor);
// An id: 1 at byte 12, the value at byte 16.
void glxindirectReplyId(uint32_t value, ClientConnection *client, uint8_t minor);
// One integer: the value at bytes 8 and 16, 1 at byte 12.
void glxindirectReplyInt(uint32_t value, ClientConnection *client, uint8_t minor);
// n items of itemSize (1, 2, 4, 8) bytes: one item at byte 16 (its first 32 bits also at 8),
// more from byte 32. Another size logs "UNE" and is sent unswapped.
void glxindirectReplyValues(const void *values, uint32_t n, uint32_t itemSize, ClientConnection *client,
                            uint8_t minor);
// As above with the return word at byte 8 and the items always from byte 32.
void glxindirectReplyValuesEx(const void *values, uint32_t n, uint32_t itemSize, uint32_t returnWord,
                              ClientConnection *client, uint8_t minor);
// Two words (one 64-bit value) at bytes 16 and 20, n at byte 12.
void glxindirectReplyPair(uint32_t first, uint32_t second, uint32_t n, ClientConnection *client, uint8_t minor);
// count words for minor 145, sent only when the head is its meta screen's GLX reply head.
void glxindirectReplyList(const uint32_t *values, uint32_t count, Head *head);
// Minor 175: n at 12, words A and B at 16 and 20, the n bytes from 32.
void glxindirectReplyBlock(const uint8_t *data, uint32_t n, uint32_t wordA, uint32_t wordB,
                           ClientConnection *client);
// To the current client, minor 17: n at 8, words A and B at 12 and 16 (Data1/Data2), or n alone
// (Data3/Data4), the n bytes from 32.
void glxindirectReplyData1(uint32_t n, uint32_t wordA, uint32_t wordB, const uint8_t *data);
void glxindirectReplyData2(uint32_t n, uint32_t wordA, uint32_t wordB, const uint8_t *data);
void glxindirectReplyData3(uint32_t n, const uint8_t *data);
void glxindirectReplyData4(uint32_t n, const uint8_t *data);
// ===== end of replies =====
