// The program and shader handles of a share group of GLX contexts: on a head whose GL runs
// inside the proxy a handle the client created maps to the GL library's own, and shaders
// deleted while attached stay known until their last program lets them go. Every operation
// takes the proxy tag whose context's lists are meant; with none, lookups return the id and
// updates do nothing. Updates never fail a request: a missing entry does nothing, a failed
// allocation is logged and records nothing.
#pragma once

#include <cstdint>

#include "xext/glxrecords.h"

// ===== lookups =====
// The GL library id of the client's program (shader; program or shader), else the id itself
// (for shaders and objects logged as unexpected).
uint32_t glxLookupProgramId(uint32_t tag, uint32_t clientId);
uint32_t glxLookupShaderId(uint32_t tag, uint32_t clientId);
uint32_t glxLookupObjectId(uint32_t tag, uint32_t clientId);
// The entry of a GL library id, else NULL.
GlxProgramEntry *glxFindProgramEntry(uint32_t tag, uint32_t libraryId);
GlxShaderEntry *glxFindShaderEntry(uint32_t tag, uint32_t libraryId);
// ===== end of lookups =====

// ===== updates (GL library ids) =====
void glxRecordProgramId(uint32_t tag, uint32_t clientId, uint32_t libraryId);
void glxRecordShaderId(uint32_t tag, uint32_t clientId, uint32_t libraryId, uint32_t shaderType);
// A shader is attached to a program once, however often the client asks.
void glxAttachShaderEntry(uint32_t tag, uint32_t programId, uint32_t shaderId);
void glxDetachShaderEntry(uint32_t tag, uint32_t programId, uint32_t shaderId);
// The program's attachments go (delete-pending shaders they held last with them), then the
// program.
void glxDropProgramEntry(uint32_t tag, uint32_t programId);
// Freed when no program holds it, else marked delete-pending.
void glxDropShaderEntry(uint32_t tag, uint32_t shaderId);
// ===== end of updates =====
