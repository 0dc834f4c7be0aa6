// The replies of the GLX single operations on occlusion queries, shader and program objects and
// buffer objects (and of GetString and GetCompressedTexImage) when the reply head renders GL
// inside the proxy: built from the direct result as each operation's reply is laid out.
#pragma once

#include <cstdint>

struct GlxDirectResult;

// The reply of the current client to the request (in this machine's order, its length
// checked), from the reply head's direct result. Operations whose reply carries names or bytes
// the result does not hold answer BadAlloc with the size of that reply; a library pointer goes
// out as 1 (0 for none), never as its value. Minors outside the family: nothing.
void glxqueryobjectsDirectReply(const uint8_t *request, uint32_t length, const GlxDirectResult &result);
