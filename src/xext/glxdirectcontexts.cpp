// Contexts, pbuffers and GLX pixmaps made through a GL library instance, the GLX operations on
// them (wait, swap, copy, font display lists), and the reload of the library's function table
// once nothing made with it is left.
#include "xext/glxdirect.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/xscreen.h"
#include "support/logging.h"
#include "support/numbers.h"
#include "support/strtemp.h"
#include "xclient/misc.h"
#include "xclient/xfont.h"

namespace {

constexpr const char *kSource = "Xext/glxdirectcontexts";

constexpr int kGlxPbufferWidth = 0x8041;
constexpr int kGlxPbufferHeight = 0x8040;
constexpr int kGlxLargestPbuffer = 0x801C;
constexpr int kGlxPreservedContents = 0x801B;
constexpr int kGlxMaxPbufferWidth = 0x8016;
constexpr int kGlxMaxPbufferHeight = 0x8017;

bool makeCurrent(GlxLibraryInstance *instance, uint32_t slot) {
  if (!instance) return false;
  if (slot != 0 && instance->currentTagSlot == slot) return true;
  return glxdirectMakeTagCurrent(instance, slot) != 0;
}

GlxDirectContext *nodeBySerial(GlxLibraryInstance *instance, uint32_t serial) {
  if (serial == 0) return nullptr;
  for (GlxDirectContext *node = instance->contexts; node; node = node->next)
    if (node->serial == serial) return node;
  return nullptr;
}

// Lowers a count of live drawables; the last one gone may let the library reload.
void dropDrawable(GlxLibraryInstance *instance, uint32_t *count) {
  if (*count == 0) return;
  if (--*count == 0) glxdirectReopenLibrary(instance);
}

}  // namespace

// ===== contexts =====
uint32_t glxdirectCreateNewContext(GlxLibraryInstance *instance, int screen, uint32_t fbConfig, uint32_t renderType,
                                   uint32_t shareContext) {
  if (!instance) return 0;
  auto config = static_cast<GLXFBConfig>(glxdirectFindFBConfig(instance, screen, fbConfig));
  if (!config) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  auto share = static_cast<GLXContext>(glxdirectContextBySerial(instance, shareContext));
  return glxdirectAddContext(
      instance, instance->functions.glXCreateNewContext(instance->display, config, int(renderType), share, True),
      shareContext);
}

void dGLDestroyContext(GlxLibraryInstance *instance, uint32_t contextSerial) {
  if (!instance) return;
  GlxDirectContext *node = nodeBySerial(instance, contextSerial);
  if (!node) {
    LOG(logChannelXhint, "Unknown context 0x%x in dGLDestroyContext(%s) by %s", contextSerial,
        xmiscLocalDisplayPart(instance->display), xscreenClientName(xproxyCurrentClient));
    return;
  }
  // Every slot of the context goes first, the highest first; a slot shared by several proxy
  // tags is released once per tag.
  uint32_t highest = instance->highestTagSlot < kGlxDirectTagSlots - 1 ? instance->highestTagSlot
                                                                        : kGlxDirectTagSlots - 1;
  for (uint32_t slot = highest; slot >= 1; slot--) {
    const GlxDirectTagSlot &s = instance->tagSlots[slot];
    for (uint32_t tags = s.proxyTagCount ? s.proxyTagCount : 1; tags > 0 && s.context == node->context; tags--)
      dGLDestroyTag(instance, slot);
  }
  // The library's end of a context waits for the drawing it still has queued (a long shader's,
  // however long): that call is made outside the loop, and the library is reloaded after the
  // last context only once it has ended. The context is no longer the proxy's meanwhile.
  struct End {
    void (*destroy)(Display *, GLXContext);
    Display *display;
    GLXContext context;
  };
  auto *end = static_cast<End *>(malloc(sizeof(End)));
  if (end) *end = End{instance->functions.glXDestroyContext, instance->display, node->context};
  if (end && miscQueueOutside(
                 [](void *argument) {
                   auto *e = static_cast<End *>(argument);
                   e->destroy(e->display, e->context);
                   free(e);
                 },
                 end)) {
    instance->contextsEnding++;
    miscAfterOutside([instance] { glxdirectContextEnded(instance); });
  } else {
    free(end);
    instance->functions.glXDestroyContext(instance->display, node->context);
  }
  if (node->prev)
    node->prev->next = node->next;
  else
    instance->contexts = node->next;
  if (node->next) node->next->prev = node->prev;
  if (instance->currentNode == node) instance->currentNode = nullptr;
  glxdirectContextTexturesGone(instance, node);
  glxdirectFreeCompileBody(node);
  free(node->selectBuffer);
  free(node->feedbackBuffer);
  free(node);
  if (!instance->contexts) glxdirectReopenLibrary(instance);
}

void glxdirectCopyContext(GlxLibraryInstance *instance, uint32_t source, uint32_t destination, uint32_t mask,
                          uint32_t slot) {
  if (!instance) return;
  auto from = static_cast<GLXContext>(glxdirectContextBySerial(instance, source));
  auto to = static_cast<GLXContext>(glxdirectContextBySerial(instance, destination));
  if (!from || !to) {
    logProblem("UNE", kSource, __LINE__);
    return;
  }
  if (!makeCurrent(instance, slot)) return;
  instance->functions.glXCopyContext(instance->display, from, to, mask);
}
// ===== end of contexts =====

// ===== drawables =====
uint32_t glxdirectCreateGLXPixmap(GlxLibraryInstance *instance, int screen, uint32_t visual, uint32_t pixmap) {
  if (!instance) return 0;
  XVisualInfo *info = glxdirectVisualInfo(instance, screen, visual);
  if (!info) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  GLXPixmap made = instance->functions.glXCreateGLXPixmap(instance->display, info, pixmap);
  XFree(info);
  if (!made) return 0;
  instance->liveGlxPixmaps++;
  if (auto *on = static_cast<GlxDirectPixmapOn *>(calloc(1, sizeof(GlxDirectPixmapOn)))) {
    *on = GlxDirectPixmapOn{instance->pixmapsOn, uint32_t(made), pixmap, 0};
    instance->pixmapsOn = on;
  } else {
    LOG_OUT_OF_MEMORY();
  }
  return uint32_t(made);
}

uint32_t glxdirectCreatePbuffer(GlxLibraryInstance *instance, int screen, uint32_t fbConfig, uint32_t width,
                                uint32_t height, uint32_t largest, uint32_t preserved) {
  if (!instance) return 0;
  const int attributes[] = {kGlxPbufferWidth,  int(width),   kGlxPbufferHeight,     int(height),
                            kGlxLargestPbuffer, int(largest), kGlxPreservedContents, int(preserved),
                            0};
  auto config = static_cast<GLXFBConfig>(glxdirectFindFBConfig(instance, screen, fbConfig));
  // Beyond the configuration's largest pbuffer the library would try anyway (unless it may
  // give the largest it can).
  int widest = 0, highest = 0;
  if (config && !largest &&
      instance->functions.glXGetFBConfigAttrib(instance->display, config, kGlxMaxPbufferWidth, &widest) == Success &&
      instance->functions.glXGetFBConfigAttrib(instance->display, config, kGlxMaxPbufferHeight, &highest) == Success &&
      widest > 0 && highest > 0 && (width > uint32_t(widest) || height > uint32_t(highest))) {
    LOG(logChannelXhint, "Lumora: Pbuffer %ux%u beyond the largest %dx%d refused for %s", width, height, widest,
        highest, xscreenClientName(xproxyCurrentClient));
    return 0;
  }
  GLXPbuffer made = config ? instance->functions.glXCreatePbuffer(instance->display, config, attributes) : 0;
  if (!made) {
    logProblem("UNE", kSource, __LINE__);
    return 0;
  }
  instance->livePbuffers++;
  return uint32_t(made);
}

void glxdirectDestroyGLXPixmap(GlxLibraryInstance *instance, uint32_t pixmap) {
  if (!instance) return;
  for (GlxDirectPixmapOn **at = &instance->pixmapsOn; *at; at = &(*at)->next) {
    if ((*at)->glxPixmap != pixmap) continue;
    GlxDirectPixmapOn *on = *at;
    *at = on->next;
    free(on);
    break;
  }
  glxdirectDrawableGone(instance, pixmap);
  instance->functions.glXDestroyGLXPixmap(instance->display, pixmap);
  dropDrawable(instance, &instance->liveGlxPixmaps);
}

void glxdirectDestroyPbuffer(GlxLibraryInstance *instance, uint32_t pbuffer) {
  if (!instance) return;
  glxdirectDrawableGone(instance, pbuffer);
  instance->functions.glXDestroyPbuffer(instance->display, pbuffer);
  dropDrawable(instance, &instance->livePbuffers);
}
void glxdirectPixmapGone(Head *head, uint32_t serverPixmap) {
  auto *instance = head ? static_cast<GlxLibraryInstance *>(head->glLibrary) : nullptr;
  if (!instance) return;
  for (GlxDirectPixmapOn *on = instance->pixmapsOn; on; on = on->next) {
    if (on->serverPixmap == serverPixmap) on->gone = 1;
  }
}

bool glxdirectPixmapIsGone(const GlxLibraryInstance *instance, uint32_t drawable) {
  for (const GlxDirectPixmapOn *on = instance ? instance->pixmapsOn : nullptr; on; on = on->next)
    if (on->glxPixmap == drawable) return on->gone;
  return false;
}
// ===== end of drawables =====

// ===== operations under a slot =====
void glxdirectWaitGL(GlxLibraryInstance *instance, uint32_t slot) {
  if (makeCurrent(instance, slot)) instance->functions.glXWaitGL();
}

void glxdirectWaitX(GlxLibraryInstance *instance, uint32_t slot) {
  if (makeCurrent(instance, slot)) instance->functions.glXWaitX();
}

void glxdirectSwapBuffers(GlxLibraryInstance *instance, uint32_t slot, uint32_t drawable) {
  if (!makeCurrent(instance, slot)) return;
  // The swap waits inside the library for what was drawn: that is waited for first, a turn at a
  // time, and the swap goes on only while the slot stays.
  if (!instance->insideBegin && glxdirectFinishYielding(instance)) return;
  // The swap itself copies the whole buffer (the first one of a window makes its buffers): that
  // of a large drawable (or of one the slot does not draw) is made outside the loop. A small
  // one's is made at once: a client's frames then go on within its turn.
  const GlxDirectTagSlot &s = instance->tagSlots[slot];
  if (s.drawDrawable == drawable && uint64_t(s.seen[0]) * s.seen[1] < kGlxDirectSwapOutsidePixels) {
    instance->functions.glXSwapBuffers(instance->display, drawable);
    return;
  }
  struct Swap {
    GlFunctionTable *gl;
    Display *display;
    uint32_t drawable;
  } swap{&instance->functions, instance->display, drawable};
  glxdirectOutside(
      instance,
      [](void *argument) {
        auto *s = static_cast<Swap *>(argument);
        s->gl->glXSwapBuffers(s->display, s->drawable);
      },
      &swap);
}

const char *glxdirectQueryServerString(GlxLibraryInstance *instance, int screen, uint32_t name) {
  auto query = instance->functions.glXQueryServerString;  // absent from a GLX 1.0 library
  return query ? query(instance->display, screen, int(name)) : nullptr;
}

namespace {

// The bitmap the library keeps in the list of character c of the font: whole bytes for each
// line of the character's ink box; 0 for a character the font has not (its list is empty).
uint64_t glyphBytes(const XFontStruct *font, uint64_t c) {
  uint64_t byte1 = c >> 8, byte2 = c & 0xff;
  if (byte1 < font->min_byte1 || byte1 > font->max_byte1 || byte2 < font->min_char_or_byte2 ||
      byte2 > font->max_char_or_byte2)
    return 0;
  const XCharStruct *glyph = &font->max_bounds;
  if (font->per_char) {
    uint64_t columns = uint64_t(font->max_char_or_byte2) - font->min_char_or_byte2 + 1;
    glyph = &font->per_char[(byte1 - font->min_byte1) * columns + byte2 - font->min_char_or_byte2];
  }
  int64_t width = int64_t(glyph->rbearing) - glyph->lbearing, height = int64_t(glyph->ascent) + glyph->descent;
  if (width <= 0 || height <= 0) return 0;
  return uint64_t(width + 7) / 8 * uint64_t(height);
}

// Characters beyond 16 bits name no glyph of any font: their lists are empty.
constexpr uint64_t kGlyphCodes = 0x10000;
// The bitmaps of one run of characters given to the library at once (at least one character).
constexpr uint64_t kUseXFontRunBytes = 64 * 1024;

}  // namespace

const char *(*glxdirectQueryFont)(Display *display, Font font, XFontStruct **metrics) = xfontQueryWithin;

bool glxdirectUseXFont(GlxLibraryInstance *instance, uint32_t slot, uint32_t font, uint32_t first, uint32_t count,
                       uint32_t listBase) {
  if (!makeCurrent(instance, slot)) return true;
  // The library makes one list per character asked for, whatever the font has, each holding
  // the character's bitmap: the names and the bitmaps count against the client's budget.
  uint64_t lists = int32_t(count) > 0 ? count : 0;
  uint64_t glyphsEnd = std::min<uint64_t>(uint64_t(first) + lists, kGlyphCodes);
  XFontStruct *metrics = nullptr;
  uint64_t bitmaps = 0;
  if (lists > 0 && first < kGlyphCodes) {
    // The server may take long over a large font's metrics: they are asked outside the loop.
    struct Query {
      Display *display;
      uint32_t font;
      XFontStruct *metrics;
      std::string failure;
    } query{instance->display, font, nullptr, {}};
    const char *why = glxdirectOutside(
        instance,
        [](void *argument) {
          auto *q = static_cast<Query *>(argument);
          const char *failure = q->display ? glxdirectQueryFont(q->display, q->font, &q->metrics) : "no display";
          if (failure) q->failure = failure;  // (a text of the thread that made the call)
        },
        &query);
    metrics = query.metrics;
    if (why) {  // its client or its slot gone meanwhile: nothing was made or counted
      xfontFreeMetrics(metrics);
      return true;
    }
    if (!query.failure.empty()) {
      LOG(logChannelWarning, "Lumora: the font of UseXFont by %s: %s", xscreenClientName(xproxyCurrentClient),
          query.failure.c_str());
    }
    for (uint64_t c = first; metrics && c < glyphsEnd; c++) bitmaps += glyphBytes(metrics, c);
  }
  if (!glxdirectCharge(lists * kGlxDirectNameBytes + bitmaps)) {
    xfontFreeMetrics(metrics);
    LOG(logChannelWarning, "Lumora: UseXFont of %u characters by %s refused (%s of bitmaps beyond lumoraMemory)",
        count, xscreenClientName(xproxyCurrentClient), strSizeText(bitmaps));
    return false;
  }
  // The library makes the lists in runs of characters (each run one call, making each list as
  // one call for all would), each run outside the loop (a round trip to the server a glyph):
  // between runs the request yields its turn once it is over, and the library is made current
  // on the slot again when the request goes on.
  uint64_t made = 0;
  bool tracked = true;
  if (lists == 0) {
    instance->functions.glXUseXFont(font, int(first), int(count), int(listBase));  // (the library's answer)
  } else {
    while (made < lists) {
      uint64_t run = 0, runBytes = 0;
      while (made + run < lists && (run == 0 || runBytes < kUseXFontRunBytes)) {
        uint64_t c = uint64_t(first) + made + run;
        if (metrics && c < glyphsEnd) runBytes += glyphBytes(metrics, c);
        run++;
      }
      struct Run {
        GlFunctionTable *gl;
        uint32_t font, first, count, listBase;
        bool made;
      } call{&instance->functions, font, uint32_t(first + made), uint32_t(run), uint32_t(listBase + made), false};
      const char *why = glxdirectOutside(
          instance,
          [](void *argument) {
            auto *r = static_cast<Run *>(argument);
            r->gl->glXUseXFont(r->font, int(r->first), int(r->count), int(r->listBase));
            r->made = true;
          },
          &call);
      if (call.made) made += run;
      if (why) {
        tracked = false;
        break;
      }
      if (made == lists || !miscCanYield() || !miscTurnOver()) continue;
      // Its client closing meanwhile, or its slot gone (its drawable ended, its context
      // destroyed by another client): what was made is what there is.
      if (!miscYieldTurn() || !makeCurrent(instance, slot)) {
        tracked = false;
        break;
      }
    }
  }
  // What was not made is given back: its names and bitmaps. (Lists made before the request
  // ended early stay counted: the share group they went to is not current to hold them.)
  uint64_t unmade = (lists - made) * kGlxDirectNameBytes;
  for (uint64_t c = uint64_t(first) + made; metrics && c < glyphsEnd; c++) unmade += glyphBytes(metrics, c);
  glxdirectRefund(xproxyCurrentClient, unmade);
  if (!tracked) {
    xfontFreeMetrics(metrics);
    return true;
  }
  // Names the share group held already were made before (and are counted for them).
  glxdirectRefund(xproxyCurrentClient, (made - glxdirectAddListNames(instance, listBase, made)) * kGlxDirectNameBytes);
  // The library's own lists (a bitmap each, made from the server's font): CallList reaches them.
  glxdirectLibraryLists(instance, listBase, made);
  // Each bitmap is held by its list, and given back with it.
  uint64_t madeEnd = std::min<uint64_t>(uint64_t(first) + made, glyphsEnd);
  for (uint64_t c = first; metrics && c < madeEnd; c++) {
    uint64_t bytes = glyphBytes(metrics, c), name = uint64_t(listBase) + (c - first);
    if (bytes == 0) continue;
    if (listBase == 0 || name > UINT32_MAX) {
      glxdirectRefund(xproxyCurrentClient, bytes);
      continue;
    }
    glxdirectListContents(instance, uint32_t(name), bytes);
  }
  xfontFreeMetrics(metrics);
  return true;
}
// ===== end of operations under a slot =====

// ===== reload =====
void glxdirectResetScratch(GlxLibraryInstance *instance) {
  if (!instance) return;
  free(instance->scratch);
  instance->scratch = static_cast<uint8_t *>(calloc(1, kGlxDirectScratchSize));
  instance->scratchSize = instance->scratch ? kGlxDirectScratchSize : 0;
  if (!instance->scratch) LOG_OUT_OF_MEMORY_AT(kSource);
}

void glxdirectReopenLibrary(GlxLibraryInstance *instance) {
  if (!instance || instance->contexts || instance->contextsEnding || instance->livePbuffers ||
      instance->liveGlxPixmaps || instance->liveGlxWindows)
    return;
  glxdirectResetScratch(instance);
  glxdirectFreeListNames(instance);
  glxdirectFreeTextureLevels(instance);
  instance->textureLimitsAsked = 0;
  logStep("Lumora: Last resource at %s removed, reopening GL lib ...", xmiscLocalDisplayPart(instance->display));
  // The library stays mapped (it cannot be unloaded while the Display it drew on is open): its
  // record is released and taken again, and the function table resolved anew.
  char path[kGlxDirectLibraryTextSize] = {};
  if (instance->library) {
    const char *current = pluginPath(instance->library);
    if (current) snprintf(path, sizeof path, "%s", current);
    if (const char *error = pluginUnload(instance->library)) logProblem(error, kSource, __LINE__);
    instance->library = nullptr;
  }
  if (path[0] == 0) snprintf(path, sizeof path, "%s", instance->libraryText);
  if (const char *error = glxdirectLoadFunctions(path, instance->glVersion, instance))
    LOG(logChannelError, "%s", error);
  instance->insideBegin = 0;
  memset(instance->enabledArrays, 0, sizeof instance->enabledArrays);
  instance->renderMode = kGlxDirectRenderMode;
}
// ===== end of reload =====
