#include "glxcommands.h"

#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

uint64_t pad4(uint64_t n) { return (n + 3) & ~uint64_t(3); }

void putValue(GlxBytes &out, uint64_t value, unsigned width, bool big) {
  for (unsigned k = 0; k < width; k++) {
    unsigned shift = 8 * (big ? width - 1 - k : k);
    out.push_back(uint8_t(value >> shift));
  }
}

GlxCommand &put(GlxCommand &command, uint8_t width, uint64_t value) {
  command.fields.push_back(GlxCommandField{width, value, {}});
  return command;
}

uint32_t floatBits(float value) {
  uint32_t bits;
  memcpy(&bits, &value, 4);
  return bits;
}

uint64_t doubleBits(double value) {
  uint64_t bits;
  memcpy(&bits, &value, 8);
  return bits;
}

void putPixelHeader(GlxCommand &command, const GlxPixelHeader &header) {
  glxcommandPut8(command, header.swapBytes);
  glxcommandPut8(command, header.lsbFirst);
  glxcommandPut16(command, 0);
  glxcommandPut32(command, uint32_t(header.rowLength));
  glxcommandPut32(command, uint32_t(header.skipRows));
  glxcommandPut32(command, uint32_t(header.skipPixels));
  glxcommandPut32(command, uint32_t(header.alignment));
}

// A GLXRender or GLXRenderLarge request header: major, minor, length in words, then the tag.
void putRequestHeader(GlxBytes &out, uint8_t major, uint8_t minor, uint64_t bytes, uint32_t tag, bool big) {
  out.push_back(major);
  out.push_back(minor);
  putValue(out, bytes / 4, 2, big);
  putValue(out, tag, 4, big);
}

// Bytes per value of a GL data type; 0 for one without a fixed size.
unsigned typeWidth(uint32_t type) {
  switch (type) {
    case 0x1400: case 0x1401: return 1;  // GL_BYTE, GL_UNSIGNED_BYTE
    case 0x1402: case 0x1403: return 2;  // GL_SHORT, GL_UNSIGNED_SHORT
    case 0x1404: case 0x1405: case 0x1406: return 4;  // GL_INT, GL_UNSIGNED_INT, GL_FLOAT
    case 0x140A: return 8;  // GL_DOUBLE
    default: return 0;
  }
}

}  // namespace

GlxCommand &glxcommandPut8(GlxCommand &command, uint8_t value) { return put(command, 1, value); }
GlxCommand &glxcommandPut16(GlxCommand &command, uint16_t value) { return put(command, 2, value); }
GlxCommand &glxcommandPut32(GlxCommand &command, uint32_t value) { return put(command, 4, value); }
GlxCommand &glxcommandPutFloat(GlxCommand &command, float value) { return put(command, 4, floatBits(value)); }
GlxCommand &glxcommandPutDouble(GlxCommand &command, double value) { return put(command, 8, doubleBits(value)); }
GlxCommand &glxcommandPutRaw(GlxCommand &command, const GlxBytes &bytes) {
  command.fields.push_back(GlxCommandField{0, 0, bytes});
  return command;
}
GlxCommand glxcommandWords(uint16_t opcode, std::initializer_list<uint32_t> values) {
  GlxCommand command{opcode, {}};
  for (uint32_t v : values) glxcommandPut32(command, v);
  return command;
}
GlxCommand glxcommandFloats(uint16_t opcode, std::initializer_list<float> values) {
  GlxCommand command{opcode, {}};
  for (float v : values) glxcommandPutFloat(command, v);
  return command;
}

GlxBytes glxcommandData(const GlxCommand &command, bool big) {
  GlxBytes out;
  for (const GlxCommandField &field : command.fields) {
    if (field.width == 0)
      out.insert(out.end(), field.raw.begin(), field.raw.end());
    else
      putValue(out, field.value, field.width, big);
  }
  return out;
}

GlxBytes glxcommandEncode(const GlxCommand &command, bool big) {
  GlxBytes data = glxcommandData(command, big);
  uint64_t length = 4 + pad4(data.size());
  if (length > 0xFFFF || command.opcode > 0xFFFF) return {};
  GlxBytes out;
  putValue(out, length, 2, big);
  putValue(out, command.opcode, 2, big);
  out.insert(out.end(), data.begin(), data.end());
  out.resize(length, 0);
  return out;
}

GlxBytes glxcommandEncodeLarge(const GlxCommand &command, bool big) {
  GlxBytes data = glxcommandData(command, big);
  uint64_t length = 8 + pad4(data.size());
  GlxBytes out;
  putValue(out, length, 4, big);
  putValue(out, command.opcode, 4, big);
  out.insert(out.end(), data.begin(), data.end());
  out.resize(length, 0);
  return out;
}

GlxBytes glxcommandStream(const std::vector<GlxCommand> &commands, bool big) {
  GlxBytes out;
  for (const GlxCommand &command : commands) {
    GlxBytes one = glxcommandEncode(command, big);
    if (one.empty()) return {};
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

GlxBytes glxcommandRenderRequest(uint8_t major, uint32_t tag, const std::vector<GlxCommand> &commands, bool big) {
  GlxBytes stream = glxcommandStream(commands, big);
  if ((stream.empty() && !commands.empty()) || 8 + stream.size() > 4 * uint64_t(0xFFFF)) return {};
  GlxBytes out;
  putRequestHeader(out, major, 1, 8 + stream.size(), tag, big);
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

std::vector<GlxBytes> glxcommandLargePieces(const GlxBytes &large, uint32_t pieces) {
  std::vector<GlxBytes> out;
  if (large.empty() || pieces == 0) return out;
  // The command's words shared out, the first pieces taking one more where they do not divide;
  // bytes beyond the last whole word go with the last piece.
  uint64_t words = large.size() / 4;
  if (pieces > words) pieces = uint32_t(words > 0 ? words : 1);
  uint64_t base = words / pieces, extra = words % pieces, at = 0;
  for (uint32_t k = 0; k < pieces; k++) {
    uint64_t size = k + 1 == pieces ? large.size() - at : 4 * (base + (k < extra ? 1 : 0));
    out.emplace_back(large.begin() + long(at), large.begin() + long(at + size));
    at += size;
  }
  return out;
}

std::vector<GlxBytes> glxcommandRenderLargeRequests(uint8_t major, uint32_t tag, const GlxCommand &command,
                                                    uint32_t pieces, bool big) {
  std::vector<GlxBytes> data = glxcommandLargePieces(glxcommandEncodeLarge(command, big), pieces);
  std::vector<GlxBytes> out;
  for (size_t k = 0; k < data.size(); k++) {
    GlxBytes request;
    putRequestHeader(request, major, 2, 16 + pad4(data[k].size()), tag, big);
    putValue(request, k + 1, 2, big);
    putValue(request, data.size(), 2, big);
    putValue(request, data[k].size(), 4, big);
    request.insert(request.end(), data[k].begin(), data[k].end());
    request.resize(16 + pad4(data[k].size()), 0);
    out.push_back(std::move(request));
  }
  return out;
}

GlxCommand glxcommandClearColor(float red, float green, float blue, float alpha) {
  GlxCommand command{kGlxropClearColor, {}};
  glxcommandPutFloat(command, red);
  glxcommandPutFloat(command, green);
  glxcommandPutFloat(command, blue);
  return glxcommandPutFloat(command, alpha);
}

GlxCommand glxcommandClear(uint32_t mask) {
  GlxCommand command{kGlxropClear, {}};
  return glxcommandPut32(command, mask);
}

GlxCommand glxcommandBegin(uint32_t mode) {
  GlxCommand command{kGlxropBegin, {}};
  return glxcommandPut32(command, mode);
}

GlxCommand glxcommandEnd() { return GlxCommand{kGlxropEnd, {}}; }

GlxCommand glxcommandVertex2f(float x, float y) {
  GlxCommand command{kGlxropVertex2fv, {}};
  glxcommandPutFloat(command, x);
  return glxcommandPutFloat(command, y);
}

GlxCommand glxcommandColor3f(float red, float green, float blue) {
  GlxCommand command{kGlxropColor3fv, {}};
  glxcommandPutFloat(command, red);
  glxcommandPutFloat(command, green);
  return glxcommandPutFloat(command, blue);
}

GlxCommand glxcommandTexCoord2f(float s, float t) {
  GlxCommand command{kGlxropTexCoord2fv, {}};
  glxcommandPutFloat(command, s);
  return glxcommandPutFloat(command, t);
}

GlxCommand glxcommandRasterPos2f(float x, float y) {
  GlxCommand command{kGlxropRasterPos2fv, {}};
  glxcommandPutFloat(command, x);
  return glxcommandPutFloat(command, y);
}

GlxCommand glxcommandEnable(uint32_t capability) {
  GlxCommand command{kGlxropEnable, {}};
  return glxcommandPut32(command, capability);
}

GlxCommand glxcommandDisable(uint32_t capability) {
  GlxCommand command{kGlxropDisable, {}};
  return glxcommandPut32(command, capability);
}

GlxCommand glxcommandTexParameteri(uint32_t target, uint32_t pname, int32_t value) {
  GlxCommand command{kGlxropTexParameteri, {}};
  glxcommandPut32(command, target);
  glxcommandPut32(command, pname);
  return glxcommandPut32(command, uint32_t(value));
}

GlxCommand glxcommandDrawPixels(const GlxPixelHeader &header, int32_t width, int32_t height, uint32_t format,
                                uint32_t type, const GlxBytes &pixels) {
  GlxCommand command{kGlxropDrawPixels, {}};
  putPixelHeader(command, header);
  glxcommandPut32(command, uint32_t(width));
  glxcommandPut32(command, uint32_t(height));
  glxcommandPut32(command, format);
  glxcommandPut32(command, type);
  return glxcommandPutRaw(command, pixels);
}

GlxCommand glxcommandTexImage2D(const GlxPixelHeader &header, uint32_t target, int32_t level, int32_t components,
                                int32_t width, int32_t height, int32_t border, uint32_t format, uint32_t type,
                                const GlxBytes &pixels) {
  GlxCommand command{kGlxropTexImage2D, {}};
  putPixelHeader(command, header);
  for (uint32_t value : {target, uint32_t(level), uint32_t(components), uint32_t(width), uint32_t(height),
                         uint32_t(border), format, type})
    glxcommandPut32(command, value);
  return glxcommandPutRaw(command, pixels);
}

GlxCommand glxcommandBitmap(const GlxPixelHeader &header, int32_t width, int32_t height, float xorig, float yorig,
                            float xmove, float ymove, const GlxBytes &bitmap) {
  GlxCommand command{kGlxropBitmap, {}};
  putPixelHeader(command, header);
  glxcommandPut32(command, uint32_t(width));
  glxcommandPut32(command, uint32_t(height));
  for (float value : {xorig, yorig, xmove, ymove}) glxcommandPutFloat(command, value);
  return glxcommandPutRaw(command, bitmap);
}

namespace {

// One value of the array as its type's width.
void putArrayValue(GlxCommand &command, const GlxArray &array, size_t at) {
  double value = at < array.data.size() ? array.data[at] : 0.0;
  unsigned width = typeWidth(array.type);
  if (array.type == 0x1406)
    glxcommandPutFloat(command, float(value));
  else if (array.type == 0x140A)
    glxcommandPutDouble(command, value);
  else if (width)
    put(command, uint8_t(width), uint64_t(int64_t(value)));
}

}  // namespace

GlxCommand glxcommandEnableArray(uint32_t array, uint32_t indexOrUnit) {
  GlxCommand command{kGlxropEnableArray, {}};
  glxcommandPut32(command, array);
  return glxcommandPut32(command, indexOrUnit);
}

GlxCommand glxcommandDisableArray(uint32_t array, uint32_t indexOrUnit) {
  GlxCommand command{kGlxropDisableArray, {}};
  glxcommandPut32(command, array);
  return glxcommandPut32(command, indexOrUnit);
}

GlxCommand glxcommandDrawArraysCarried(uint32_t mode, uint32_t first, uint32_t vertices,
                                       const std::vector<GlxArray> &arrays) {
  GlxCommand command{kGlxropDrawArraysCarried, {}};
  for (uint32_t value : {mode, first, vertices, uint32_t(arrays.size())}) glxcommandPut32(command, value);
  for (const GlxArray &array : arrays)
    for (uint32_t value : {array.type, array.values, array.array, 0u, 0u}) glxcommandPut32(command, value);
  for (const GlxArray &array : arrays)
    for (size_t k = 0; k < size_t(vertices) * array.values; k++) putArrayValue(command, array, k);
  return command;
}

GlxCommand glxcommandDrawArrays(uint32_t mode, uint32_t vertices, const std::vector<GlxArray> &arrays) {
  GlxCommand command{kGlxropDrawArrays, {}};
  glxcommandPut32(command, vertices);
  glxcommandPut32(command, uint32_t(arrays.size()));
  glxcommandPut32(command, mode);
  for (const GlxArray &array : arrays) {
    glxcommandPut32(command, array.type);
    glxcommandPut32(command, array.values);
    glxcommandPut32(command, array.array);
  }
  for (uint32_t v = 0; v < vertices; v++) {
    for (const GlxArray &array : arrays) {
      unsigned width = typeWidth(array.type);
      for (uint32_t k = 0; k < array.values; k++) putArrayValue(command, array, size_t(v) * array.values + k);
      for (uint64_t k = uint64_t(width) * array.values; k % 4; k++) glxcommandPut8(command, 0);
    }
  }
  return command;
}

GlxCommand glxcommandShaderSource(uint32_t shader, const std::vector<std::string> &texts) {
  GlxCommand command{kGlxropShaderSource, {}};
  glxcommandPut32(command, shader);
  glxcommandPut32(command, uint32_t(texts.size()));
  for (const std::string &text : texts) glxcommandPut32(command, uint32_t(text.size()));
  for (const std::string &text : texts) glxcommandPutRaw(command, GlxBytes(text.begin(), text.end()));
  return command;
}

GlxCommand glxcommandCompileShader(uint32_t shader) {
  GlxCommand command{kGlxropCompileShader, {}};
  return glxcommandPut32(command, shader);
}

GlxCommand glxcommandAttachShader(uint32_t program, uint32_t shader) {
  GlxCommand command{kGlxropAttachShader, {}};
  glxcommandPut32(command, program);
  return glxcommandPut32(command, shader);
}

GlxCommand glxcommandLinkProgram(uint32_t program) {
  GlxCommand command{kGlxropLinkProgram, {}};
  return glxcommandPut32(command, program);
}

GlxCommand glxcommandUseProgram(uint32_t program) {
  GlxCommand command{kGlxropUseProgram, {}};
  return glxcommandPut32(command, program);
}

GlxCommand glxcommandUniform4f(int32_t location, float v0, float v1, float v2, float v3) {
  GlxCommand command{kGlxropUniform4f, {}};
  glxcommandPut32(command, uint32_t(location));
  for (float value : {v0, v1, v2, v3}) glxcommandPutFloat(command, value);
  return command;
}

std::string glxcommandUniqueComment() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return "// " + std::to_string(getpid()) + " " +
         std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) + "\n";
}
