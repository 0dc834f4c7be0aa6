// The records of GLX contexts, GLX pixmaps, pbuffers, context tags and their share groups'
// GLSL id lists: shared by the tag and context code (glxcontext.cpp) and the id translators
// (glxindirect.cpp). Header only.
#pragma once

#include <cstdint>

#include "proxy/resourcetable.h"
#include "support/buffer.h"

struct ClientConnection;
struct MetaScreen;
struct VisualRecord;

constexpr uint32_t kGlxHeadSlots = 128;  // per-head words, by the head's idIndex
constexpr uint32_t kGlRender = 7168;     // GL_RENDER, a new context's render mode

// ===== share groups =====
struct GlxShaderEntry {
  GlxShaderEntry *next;  // the first entry's prev is the last
  GlxShaderEntry *prev;
  uint32_t clientId;
  uint32_t libraryId;
  uint16_t attachments;  // programs it is attached to
  uint8_t deletePending;
};
struct GlxAttachment {
  GlxAttachment *next;
  GlxAttachment *prev;
  GlxShaderEntry *shader;
};
struct GlxProgramEntry {
  GlxProgramEntry *next;
  GlxProgramEntry *prev;
  uint32_t clientId;
  uint32_t libraryId;
  GlxAttachment *attachments;
};
// One per share group, held by every context of the group.
struct GlxObjectIdLists {
  GlxProgramEntry *programs;
  GlxShaderEntry *shaders;
  uint32_t sharers;  // the contexts besides one that share the lists (0: one context)
};
// ===== end of share groups =====

// ===== resources of types 14-16 =====
// Every record is freed when its id goes and no tag holds it any more (extraRefs 0).
struct GlxContextRecord {
  MetaScreen *screen;
  VisualRecord *visual;            // of the screen (the FBConfig's visual for a new-style context)
  GlxObjectIdLists *objectLists;
  uint32_t contextId;
  uint32_t shareListId;            // 0 for none
  uint32_t extraRefs;              // tags that hold the context besides its id
  uint32_t renderMode;
  uint32_t emulationMarks[kGlxHeadSlots / 32];  // the single-buffering check ran for the head
  uint32_t directContexts[kGlxHeadSlots];       // a Lumora head's context serial (0: none)
};

struct GlxDrawableRecord {  // a GLX pixmap
  MetaScreen *screen;
  VisualRecord *visual;
  uint32_t glxDrawableId;
  uint32_t xDrawableId;
  uint32_t extraRefs;
  uint32_t direct[kGlxHeadSlots];  // a Lumora head's GLX pixmap (0: none)
  uint16_t width, height;          // the pixmap's, at the creation (a pixmap keeps its size)
};

struct GlxPbufferRecord {
  MetaScreen *screen;
  VisualRecord *fbConfig;
  uint32_t pbufferId;
  uint16_t extraRefs;
  uint16_t width, height;
  uint8_t largest;    // 0 by default
  uint8_t preserved;  // 1 by default
  uint32_t direct[kGlxHeadSlots];  // a Lumora head's pbuffer (0: none)
  // Bytes counted against the creating client's lumoraMemory (glxChargePbuffer), given back to
  // that client (its owner serial, glxdirectOwner) when the record is freed, if it still lives.
  uint64_t charged;
  uint64_t chargedOwner;
};
// ===== end of resources of types 14-16 =====

// ===== context tags =====
// One per proxy tag (its index in the table); free while owner is NULL.
struct GlxTagEntry {
  ClientConnection *owner;
  GlxContextRecord *context;  // one reference held
  uint32_t contextId;
  uint32_t drawableId;
  MetaScreen *screen;         // the drawable's; its heads are the tag's heads
  Buffer largeCommand;        // GLXRenderLarge pieces of a client of the other byte order
  // The record the entry holds a reference on (a GLX pixmap or pbuffer; NULL for a window):
  // kept here, since its id may name another record by the time the entry lets it go.
  void *drawableRecord;
  ResourceType drawableType;
  uint32_t serverTags[kGlxHeadSlots];  // by head idIndex: the server's tag or direct slot (0: none)
};
// ===== end of context tags =====
