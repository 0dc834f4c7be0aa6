#include "gldirectrecords.h"

// First: it brings Xlib's Xutil.h in with its Region renamed, before the proxy's headers.
#include "xext/glxinstance.h"
#include "xext/glxdirect.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <utility>

#include "xext/glxswap.h"

namespace {

GlxDirectSingle const kSingles[] = {
    glxdirectNewList, glxdirectEndList, glxdirectDeleteLists, glxdirectGenLists, glxdirectFeedbackBuffer,
    glxdirectSelectBuffer, glxdirectFinish, glxdirectPixelStoref, glxdirectPixelStorei, glxdirectFlush,
    glxdirectDeleteTextures, glxdirectGenTextures, glxdirectDeleteQueries, glxdirectDeleteBuffers,
    glxdirectGetBooleanv, glxdirectGetClipPlane, glxdirectGetDoublev, glxdirectGetError, glxdirectGetFloatv,
    glxdirectGetIntegerv, glxdirectGetLightfv, glxdirectGetLightiv, glxdirectGetMapdv, glxdirectGetMapfv,
    glxdirectGetMapiv, glxdirectGetMaterialfv, glxdirectGetMaterialiv, glxdirectGetPixelMapfv,
    glxdirectGetPixelMapuiv, glxdirectGetPixelMapusv, glxdirectGetTexEnvfv, glxdirectGetTexEnviv,
    glxdirectGetTexGendv, glxdirectGetTexGenfv, glxdirectGetTexGeniv, glxdirectGetTexParameterfv,
    glxdirectGetTexParameteriv, glxdirectGetTexLevelParameterfv, glxdirectGetTexLevelParameteriv,
    glxdirectIsEnabled, glxdirectIsList, glxdirectAreTexturesResident, glxdirectIsTexture, glxdirectGetString,
    glxdirectGetCompressedTexImage, glxdirectGenQueries, glxdirectIsQuery, glxdirectGetQueryiv,
    glxdirectGetQueryObjectiv, glxdirectGetQueryObjectuiv, glxdirectGetHandle, glxdirectCreateShaderObject,
    glxdirectCreateProgramObject, glxdirectGenBuffers, glxdirectIsBuffer, glxdirectGetBufferSubData,
    glxdirectGetBufferParameteriv, glxdirectGetBufferPointerv, glxdirectMapBuffer, glxdirectUnmapBuffer,
};

}  // namespace

size_t gldirectRecordHeader(uint8_t kind) { return kind % 8 == 3 ? 12 : 0; }

uint32_t gldirectWord(const uint8_t *data, size_t length, size_t at) {
  uint32_t value = 0;
  if (at + 4 <= length) memcpy(&value, data + at, 4);
  return value;
}

void gldirectSwapWords(uint8_t *first, size_t length) {
  for (size_t at = 0; at + 4 <= length; at += 4) {
    std::swap(first[at], first[at + 3]);
    std::swap(first[at + 1], first[at + 2]);
  }
}

bool gldirectRunRecord(GlxLibraryInstance *instance, Head *head, bool big, uint8_t kind, uint32_t slot,
                       uint32_t operation, uint8_t *data, size_t length) {
  uint8_t *end = data + length;
  std::span<const uint8_t> in(data, length);
  auto word = [](std::span<const uint8_t> bytes, size_t at) { return gldirectWord(bytes.data(), bytes.size(), at); };
  auto swapWords = gldirectSwapWords;
  switch (kind % 8) {
    case 0:  // GLXRender
      if (big) glxindirectSwapRender16(data, end, 1);
      glxdirectRender(instance, slot, data, end);
      break;
    case 1:  // one large render command
      if (big && length >= 8) {
        swapWords(data, 8);
        uint32_t opcode = word(in, 4);
        glxSwapRenderCommand(opcode, data + 8, end, 1);
      }
      glxdirectRenderLarge(instance, slot, data, length);
      break;
    case 2: {  // a single operation
      if (big) swapWords(data, length);
      GlxDirectResult result{};
      kSingles[operation % std::size(kSingles)](instance, slot, data, uint32_t(length), &result);
      break;
    }
    case 3: {  // a vendor command
      std::span<const GlxSwapRow> rows = glxSwapVendorRows();
      uint32_t code = rows.empty() ? 0 : rows[(operation + uint32_t(length)) % rows.size()].code;
      if (kind & 0x20 && length >= 4) {  // the code named by the record's first word
        code = word(in, 0);
        if (big) code = __builtin_bswap32(code);
        data += 4;
      }
      if (big) glxSwapVendorCommand(code, data, end, 1);
      glxdirectVendorPrivate(instance, slot, code, data, end, head);
      break;
    }
    case 4: {  // pixel queries and the render mode
      if (big) swapWords(data, length);
      uint32_t count = 0, itemSize = 0, size32 = 0;
      int32_t w = 0, h = 0, d = 0, b = 0;
      uint64_t bytes64 = 0;
      const uint32_t *buffer = nullptr;
      GlxDirectReply reply{};
      auto u = [&](size_t k) { return word(in, 4 * k); };
      switch (operation % 10) {
        case 0:
          glxdirectReadPixels(instance, slot, int32_t(u(0)), int32_t(u(1)), int32_t(u(2)) % 4096,
                              int32_t(u(3)) % 4096, u(4), u(5), u(6) & 1, u(7) & 1, &reply, &count, &itemSize);
          break;
        case 1: glxdirectGetPolygonStipple(instance, slot, &count); break;
        case 2: glxdirectGetTexImage(instance, slot, u(0), int32_t(u(1)), u(2), u(3), u(4) & 1, &w, &h, &d, &b, &bytes64, &reply); break;
        case 3: glxdirectGetColorTable(instance, slot, u(0), u(1), u(2), &w, &bytes64, &reply); break;
        case 4: glxdirectGetConvolutionFilter(instance, slot, u(0), u(1), u(2), &w, &h, &bytes64, &reply); break;
        case 5: glxdirectGetSeparableFilter(instance, slot, u(0), u(1), u(2), &w, &h, &bytes64, &reply); break;
        case 6: glxdirectGetHistogram(instance, slot, u(0), u(1) & 1, u(2), u(3), &w, &bytes64, &reply); break;
        case 7: glxdirectGetMinmax(instance, slot, u(0), u(1) & 1, u(2), u(3)); break;
        case 8: glxdirectGetConvolutionParameterfv(instance, slot, u(0), u(1), &count); break;
        default: glxdirectRenderMode(instance, slot, 0x1C00 + u(0) % 4, &buffer, &size32); break;
      }
      glxdirectReplyDone(&reply);
      break;
    }
    case 5: {  // GLSL queries
      if (big) swapWords(data, length);
      auto u = [&](size_t k) { return word(in, 4 * k); };
      int32_t value = 0, size = 0;
      uint32_t type = 0;
      float real = 0;
      uint64_t room = u(1) % 100000;
      switch (operation % 12) {
        case 0: glxdirectGetProgramInfoLog(instance, slot, u(0), room, &value); break;
        case 1: glxdirectGetShaderInfoLog(instance, slot, u(0), room, &value); break;
        case 2: glxdirectGetShaderSource(instance, slot, u(0), room, &value); break;
        case 3: glxdirectGetInfoLog(instance, slot, u(0), room, &value); break;
        case 4: glxdirectGetAttachedObjects(instance, slot, u(0), room, &value); break;
        case 5: glxdirectGetActiveUniform(instance, slot, u(0), u(2), room, &value, &size, &type); break;
        case 6: glxdirectGetActiveAttrib(instance, slot, u(0), u(2), room, &value, &size, &type); break;
        case 7: glxdirectGetProgramiv(instance, slot, u(0), u(1), &value); break;
        case 8: glxdirectGetObjectParameterfv(instance, slot, u(0), u(1), &real); break;
        case 9: glxdirectBindBuffer(instance, slot, u(0), u(1)); break;
        case 10: {
          // A name: the record's bytes after the program, ended where the record ends.
          std::string name(reinterpret_cast<const char *>(data) + (length > 4 ? 4 : length),
                           length > 4 ? length - 4 : 0);
          glxdirectGetUniformLocation(instance, slot, u(0), name.c_str(), &value);
          break;
        }
        default: glxdirectDeleteProgram(instance, slot, u(0)); break;
      }
      break;
    }
    default:
      return false;
  }
  return true;
}
