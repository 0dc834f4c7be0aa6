// The GLX extension: GLXRender and GLXRenderLarge relayed to every head of the tag's meta
// screen. Large commands are joined per client and tag and replayed only when complete; the
// joined command is swapped once for a client of the other byte order.
#include "xext/glx.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/circlist.h"
#include "support/logging.h"
#include "support/strtemp.h"
#include "support/wirewords.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"
#include "xext/glxrecords.h"

namespace {

constexpr uint8_t kBadLength = 16, kBadAlloc = 11;
constexpr uint8_t kGlxBadContextTag = 4, kGlxBadLargeRequest = 7;
constexpr uint32_t kGlDrawBuffer = 126, kGlReadBuffer = 171;
constexpr uint32_t kGlBackLeft = 1026, kGlBackRight = 1027, kGlBack = 1029;
constexpr uint64_t kRenderDataMax = 63996;            // more data goes as a large command
constexpr uint64_t kRenderBatchMax = 0x3fffc - 8;     // commands of one GLXRender without BIG-REQUESTS

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

// One unfinished large command of a client.
struct GlxLargeCommand {
  GlxLargeCommand *next;
  GlxLargeCommand *prev;
  uint32_t proxyTag;
  int32_t piecesExpected;  // request total minus the number of the piece last added
  uint64_t bytesHeld;
  uint8_t *bytes;
  uint64_t capacity;
  uint64_t limit;          // the command's length word rounded up to 4
  uint16_t lastNumber;
  uint16_t total;
};

GlxLargeCommand *&commandsOf(ClientConnection *client) {
  return reinterpret_cast<GlxLargeCommand *&>(client->glxLargeCommands);
}

void freeCommand(ClientConnection *client, GlxLargeCommand *node) {
  circListUnlink(&commandsOf(client), node);
  free(node->bytes);
  free(node);
}

DisplayConnection *firstConnection(ClientConnection *client) {
  return client && client->displayCount ? client->displays[0] : nullptr;
}

GlxLibraryInstance *instanceOf(const Head *head) { return static_cast<GlxLibraryInstance *>(head->glLibrary); }

// The head whose display answers the screen's GLX queries.
Head *glxReplyHead(MetaScreen *screen) { return screen->glxHead ? screen->glxHead : screen->heads; }

// A batch of re-encoded commands: render commands (16-bit headers) for one GLXRender, or one
// large command.
struct RenderBatch {
  bool large;
  std::vector<uint8_t> bytes;
};

}  // namespace

// Room for `count` more bytes at the end of the node's command; it grows with the bytes that
// arrive (doubling, never beyond the command's own length), NULL when no room can be had.
static uint8_t *glxReserveLargePiece(GlxLargeCommand *node, uint64_t count) {
  uint64_t wanted = node->bytesHeld + count;
  if (wanted > node->limit) return nullptr;
  if (wanted > node->capacity) {
    uint64_t grown = node->capacity * 2 > wanted ? node->capacity * 2 : wanted;
    if (grown > node->limit) grown = node->limit;
    if (grown > SIZE_MAX) return nullptr;
    auto *bytes = static_cast<uint8_t *>(realloc(node->bytes, size_t(grown)));
    if (!bytes) return nullptr;
    node->bytes = bytes;
    node->capacity = grown;
  }
  return node->bytes + node->bytesHeld;
}

// Re-encodes one command: more than 63996 data bytes as a large command in a batch of its own,
// otherwise as a render command appended to the last render batch (a new one when it is full).
// 0 when out of memory.
static int glxAppendRenderCommand(std::vector<RenderBatch> &batches, uint32_t opcode, const uint8_t *data, uint64_t count) {
  try {
    if (count > kRenderDataMax) {
      batches.push_back(RenderBatch{true, std::vector<uint8_t>(8 + count)});
      uint8_t *out = batches.back().bytes.data();
      wirePut32(out, uint32_t(8 + count));
      wirePut32(out + 4, opcode);
      memcpy(out + 8, data, count);
      return 1;
    }
    if (batches.empty() || batches.back().large || batches.back().bytes.size() + 4 + count > kRenderBatchMax)
      batches.push_back(RenderBatch{false, {}});
    std::vector<uint8_t> &out = batches.back().bytes;
    size_t at = out.size();
    out.resize(at + 4 + count);
    wirePut16(out.data() + at, uint16_t(4 + count));
    wirePut16(out.data() + at + 2, uint16_t(opcode));
    if (count) memcpy(out.data() + at + 4, data, count);
    return 1;
  } catch (const std::bad_alloc &) {
    return 0;
  }
}

int glxPrepareTagOnHead(uint32_t tag, Head *head, DisplayConnection *connection) {
  if (!head || head->glLibrary) return 1;
  if (!head->metaScreen || head->metaScreen->headCount <= 1) return 1;
  if (!head->serverDisplay || head->serverDisplay->headCount <= 1) return 1;
  if (!connection) return 1;
  if (connection->glxTag == tag && connection->glxHead == head) return 1;
  GlxTagEntry *entry = glxFindTagEntry(connection->owner, tag);
  if (!entry || !entry->context) {
    LOG_UNE();
    return 1;
  }
  if (entry->context->renderMode != kGlRender) {
    if (head == glxReplyHead(head->metaScreen)) return 1;
    LOG(logChannelXhint, "Tag %u not in Render mode", tag);
    return 0;
  }
  glxindirectMakeCurrent(&connection->reader.sink, glxindirectRealDrawable(entry->drawableId, head),
                         glxindirectRealContext(entry->contextId, head), glxTagForServer(tag, head));
  connection->glxTag = tag;
  connection->glxHead = head;
  return 1;
}

// Replays a complete large command on one head: the X error a head executing GL itself found in
// it (0: none).
uint8_t glxReplayLargeOnHead(ClientConnection *client, Head *head, GlxContextRecord *context, uint32_t serverTag,
                             const uint8_t *command, uint64_t length) {
  DisplayConnection *connection = firstConnection(client);
  const RequestSink *sink = connection ? &connection->reader.sink : nullptr;
  const VisualRecord *own = context && context->visual ? mainHeadVisual(context->visual, head) : nullptr;
  bool emulate = own && context->visual->glDoubleBuffer == 0 && own->glDoubleBuffer != 0;
  if (!emulate) {
    if (head->glLibrary) return glxdirectRenderLarge(instanceOf(head), serverTag, command, length);
    if (!glxindirectRenderLarge(sink, serverTag, command, length, 0)) LOG_OUT_OF_MEMORY();
    return 0;
  }
  // Single-buffered for the client, double-buffered on the head: drawing into the back buffer
  // would never be seen, so the buffer choices naming it are dropped.
  std::vector<RenderBatch> batches;
  for (uint64_t at = 0; length - at >= 8;) {
    uint64_t size = wireGet32(command + at);
    uint32_t opcode = wireGet32(command + at + 4);
    if (size < 8 || size > length - at || opcode == 0) break;
    const uint8_t *data = command + at + 8;
    at += size;
    if ((opcode == kGlDrawBuffer || opcode == kGlReadBuffer) && size == 12) {
      uint32_t buffer = wireGet32(data);
      if (buffer == kGlBack || buffer == kGlBackLeft || buffer == kGlBackRight) continue;
    }
    if (!glxAppendRenderCommand(batches, opcode, data, size - 8)) {
      LOG_OUT_OF_MEMORY();
      return 0;
    }
  }
  for (const RenderBatch &batch : batches) {
    const uint8_t *bytes = batch.bytes.data();
    uint64_t count = batch.bytes.size();
    if (head->glLibrary) {
      uint8_t error = batch.large ? glxdirectRenderLarge(instanceOf(head), serverTag, bytes, count)
                                  : glxdirectRender(instanceOf(head), serverTag, bytes, bytes + count);
      if (error) return error;
    } else if (!glxindirectRenderLarge(sink, serverTag, bytes, count, batch.large ? 0 : -1)) {
      LOG_OUT_OF_MEMORY();
      return 0;
    }
  }
  return 0;
}

void glxFreeLargeCommands(ClientConnection *client) {
  if (!client) return;
  while (GlxLargeCommand *node = commandsOf(client)) freeCommand(client, node);
}

// ===== requests =====
void glxRender(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint32_t tag = wireGet32(request + 4);
  MetaScreen *screen = glxTagScreen(tag);
  if (!screen) {
    xprotoSendExtensionError(kGlxBadContextTag, tag, request, length, nullptr);
    return;
  }
  if (!miscCanYield() && glxScreenServedInside(screen)) return miscRunYielding(glxRender, request, length);
  DisplayConnection *connection = firstConnection(client);
  for (Head *head = screen->heads; head; head = head->next) {
    if (head->glLibrary) {
      // A command in error ends the request with its error, once, as on a real server.
      uint8_t error = glxdirectRender(instanceOf(head), glxTagForServer(tag, head), request + 8, request + length);
      if (error) {
        xprotoSendError(error, 0, request, length, nullptr);
        return;
      }
      continue;
    }
    uint8_t *copy = connection ? xproxySendRequest(request, length, connection) : nullptr;
    if (!copy) {
      xprotoSendError(kBadAlloc, 0, request, length, nullptr);
      return;
    }
    wirePut32(copy + 4, glxTagForServer(tag, head));
  }
}

void glxRenderLarge(uint8_t *request, uint32_t length, uint8_t *) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint32_t tag = wireGet32(request + 4);
  uint16_t number = wireGet16(request + 8), total = wireGet16(request + 10);
  uint64_t count = wireGet32(request + 12);
  if (number == 0 || number > total) {
    xprotoSendExtensionError(kGlxBadLargeRequest, 0, request, length, nullptr);
    return;
  }
  bool last = number == total;
  // The unfinished command of this tag, if any; every failure below drops it.
  GlxLargeCommand *node = nullptr;
  for (GlxLargeCommand *n = commandsOf(client); n; n = n->next)
    if (n->proxyTag == tag && n->piecesExpected > 0) node = n;
  auto fail = [&](uint8_t code, bool extension, uint32_t value) {
    if (node) freeCommand(client, node);
    if (extension)
      xprotoSendExtensionError(code, value, request, length, nullptr);
    else
      xprotoSendError(code, value, request, length, nullptr);
  };
  // The data (with its padding on the last piece) lies inside the request; piece 1 holds at
  // least the command's header.
  uint64_t taken = last ? pad4(count) : count;
  if (16 + taken > length || (number == 1 && count < 8)) return fail(kBadLength, false, length);
  MetaScreen *screen = glxTagScreen(tag);
  if (!screen) return fail(kGlxBadContextTag, true, tag);
  // The last piece replays the command: where GL runs inside the proxy, in turns.
  if (last && !miscCanYield() && glxScreenServedInside(screen)) return miscRunYielding(glxRenderLarge, request, length);
  if (number == 1) {
    // A new command: whatever this client left unfinished is dropped.
    while (GlxLargeCommand *old = commandsOf(client)) {
      if (old->piecesExpected != 0) LOG_UNE();
      freeCommand(client, old);
    }
    node = static_cast<GlxLargeCommand *>(calloc(1, sizeof(GlxLargeCommand)));
    if (!node) return fail(kBadAlloc, false, 0);
    node->proxyTag = tag;
    node->total = total;
    node->limit = pad4(wireGet32(request + 16, client->reader.swapped));
    circListPushBack(&commandsOf(client), node);
  } else if (!node || node->lastNumber + 1 != number || node->total != total) {
    return fail(kGlxBadLargeRequest, true, number);
  }
  if (node->bytesHeld + taken > node->limit) return fail(kGlxBadLargeRequest, true, number);
  uint8_t *room = glxReserveLargePiece(node, taken);
  if (!room) return fail(kBadAlloc, false, 0);
  if (taken) memcpy(room, request + 16, taken);
  node->bytesHeld += taken;
  node->lastNumber = number;
  node->piecesExpected = int32_t(total) - int32_t(number);
  if (!last) return;
  if (node->bytesHeld != node->limit) return fail(kGlxBadLargeRequest, true, number);

  // Complete: swapped once as a whole, then replayed on every head of the tag's screen.
  if (client->reader.swapped) glxindirectSwapRender(node->bytes, node->bytesHeld, 1);
  GlxTagEntry *entry = glxFindTagEntry(client, tag);
  DisplayConnection *connection = firstConnection(client);
  for (Head *head = screen->heads; head; head = head->next) {
    if (!glxPrepareTagOnHead(tag, head, connection)) continue;
    uint8_t error = glxReplayLargeOnHead(client, head, entry ? entry->context : nullptr, glxTagForServer(tag, head),
                                         node->bytes, node->bytesHeld);
    if (error) {
      freeCommand(client, node);
      xprotoSendError(error, 0, request, length, nullptr);
      return;
    }
  }
  freeCommand(client, node);
}
// ===== end of requests =====

// ===== render rows =====
namespace {
constexpr ExtRequestRow kRenderRows[] = {
    {1, "GLXRender", 8, 4, "bbsiH7", ExtServed::Local, glxRender, nullptr, ExtReplyKind::NoReply, nullptr},
    {2, "GLXRenderLarge", 16, 4, "bbsissi", ExtServed::Local, glxRenderLarge, nullptr, ExtReplyKind::NoReply,
     nullptr},
};
}  // namespace

const ExtRequestRow *glxRenderRow(uint8_t minor) {
  for (const ExtRequestRow &row : kRenderRows)
    if (row.minor == minor) return &row;
  return nullptr;
}
// ===== end of render rows =====
