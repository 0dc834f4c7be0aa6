// GLX context tags, contexts, GLX pixmaps and pbuffers, and MakeCurrent. The proxy hands out
// context tags of its own: one tag stands for a client's binding of a context to a drawable,
// and behind it each head of the drawable's meta screen has the tag its own server gave (or a
// direct tag slot on a Lumora head). Requests carrying a tag are translated head by head.
#pragma once

#include <cstdint>

#include "proxy/clientconnection.h"
#include "xext/glxrecords.h"

struct Head;
struct MetaScreen;

// ===== set-up and reset =====
// Installs the free and destroy-on-server routines of types 14-16 (each generation).
void glxInitContexts();
// Frees the tag table (the extension's reset); entries still held let their records go.
void glxFreeTagTable();
// ===== end of set-up and reset =====

// ===== tag table =====
// The free entry with the lowest index from 1 on, else a new zeroed entry at the end; its
// owner set. NULL (table unchanged) when the table cannot grow.
GlxTagEntry *glxAllocTag(ClientConnection *owner);
// The client's entry of the tag, else NULL.
GlxTagEntry *glxFindTagEntry(ClientConnection *client, uint32_t tag);
// The proxy tag of an entry of the table.
uint32_t glxTagOf(const GlxTagEntry *entry);
// The screen of the current client's entry of the tag, else NULL.
MetaScreen *glxTagScreen(uint32_t tag);
// The object lists of the current client's entry's context, else NULL.
GlxObjectIdLists *glxObjectIdListsForTag(uint32_t tag);
// The head's server tag of the entry; 0 for tag 0, a tag beyond the table or a free entry.
uint32_t glxTagForServer(uint32_t tag, Head *head);
void setGLXTagForServer(uint32_t tag, Head *head, uint32_t serverTag);
// Binds the context and drawable to the entry; the drawable's screen, or NULL (entry
// unchanged) when the drawable is no window, GLX pixmap or pbuffer.
MetaScreen *glxBindTag(GlxTagEntry *entry, GlxContextRecord *context, uint32_t contextId, uint32_t drawableId);
// A pbuffer of a screen with a Lumora head counts its pixels against the current client's
// lumoraMemory: false (nothing counted) when they do not fit.
bool glxChargePbuffer(GlxPbufferRecord *pbuffer);
// Whether the id names a window, GLX pixmap or pbuffer (what glxBindTag accepts).
bool glxDrawableKnown(uint32_t drawableId);
// The size the proxy's records give a window, GLX pixmap or pbuffer now (no round trip: a
// window's as its client, or another, last configured it); false for another id. *pbuffer
// (when asked): whether it is a pbuffer, checked against the library's largest at its creation.
bool glxDrawableSize(uint32_t drawableId, uint32_t *width, uint32_t *height, bool *pbuffer = nullptr);
// Whether the drawable fits the largest drawable of the GL library of every head of its screen
// that renders inside the proxy (glxdirectSizeFits); an unknown id fits (it is answered
// otherwise).
bool glxDrawableFitsLibraries(uint32_t drawableId);
// Lets go of the entry's slots in the GL libraries of its screen's heads (their server tags
// become 0); the entry keeps its context and drawable.
void glxReleaseDirectSlots(GlxTagEntry *entry);
// Lets the entry's context and drawable go (with a client: its server tags released on the
// client's first display connection) and frees the entry.
void glxReleaseTag(GlxTagEntry *entry, ClientConnection *client);
// The client-closing step: every tag the client owns is released; the table goes with the
// last owner.
void glxClientGone(ClientConnection *client);
// ===== end of tag table =====

// ===== records =====
// The share context's lists (one more sharer) or new empty ones, and render mode GL_RENDER;
// 0 when out of memory.
int glxInitContextObjects(GlxContextRecord *context, GlxContextRecord *share);
// Drop one reference, or free the record (and destroy it on the heads) at the last.
void glxFreeContext(GlxContextRecord *context);
void glxFreeDrawable(GlxDrawableRecord *drawable);
void glxFreePbuffer(GlxPbufferRecord *pbuffer);
// A new pbuffer record added under its id, the attribute pairs in [first, end) read; NULL on
// failure.
GlxPbufferRecord *glxCreatePbufferRecord(MetaScreen *screen, VisualRecord *fbConfig, uint32_t pbufferId,
                                         uint16_t width, uint16_t height, const uint8_t *first, const uint8_t *end);
// The meta screen a GLX request names by number (a head's for a client that sees heads as
// screens); NULL for none.
MetaScreen *glxScreenByNumber(uint32_t screen);
// ===== end of records =====

// ===== pending MakeCurrent records =====
// The records of one forwarded request, one per indirect head, share a list head.
struct GlxPendingRequest;
struct GlxPendingList {
  GlxPendingRequest *first;
  ClientConnection *client;
  uint8_t marked;      // an answer went to the client otherwise (an error, BadAlloc): replies only store tags
  uint8_t freshEntry;  // the request took a new entry, given back when marked and done
};
struct GlxPendingRequest {
  GlxPendingRequest *next;  // the first record's prev is the last
  GlxPendingRequest *prev;
  uint32_t proxyTag;
  uint32_t oldTag;
  uint32_t drawableId;
  uint32_t contextId;
  GlxPendingList *list;  // shared by the request's records; freed with the last
  Head *head;
};
// A record appended to the request's list (*list, allocated with the first record); NULL
// when out of memory.
GlxPendingRequest *glxAddPendingRequest(uint32_t proxyTag, uint32_t oldTag, uint32_t drawableId, uint32_t contextId,
                                        GlxPendingList **list, Head *head);
// Unlinks the record: 1 when its list is now empty.
int glxUnlinkPendingRequest(GlxPendingRequest *record);
// The discard function of the reply callback: unlinks and frees the record (a record discarded
// unanswered marks its request), and the list head with the last record.
void glxFreePendingRequest(uintptr_t record);
// ===== end of pending MakeCurrent records =====

// ===== requests and replies =====
void glxMakeCurrent(uint8_t *request, uint32_t length, uint8_t *);
void glxMakeContextCurrent(uint8_t *request, uint32_t length, uint8_t *);
void glxMakeCurrentReply(uint8_t *reply, uint32_t length);
void glxMakeContextCurrentReply(uint8_t *reply, uint32_t length);
// ===== end of requests and replies =====
