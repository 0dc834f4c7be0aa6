// Program and shader handles of GLX share groups.
#include "xext/glxobjects.h"

#include <cstdlib>

#include "support/circlist.h"
#include "support/logging.h"
#include "xext/glxcontext.h"
#include "xext/glxindirect.h"

namespace {

void logUnexpected(int line) { logProblem("UNE", __FILE__, line); }

GlxAttachment *findAttachment(GlxProgramEntry *program, GlxShaderEntry *shader) {
  for (GlxAttachment *a = program->attachments; a; a = a->next)
    if (a->shader == shader) return a;
  return nullptr;
}

// One attachment fewer on the shader: a delete-pending shader that no program holds any more
// goes.
void releaseShader(GlxObjectIdLists *lists, GlxShaderEntry *shader) {
  if (shader->attachments > 0) shader->attachments--;
  if (shader->attachments == 0 && shader->deletePending) glxindirectUnlink(&lists->shaders, shader);
}

}  // namespace

uint32_t glxLookupProgramId(uint32_t tag, uint32_t clientId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  for (GlxProgramEntry *p = lists ? lists->programs : nullptr; p; p = p->next)
    if (p->clientId == clientId) return p->libraryId;
  return clientId;
}

uint32_t glxLookupShaderId(uint32_t tag, uint32_t clientId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  if (!lists) return clientId;
  for (GlxShaderEntry *s = lists->shaders; s; s = s->next)
    if (s->clientId == clientId) return s->libraryId;
  logUnexpected(__LINE__);
  return clientId;
}

uint32_t glxLookupObjectId(uint32_t tag, uint32_t clientId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  if (!lists) return clientId;
  for (GlxProgramEntry *p = lists->programs; p; p = p->next)
    if (p->clientId == clientId) return p->libraryId;
  for (GlxShaderEntry *s = lists->shaders; s; s = s->next)
    if (s->clientId == clientId) return s->libraryId;
  logUnexpected(__LINE__);
  return clientId;
}

GlxProgramEntry *glxFindProgramEntry(uint32_t tag, uint32_t libraryId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  for (GlxProgramEntry *p = lists ? lists->programs : nullptr; p; p = p->next)
    if (p->libraryId == libraryId) return p;
  return nullptr;
}

GlxShaderEntry *glxFindShaderEntry(uint32_t tag, uint32_t libraryId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  for (GlxShaderEntry *s = lists ? lists->shaders : nullptr; s; s = s->next)
    if (s->libraryId == libraryId) return s;
  return nullptr;
}

void glxRecordProgramId(uint32_t tag, uint32_t clientId, uint32_t libraryId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  if (!lists) return;
  auto *entry = static_cast<GlxProgramEntry *>(calloc(1, sizeof(GlxProgramEntry)));
  if (!entry) return logUnexpected(__LINE__);
  entry->clientId = clientId;
  entry->libraryId = libraryId;
  circListPushBack(&lists->programs, entry);
}

void glxRecordShaderId(uint32_t tag, uint32_t clientId, uint32_t libraryId, uint32_t) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  if (!lists) return;
  auto *entry = static_cast<GlxShaderEntry *>(calloc(1, sizeof(GlxShaderEntry)));
  if (!entry) return logUnexpected(__LINE__);
  entry->clientId = clientId;
  entry->libraryId = libraryId;
  circListPushBack(&lists->shaders, entry);
}

void glxAttachShaderEntry(uint32_t tag, uint32_t programId, uint32_t shaderId) {
  GlxProgramEntry *program = glxFindProgramEntry(tag, programId);
  GlxShaderEntry *shader = glxFindShaderEntry(tag, shaderId);
  // GL refuses a second attachment of the same shader: it counts once.
  if (!program || !shader || findAttachment(program, shader)) return;
  auto *attachment = static_cast<GlxAttachment *>(calloc(1, sizeof(GlxAttachment)));
  if (!attachment) return logUnexpected(__LINE__);
  attachment->shader = shader;
  circListPushBack(&program->attachments, attachment);
  shader->attachments++;
}

void glxDetachShaderEntry(uint32_t tag, uint32_t programId, uint32_t shaderId) {
  GlxProgramEntry *program = glxFindProgramEntry(tag, programId);
  GlxShaderEntry *shader = glxFindShaderEntry(tag, shaderId);
  GlxAttachment *attachment = program && shader ? findAttachment(program, shader) : nullptr;
  if (!attachment) return;
  circListUnlink(&program->attachments, attachment);
  free(attachment);
  releaseShader(glxObjectIdListsForTag(tag), shader);
}

void glxDropProgramEntry(uint32_t tag, uint32_t programId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  GlxProgramEntry *program = glxFindProgramEntry(tag, programId);
  if (!program) return;
  while (GlxAttachment *attachment = program->attachments) {
    circListUnlink(&program->attachments, attachment);
    GlxShaderEntry *shader = attachment->shader;
    free(attachment);
    releaseShader(lists, shader);
  }
  circListUnlink(&lists->programs, program);
  free(program);
}

void glxDropShaderEntry(uint32_t tag, uint32_t shaderId) {
  GlxObjectIdLists *lists = glxObjectIdListsForTag(tag);
  GlxShaderEntry *shader = glxFindShaderEntry(tag, shaderId);
  if (!shader) return;
  if (shader->attachments == 0)
    glxindirectUnlink(&lists->shaders, shader);
  else
    shader->deletePending = 1;
}
