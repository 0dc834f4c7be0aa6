// The replies of the query, shader and buffer object operations for a reply head that renders
// GL inside the proxy. The requests themselves take the common single-operation path (lengths,
// tag, heads served by kind); only what the client reads back differs from operation to
// operation, and it is built here from what the head's library gave.
#include "xext/glxqueryobjects.h"

#include <cstdint>

#include "proxy/clientconnection.h"
#include "proxy/streams.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/wirewords.h"
#include "xext/extrequest.h"
#include "xext/glxdirect.h"
#include "xext/glxindirect.h"

namespace {

constexpr uint8_t kBadAlloc = 11;

enum : uint8_t {
  kGetString = 129,
  kGetCompressedTexImage = 160,
  kGenQueries = 162,
  kIsQuery = 163,
  kGetQueryiv = 164,
  kGetQueryObjectiv = 165,
  kGetQueryObjectuiv = 166,
  kGetHandle = 167,
  kCreateShaderObject = 168,
  kCreateProgramObject = 169,
  kGenBuffers = 187,
  kIsBuffer = 188,
  kGetBufferSubData = 189,
  kGetBufferParameteriv = 190,
  kGetElementRange = 191,
  kGetBufferPointerv = 192,
  kMapBuffer = 193,
  kUnmapBuffer = 194,
};

// A reply whose data the library did not give: BadAlloc carrying the size the reply would have
// had (counted in 64 bits; a size beyond 32 bits is given as the largest word).
void badAlloc(const uint8_t *request, uint32_t length, uint64_t items, uint32_t itemSize) {
  uint64_t size = 32 + (items * itemSize + 3) / 4 * 4;
  xprotoSendError(kBadAlloc, size > UINT32_MAX ? UINT32_MAX : uint32_t(size), request, length, nullptr);
}

// `items` items of itemSize bytes after the header, return word 0; BadAlloc when the result
// holds fewer. (No items: a bare header.)
void replyItems(const uint8_t *request, uint32_t length, uint32_t items, uint32_t itemSize,
                const GlxDirectResult &result, ClientConnection *client) {
  if (items && (!result.data || result.count < items)) return badAlloc(request, length, items, itemSize);
  glxindirectReplyValuesEx(result.data, items, itemSize, 0, client, request[1]);
}

// A bare 32-byte reply, every field 0 (layout "bbsiiii": the words the client reads there).
void replyEmpty(const uint8_t *request) {
  uint8_t reply[32] = {};
  extSendLocalReply(request, reply, sizeof reply, "bbsiiii");
}

}  // namespace

void glxqueryobjectsDirectReply(const uint8_t *request, uint32_t length, const GlxDirectResult &result) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client) return;
  uint8_t minor = request[1];
  uint32_t value = uint32_t(result.value);
  switch (minor) {
    case kGetString:
      // The library's text; none: an empty string reply (length 0).
      return glxindirectReplyString(reinterpret_cast<const char *>(result.data), client, minor);
    case kGetCompressedTexImage:
      // No direct form yet. The request must not go to a real server instead: the tag slot it
      // carries would name another context there, or none. The client gets an image of 0 bytes.
      logProblem("WIP", __FILE__, __LINE__);
      return replyEmpty(request);
    case kGetElementRange:
      // The client waits for a reply: an empty range.
      return replyEmpty(request);
    case kGenQueries:
    case kGenBuffers: return replyItems(request, length, wireGet32(request + 8), 4, result, client);
    case kGetBufferSubData:
      // The size's low word, as the library was given it.
      return replyItems(request, length, wireGet32(request + 16), 1, result, client);
    case kIsQuery:
    case kIsBuffer:
    case kUnmapBuffer:
      // GL booleans: the low byte is the library's answer.
      return glxindirectReplyInt(value & 0xff, client, minor);
    case kGetHandle:
    case kCreateShaderObject:
    case kCreateProgramObject: return glxindirectReplyInt(value, client, minor);
    case kGetQueryiv:
    case kGetQueryObjectiv:
    case kGetQueryObjectuiv: return glxindirectReplyId(value, client, minor);
    case kGetBufferParameteriv: return glxindirectReplyValues(&value, 1, 4, client, minor);
    case kGetBufferPointerv:
      // The pointer is an address inside the proxy: the client learns only whether there is one.
      return glxindirectReplyPair(result.data ? 1 : 0, 0, 1, client, minor);
    case kMapBuffer: {
      uint32_t mapped = result.data ? 1 : 0;
      return glxindirectReplyPair(mapped, 0, mapped, client, minor);
    }
    default: return;
  }
}
