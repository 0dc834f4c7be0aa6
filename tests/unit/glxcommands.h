// GLX render commands for tests: a command is its render opcode and a list of typed fields,
// written out in either byte order as a render command with a 16-bit header (for GLXRender) or
// a large one with a 32-bit header (for GLXRenderLarge); whole GLXRender requests, and a large
// command cut into GLXRenderLarge pieces. Pixel data and bitmaps are carried as raw bytes (never
// byte-swapped); every other field takes the order asked for. With libxcb's GLX binding,
// glxcommandStream gives xcb_glx_render's data and glxcommandLargePieces xcb_glx_render_large's.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using GlxBytes = std::vector<uint8_t>;

// One field of a command: width 1, 2, 4 or 8 bytes holding value, or width 0: raw bytes as they
// are.
struct GlxCommandField {
  uint8_t width;
  uint64_t value;
  GlxBytes raw;
};

struct GlxCommand {
  uint32_t opcode;
  std::vector<GlxCommandField> fields;
};

// Fields appended to the command; the command itself is returned for chaining.
GlxCommand &glxcommandPut8(GlxCommand &command, uint8_t value);
GlxCommand &glxcommandPut16(GlxCommand &command, uint16_t value);
GlxCommand &glxcommandPut32(GlxCommand &command, uint32_t value);
GlxCommand &glxcommandPutFloat(GlxCommand &command, float value);
GlxCommand &glxcommandPutDouble(GlxCommand &command, double value);
GlxCommand &glxcommandPutRaw(GlxCommand &command, const GlxBytes &bytes);
// A command of the opcode whose data is the 32-bit words, respectively the floats, given.
GlxCommand glxcommandWords(uint16_t opcode, std::initializer_list<uint32_t> values);
GlxCommand glxcommandFloats(uint16_t opcode, std::initializer_list<float> values);

// The command's data (after its header), unpadded, in big-endian (big) or little-endian order.
GlxBytes glxcommandData(const GlxCommand &command, bool big);
// The command with a 16-bit header (length including header and padding, then opcode) and its
// data padded to 4 bytes; empty when it does not fit a 16-bit length.
GlxBytes glxcommandEncode(const GlxCommand &command, bool big);
// The command with a 32-bit header (padded length, then opcode) and its data padded to 4 bytes.
GlxBytes glxcommandEncodeLarge(const GlxCommand &command, bool big);
// The commands one after another with 16-bit headers: the data of one GLXRender request (empty
// when one of them does not fit).
GlxBytes glxcommandStream(const std::vector<GlxCommand> &commands, bool big);

// A whole GLXRender request (extension major opcode, context tag) holding the commands; empty
// when they do not fit one request of at most 65535 words.
GlxBytes glxcommandRenderRequest(uint8_t major, uint32_t tag, const std::vector<GlxCommand> &commands, bool big);
// The data of each GLXRenderLarge piece when the large command's bytes are cut into `pieces`
// parts: all but the last a multiple of 4 bytes and as equal as that allows, none empty (fewer
// pieces when the bytes do not allow that many), the last holding the rest.
std::vector<GlxBytes> glxcommandLargePieces(const GlxBytes &large, uint32_t pieces);
// Whole GLXRenderLarge requests for the command cut into `pieces` parts (request numbers from 1,
// the data length of each piece, its data padded to 4 bytes).
std::vector<GlxBytes> glxcommandRenderLargeRequests(uint8_t major, uint32_t tag, const GlxCommand &command,
                                                    uint32_t pieces, bool big);

// The pixel-store header of the 2D pixel commands (20 bytes).
struct GlxPixelHeader {
  uint8_t swapBytes = 0;
  uint8_t lsbFirst = 0;
  int32_t rowLength = 0;
  int32_t skipRows = 0;
  int32_t skipPixels = 0;
  int32_t alignment = 4;
};

// Render opcodes of the commands below.
constexpr uint32_t kGlxropBegin = 4;
constexpr uint32_t kGlxropBitmap = 5;
constexpr uint32_t kGlxropColor3fv = 8;
constexpr uint32_t kGlxropEnd = 23;
constexpr uint32_t kGlxropRasterPos2fv = 34;
constexpr uint32_t kGlxropTexCoord2fv = 54;
constexpr uint32_t kGlxropVertex2fv = 66;
constexpr uint32_t kGlxropTexParameteri = 107;
constexpr uint32_t kGlxropTexImage2D = 110;
constexpr uint32_t kGlxropClear = 127;
constexpr uint32_t kGlxropClearColor = 130;
constexpr uint32_t kGlxropDisable = 138;
constexpr uint32_t kGlxropEnable = 139;
constexpr uint32_t kGlxropDrawPixels = 173;
constexpr uint32_t kGlxropDrawArrays = 193;
constexpr uint32_t kGlxropCompileShader = 240;
constexpr uint32_t kGlxropAttachShader = 241;
constexpr uint32_t kGlxropLinkProgram = 242;
constexpr uint32_t kGlxropUseProgram = 243;
constexpr uint32_t kGlxropUniform4f = 248;
constexpr uint32_t kGlxropShaderSource = 253;
constexpr uint32_t kGlxropEnableArray = 292;
constexpr uint32_t kGlxropDisableArray = 293;
constexpr uint32_t kGlxropDrawArraysCarried = 300;

GlxCommand glxcommandClearColor(float red, float green, float blue, float alpha);
GlxCommand glxcommandClear(uint32_t mask);
GlxCommand glxcommandBegin(uint32_t mode);
GlxCommand glxcommandEnd();
GlxCommand glxcommandVertex2f(float x, float y);
GlxCommand glxcommandColor3f(float red, float green, float blue);
GlxCommand glxcommandTexCoord2f(float s, float t);
GlxCommand glxcommandRasterPos2f(float x, float y);
GlxCommand glxcommandEnable(uint32_t capability);
GlxCommand glxcommandDisable(uint32_t capability);
GlxCommand glxcommandTexParameteri(uint32_t target, uint32_t pname, int32_t value);
// The pixel commands carry the header, their fields, then the pixels as given.
GlxCommand glxcommandDrawPixels(const GlxPixelHeader &header, int32_t width, int32_t height, uint32_t format,
                                uint32_t type, const GlxBytes &pixels);
GlxCommand glxcommandTexImage2D(const GlxPixelHeader &header, uint32_t target, int32_t level, int32_t components,
                                int32_t width, int32_t height, int32_t border, uint32_t format, uint32_t type,
                                const GlxBytes &pixels);
GlxCommand glxcommandBitmap(const GlxPixelHeader &header, int32_t width, int32_t height, float xorig, float yorig,
                            float xmove, float ymove, const GlxBytes &bitmap);

// One client array of a DrawArrays command: its GL data type (GL_FLOAT, GL_UNSIGNED_BYTE ...),
// values per vertex, the array it feeds (GL_VERTEX_ARRAY, GL_COLOR_ARRAY ...), and the values
// of every vertex one after another (each written with the type's width).
struct GlxArray {
  uint32_t type;
  uint32_t values;
  uint32_t array;
  std::vector<double> data;
};
// DrawArrays with its arrays described and carried: the counts, one descriptor per array, then
// per vertex the values of each array in turn, each array's block padded to 4 bytes. Arrays
// with fewer values than vertices * values are padded with zeros.
GlxCommand glxcommandDrawArrays(uint32_t mode, uint32_t vertices, const std::vector<GlxArray> &arrays);
// A client array switched on or off (292, 293): the array (0: a generic attribute), and the
// attribute index or texture unit.
GlxCommand glxcommandEnableArray(uint32_t array, uint32_t indexOrUnit);
GlxCommand glxcommandDisableArray(uint32_t array, uint32_t indexOrUnit);
// The draw with carried arrays (300; the arrays it feeds are switched on by 292 beforehand): mode, first, vertex count, array count, one 5-word
// descriptor per array {type, values per vertex, array, texture unit or attribute index (0),
// normalised flag (0)}, then each array's values for every vertex, the arrays back to back
// without padding between them.
GlxCommand glxcommandDrawArraysCarried(uint32_t mode, uint32_t first, uint32_t vertices,
                                       const std::vector<GlxArray> &arrays);

// Shader and program commands (ids as the client knows them): the source as the texts one after
// another behind their lengths (no terminating NULs); compile, attach, link, use; a uniform of
// four floats.
GlxCommand glxcommandShaderSource(uint32_t shader, const std::vector<std::string> &texts);
GlxCommand glxcommandCompileShader(uint32_t shader);
GlxCommand glxcommandAttachShader(uint32_t program, uint32_t shader);
GlxCommand glxcommandLinkProgram(uint32_t program);
GlxCommand glxcommandUseProgram(uint32_t program);
GlxCommand glxcommandUniform4f(int32_t location, float v0, float v1, float v2, float v3);
// A GLSL comment line no earlier run wrote (process and time): a source that starts with it
// is new to the library's shader cache, which skips the compile of a source it has seen.
std::string glxcommandUniqueComment();
