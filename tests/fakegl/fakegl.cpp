// The control table and call log of the fake GL library (see fakegl.h), shared by every variant.
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakeglstubs.h"

namespace {

constexpr uint32_t kMaxValues = 16;
constexpr uint32_t kMaxFbConfigs = 64;
constexpr uint32_t kMaxKeyedValues = 64;
constexpr int kGlxBadAttribute = 2;

// A buffer the fake maps (fakeglSetBufferMapping): its bytes in a block of exactly their size,
// and the range mapped now.
struct Mapping {
  std::vector<uint8_t> bytes;
  bool mapped = false;
  size_t offset = 0, length = 0;
};

struct Control {
  int createMode = kFakeglCreateSucceed;
  int isDirect = 1;
  int makeCurrent = 1;
  std::map<uint32_t, std::vector<int32_t>> integers;
  std::map<uint32_t, std::string> strings;
  uint32_t fbConfigCount = 0;
  std::map<std::pair<uint32_t, int>, int> fbConfigAttribs;
  void *trapHandler = nullptr;
  std::map<std::pair<uint32_t, uint32_t>, std::vector<int32_t>> keyed;  // fakeglSetKeyedValues
  uint32_t nextObject = 0;  // fakeglSetNextObject
  std::map<uint32_t, Mapping> mappings;  // fakeglSetBufferMapping, by target
  std::map<std::string, uint32_t> refusals;  // fakeglSetRefusal, by call name
  uint32_t pendingError = 0;                 // left by a refused call, until glGetError
};

std::mutex mutex;  // guards everything below
Control control;
// The pack state, fill byte, current context and select state per context (fakeglSetPixelFill).
struct SelectState {
  GLuint *buffer = nullptr;
  GLsizei size = 0;
  GLenum mode = GL_RENDER;
  GLfloat *feedback = nullptr;
  GLsizei feedbackSize = 0;
  bool insideBegin = false;  // between glBegin and glEnd: state calls are refused
};
struct Readback {
  std::map<GLenum, GLint> pack;
  int fill = -1;
  GLXContext current = nullptr;
  std::map<GLXContext, SelectState> select;
};
Readback readback;
std::string callLog;
std::string logCopy;  // what fakeglLog last returned
std::string logFile;  // FAKEGL_LOG
// Context handles and FB configs are addresses inside these arrays.
char contextHandles[1024];
uint32_t nextContext;
char fbConfigHandles[kMaxFbConfigs];

// Read through a volatile pointer so that the compiler keeps the faulting store.
int *volatile nowhere = nullptr;

void fault() { *nowhere = 1; }

GLXContext createContext() {
  int mode;
  {
    std::lock_guard<std::mutex> lock(mutex);
    mode = control.createMode;
  }
  switch (mode) {
    case kFakeglCreateFail:
      return nullptr;
    case kFakeglCrashCallingThread:
      fault();
      return nullptr;
    case kFakeglCrashOwnThread: {
      std::thread crasher(fault);
      crasher.join();
      return nullptr;
    }
    default: {
      std::lock_guard<std::mutex> lock(mutex);
      return reinterpret_cast<GLXContext>(&contextHandles[nextContext++ % sizeof contextHandles]);
    }
  }
}

// Copies the values known for pname into out, converted; nothing when none are known.
template <typename T>
void answerValues(GLenum pname, T *out) {
  std::lock_guard<std::mutex> lock(mutex);
  auto known = control.integers.find(pname);
  if (known == control.integers.end() || !out) return;
  for (size_t i = 0; i < known->second.size(); i++) out[i] = static_cast<T>(known->second[i]);
}

// Copies the values known for (key, pname) into out, converted; nothing when none are known.
template <typename T>
void answerKeyed(uint32_t key, uint32_t pname, T *out) {
  std::lock_guard<std::mutex> lock(mutex);
  auto known = control.keyed.find({key, pname});
  if (known == control.keyed.end() || !out) return;
  for (size_t i = 0; i < known->second.size(); i++) out[i] = static_cast<T>(known->second[i]);
}

// The first value known for (key, pname), 0 when none.
int32_t firstKeyed(uint32_t key, uint32_t pname) {
  std::lock_guard<std::mutex> lock(mutex);
  auto known = control.keyed.find({key, pname});
  return known == control.keyed.end() || known->second.empty() ? 0 : known->second[0];
}

const char *answerString(uint32_t key) {
  std::lock_guard<std::mutex> lock(mutex);
  auto known = control.strings.find(key);
  return known == control.strings.end() ? nullptr : known->second.c_str();
}

bool parseNumber(const std::string &text, long long *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  *value = strtoll(text.c_str(), &end, 0);
  return *end == '\0';
}

// One "key=value" setting; false when not understood.
// A comma-separated list of numbers; false when one of them is not a number.
bool parseList(const std::string &text, std::vector<int32_t> *values) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    long long item = 0;
    if (!parseNumber(text.substr(start, comma - start), &item)) return false;
    values->push_back(static_cast<int32_t>(item));
    start = comma + 1;
  }
  return true;
}

bool applySetting(const std::string &setting) {
  size_t equals = setting.find('=');
  if (equals == std::string::npos) return false;
  std::string key = setting.substr(0, equals), value = setting.substr(equals + 1);
  long long number = 0;
  if (key == "create") {
    static const std::map<std::string, int> modes = {{"succeed", kFakeglCreateSucceed},
                                                     {"fail", kFakeglCreateFail},
                                                     {"crash", kFakeglCrashCallingThread},
                                                     {"crash-thread", kFakeglCrashOwnThread}};
    auto mode = modes.find(value);
    if (mode == modes.end()) return false;
    fakeglSetCreateContext(mode->second);
    return true;
  }
  if (key == "direct" && parseNumber(value, &number)) return fakeglSetIsDirect(static_cast<int>(number)), true;
  if (key == "makecurrent" && parseNumber(value, &number))
    return fakeglSetMakeCurrent(static_cast<int>(number)), true;
  if (key == "fbconfigs" && parseNumber(value, &number))
    return fakeglSetFbConfigCount(static_cast<uint32_t>(number)), true;
  if (key.rfind("string.", 0) == 0 && parseNumber(key.substr(7), &number))
    return fakeglSetString(static_cast<uint32_t>(number), value.c_str()), true;
  if (key.rfind("integer.", 0) == 0 && parseNumber(key.substr(8), &number)) {
    std::vector<int32_t> values;
    if (!parseList(value, &values)) return false;
    fakeglSetIntegers(static_cast<uint32_t>(number), values.data(), static_cast<uint32_t>(values.size()));
    return true;
  }
  if (key.rfind("keyed.", 0) == 0) {
    std::string rest = key.substr(6);
    size_t dot = rest.find('.');
    long long first = 0, second = 0;
    if (dot == std::string::npos || !parseNumber(rest.substr(0, dot), &first) ||
        !parseNumber(rest.substr(dot + 1), &second))
      return false;
    std::vector<int32_t> values;
    if (!parseList(value, &values)) return false;
    fakeglSetKeyedValues(static_cast<uint32_t>(first), static_cast<uint32_t>(second), values.data(),
                         static_cast<uint32_t>(values.size()));
    return true;
  }
  if (key.rfind("refuse.", 0) == 0 && parseNumber(value, &number))
    return fakeglSetRefusal(key.substr(7).c_str(), static_cast<uint32_t>(number)), true;
  if (key.rfind("fbconfig.", 0) == 0) {
    std::string rest = key.substr(9);
    size_t dot = rest.find('.');
    long long config = 0, attribute = 0;
    if (dot == std::string::npos || !parseNumber(rest.substr(0, dot), &config) ||
        !parseNumber(rest.substr(dot + 1), &attribute) || !parseNumber(value, &number))
      return false;
    fakeglSetFbConfigAttrib(static_cast<uint32_t>(config), static_cast<int>(attribute), static_cast<int>(number));
    return true;
  }
  return false;
}

// Runs when the library is loaded, after the variables above are initialised (definition order).
struct EnvironmentReader {
  EnvironmentReader() {
    if (const char *path = getenv("FAKEGL_LOG")) logFile = path;
    if (const char *settings = getenv("FAKEGL_CONTROL")) fakeglControl(settings);
  }
} environmentReader;

}  // namespace

void FakeglLine::arg(const char *text) {
  if (!text) return pointer(nullptr);
  separate();
  text_ += '"';
  text_ += text;
  text_ += '"';
}

void FakeglLine::pointer(const void *p) {
  if (p)
    add("%p", p);
  else
    add("NULL");
}

void FakeglLine::add(const char *format, ...) {
  separate();
  char piece[64];
  va_list args;
  va_start(args, format);
  vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  text_ += piece;
}

void FakeglLine::end() {
  text_ += ")\n";
  std::lock_guard<std::mutex> lock(mutex);
  callLog += text_;
  auto refusal = control.refusals.find(text_.substr(0, text_.find('(')));
  if (refusal != control.refusals.end() && control.pendingError == 0) control.pendingError = refusal->second;
  if (!logFile.empty()) {
    int fd = open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ssize_t written = write(fd, text_.data(), text_.size());
      (void)written;
      close(fd);
    }
  }
}

extern "C" {

FAKEGL_EXPORT void fakeglReset() {
  std::lock_guard<std::mutex> lock(mutex);
  control = Control{};
  readback = Readback{};
  fakeglResetReads();
  callLog.clear();
}

FAKEGL_EXPORT void fakeglSetIntegers(uint32_t pname, const int32_t *values, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  if (count == 0) {
    control.integers.erase(pname);
    return;
  }
  if (count > kMaxValues) count = kMaxValues;
  control.integers[pname].assign(values, values + count);
}

FAKEGL_EXPORT void fakeglSetString(uint32_t name, const char *text) {
  std::lock_guard<std::mutex> lock(mutex);
  if (text)
    control.strings[name] = text;
  else
    control.strings.erase(name);
}

FAKEGL_EXPORT void fakeglSetCreateContext(int mode) {
  std::lock_guard<std::mutex> lock(mutex);
  control.createMode = mode;
}

FAKEGL_EXPORT void fakeglSetIsDirect(int isDirect) {
  std::lock_guard<std::mutex> lock(mutex);
  control.isDirect = isDirect;
}

FAKEGL_EXPORT void fakeglSetMakeCurrent(int result) {
  std::lock_guard<std::mutex> lock(mutex);
  control.makeCurrent = result;
}

FAKEGL_EXPORT void fakeglSetFbConfigCount(uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  control.fbConfigCount = count < kMaxFbConfigs ? count : kMaxFbConfigs;
}

FAKEGL_EXPORT void fakeglSetFbConfigAttrib(uint32_t config, int attribute, int value) {
  std::lock_guard<std::mutex> lock(mutex);
  control.fbConfigAttribs[{config, attribute}] = value;
}

FAKEGL_EXPORT int fakeglControl(const char *settings) {
  int result = 0;
  std::string all = settings ? settings : "";
  size_t start = 0;
  while (start < all.size()) {
    size_t semicolon = all.find(';', start);
    if (semicolon == std::string::npos) semicolon = all.size();
    std::string setting = all.substr(start, semicolon - start);
    if (!setting.empty() && !applySetting(setting)) result = -1;
    start = semicolon + 1;
  }
  return result;
}

FAKEGL_EXPORT const char *fakeglLog() {
  std::lock_guard<std::mutex> lock(mutex);
  logCopy = callLog;
  return logCopy.c_str();
}

FAKEGL_EXPORT void fakeglClearLog() {
  std::lock_guard<std::mutex> lock(mutex);
  callLog.clear();
}

FAKEGL_EXPORT void *fakeglTrapHandler() {
  std::lock_guard<std::mutex> lock(mutex);
  return control.trapHandler;
}

FAKEGL_EXPORT void *fakeglRecordTrapHandler(void *handler) {
  std::lock_guard<std::mutex> lock(mutex);
  void *previous = control.trapHandler;
  control.trapHandler = handler;
  return previous;
}

FAKEGL_EXPORT GLXContext fakeglAnswer_glXCreateContext(Display *, XVisualInfo *, GLXContext, Bool) {
  return createContext();
}

FAKEGL_EXPORT GLXContext fakeglAnswer_glXCreateNewContext(Display *, GLXFBConfig, int, GLXContext, Bool) {
  return createContext();
}

FAKEGL_EXPORT GLXContext fakeglAnswer_glXCreateContextAttribsARB(Display *, GLXFBConfig, GLXContext, Bool,
                                                                 const int *) {
  return createContext();
}

FAKEGL_EXPORT Bool fakeglAnswer_glXIsDirect(Display *, GLXContext) {
  std::lock_guard<std::mutex> lock(mutex);
  return control.isDirect;
}

FAKEGL_EXPORT Bool fakeglAnswer_glXMakeCurrent(Display *, GLXDrawable, GLXContext context) {
  std::lock_guard<std::mutex> lock(mutex);
  if (control.makeCurrent) readback.current = context;
  return control.makeCurrent;
}

FAKEGL_EXPORT Bool fakeglAnswer_glXMakeContextCurrent(Display *, GLXDrawable, GLXDrawable, GLXContext context) {
  std::lock_guard<std::mutex> lock(mutex);
  if (control.makeCurrent) readback.current = context;
  return control.makeCurrent;
}

FAKEGL_EXPORT void fakeglAnswer_glGetIntegerv(GLenum pname, GLint *params) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    const SelectState &state = readback.select[readback.current];
    if (state.insideBegin) return;
    if (pname == GL_RENDER_MODE && !control.integers.count(pname)) {
      if (params) *params = GLint(state.mode);
      return;
    }
  }
  answerValues(pname, params);
}
FAKEGL_EXPORT void fakeglAnswer_glGetBooleanv(GLenum pname, GLboolean *params) { answerValues(pname, params); }
FAKEGL_EXPORT void fakeglAnswer_glGetFloatv(GLenum pname, GLfloat *params) { answerValues(pname, params); }
FAKEGL_EXPORT void fakeglAnswer_glGetDoublev(GLenum pname, GLdouble *params) { answerValues(pname, params); }

FAKEGL_EXPORT const GLubyte *fakeglAnswer_glGetString(GLenum name) {
  return reinterpret_cast<const GLubyte *>(answerString(name));
}

FAKEGL_EXPORT const char *fakeglAnswer_glXQueryExtensionsString(Display *, int) {
  return answerString(kFakeglGlxExtensions);
}

FAKEGL_EXPORT const char *fakeglAnswer_glXQueryServerString(Display *, int, int name) {
  return answerString(kFakeglGlxServerString | static_cast<uint32_t>(name));
}

// The array is the caller's to free (XFree is free).
FAKEGL_EXPORT GLXFBConfig *fakeglAnswer_glXGetFBConfigs(Display *, int, int *nelements) {
  std::lock_guard<std::mutex> lock(mutex);
  if (nelements) *nelements = static_cast<int>(control.fbConfigCount);
  if (control.fbConfigCount == 0) return nullptr;
  auto *configs = static_cast<GLXFBConfig *>(calloc(control.fbConfigCount, sizeof(GLXFBConfig)));
  if (!configs) return nullptr;
  for (uint32_t i = 0; i < control.fbConfigCount; i++)
    configs[i] = reinterpret_cast<GLXFBConfig>(&fbConfigHandles[i]);
  return configs;
}

FAKEGL_EXPORT int fakeglAnswer_glXGetFBConfigAttrib(Display *, GLXFBConfig config, int attribute, int *value) {
  std::lock_guard<std::mutex> lock(mutex);
  uintptr_t index = reinterpret_cast<uintptr_t>(config) - reinterpret_cast<uintptr_t>(fbConfigHandles);
  if (index >= control.fbConfigCount) return kGlxBadAttribute;
  auto known = control.fbConfigAttribs.find({static_cast<uint32_t>(index), attribute});
  if (known == control.fbConfigAttribs.end()) return kGlxBadAttribute;
  if (value) *value = known->second;
  return Success;
}

FAKEGL_EXPORT void fakeglSetKeyedValues(uint32_t key, uint32_t pname, const int32_t *values, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex);
  if (count == 0) {
    control.keyed.erase({key, pname});
    return;
  }
  if (count > kMaxKeyedValues) count = kMaxKeyedValues;
  control.keyed[{key, pname}].assign(values, values + count);
}

FAKEGL_EXPORT void fakeglAnswer_glGetMapdv(GLenum t, GLenum q, GLdouble *v) { answerKeyed(t, q, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetMapfv(GLenum t, GLenum q, GLfloat *v) { answerKeyed(t, q, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetMapiv(GLenum t, GLenum q, GLint *v) { answerKeyed(t, q, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetLightfv(GLenum l, GLenum p, GLfloat *v) { answerKeyed(l, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetLightiv(GLenum l, GLenum p, GLint *v) { answerKeyed(l, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetMaterialfv(GLenum f, GLenum p, GLfloat *v) { answerKeyed(f, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetMaterialiv(GLenum f, GLenum p, GLint *v) { answerKeyed(f, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexEnvfv(GLenum t, GLenum p, GLfloat *v) { answerKeyed(t, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexEnviv(GLenum t, GLenum p, GLint *v) { answerKeyed(t, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexGendv(GLenum c, GLenum p, GLdouble *v) { answerKeyed(c, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexGenfv(GLenum c, GLenum p, GLfloat *v) { answerKeyed(c, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexGeniv(GLenum c, GLenum p, GLint *v) { answerKeyed(c, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexParameterfv(GLenum t, GLenum p, GLfloat *v) { answerKeyed(t, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexParameteriv(GLenum t, GLenum p, GLint *v) { answerKeyed(t, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetTexLevelParameterfv(GLenum t, GLint, GLenum p, GLfloat *v) {
  answerKeyed(t, p, v);
}
FAKEGL_EXPORT void fakeglAnswer_glGetTexLevelParameteriv(GLenum t, GLint, GLenum p, GLint *v) {
  answerKeyed(t, p, v);
}
FAKEGL_EXPORT void fakeglAnswer_glGetPixelMapfv(GLenum map, GLfloat *v) { answerKeyed(map, 0, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetPixelMapuiv(GLenum map, GLuint *v) { answerKeyed(map, 0, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetPixelMapusv(GLenum map, GLushort *v) { answerKeyed(map, 0, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetClipPlane(GLenum plane, GLdouble *v) { answerKeyed(plane, 0, v); }
FAKEGL_EXPORT GLenum fakeglAnswer_glGetError() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (uint32_t pending = control.pendingError) {
      control.pendingError = 0;
      return static_cast<GLenum>(pending);
    }
  }
  return static_cast<GLenum>(firstKeyed(0, kFakeglError));
}

FAKEGL_EXPORT void fakeglSetRefusal(const char *call, uint32_t error) {
  std::lock_guard<std::mutex> lock(mutex);
  if (error)
    control.refusals[call] = error;
  else
    control.refusals.erase(call);
}
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsEnabled(GLenum cap) {
  return static_cast<GLboolean>(firstKeyed(cap, kFakeglIsEnabled));
}
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsList(GLuint list) {
  return static_cast<GLboolean>(firstKeyed(list, kFakeglIsList));
}
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsTexture(GLuint texture) {
  return static_cast<GLboolean>(firstKeyed(texture, kFakeglIsTexture));
}
FAKEGL_EXPORT GLuint fakeglAnswer_glGenLists(GLsizei) { return static_cast<GLuint>(firstKeyed(0, kFakeglGenLists)); }

FAKEGL_EXPORT void fakeglSetPixelFill(int byte) {
  std::lock_guard<std::mutex> lock(mutex);
  readback.fill = byte;
}

FAKEGL_EXPORT void fakeglAnswer_glPixelStorei(GLenum pname, GLint value) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    readback.pack[pname] = value;
  }
  fakeglNoteStore(pname, value);
}

namespace {
GLint packValue(GLenum pname, GLint fallback) {
  auto known = readback.pack.find(pname);
  return known == readback.pack.end() ? fallback : known->second;
}

// Writes the fill byte over a width x height image packed by the pack state (mutex held).
void fillImage(GLsizei width, GLsizei height, GLenum format, GLenum type, GLvoid *pixels) {
  if (readback.fill < 0 || !pixels || width <= 0 || height <= 0) return;
  long components = format == GL_RGBA || format == GL_BGRA ? 4 : format == GL_RGB || format == GL_BGR ? 3
                    : format == GL_LUMINANCE_ALPHA                                                  ? 2
                                                                                                    : 1;
  long bytes = type == GL_UNSIGNED_SHORT || type == GL_SHORT ? 2
               : type == GL_UNSIGNED_BYTE || type == GL_BYTE ? 1
                                                             : 4;
  long pixel = components * bytes;
  long alignment = packValue(GL_PACK_ALIGNMENT, 4);
  long rowPixels = packValue(GL_PACK_ROW_LENGTH, 0) > 0 ? packValue(GL_PACK_ROW_LENGTH, 0) : width;
  long stride = (rowPixels * pixel + alignment - 1) / alignment * alignment;
  auto *out = static_cast<unsigned char *>(pixels) + packValue(GL_PACK_SKIP_ROWS, 0) * stride +
              packValue(GL_PACK_SKIP_PIXELS, 0) * pixel;
  for (long row = 0; row < height; row++) memset(out + row * stride, readback.fill, size_t(width * pixel));
}
}  // namespace

FAKEGL_EXPORT void fakeglAnswer_glReadPixels(GLint, GLint, GLsizei width, GLsizei height, GLenum format, GLenum type,
                                             GLvoid *pixels) {
  std::lock_guard<std::mutex> lock(mutex);
  fillImage(width, height, format, type, pixels);
}

FAKEGL_EXPORT void fakeglAnswer_glGetTexImage(GLenum target, GLint, GLenum format, GLenum type, GLvoid *pixels) {
  std::lock_guard<std::mutex> lock(mutex);
  auto dimension = [&](GLenum pname) {
    auto known = control.keyed.find({target, pname});
    return known == control.keyed.end() || known->second.empty() ? 0 : known->second[0];
  };
  fillImage(dimension(GL_TEXTURE_WIDTH), dimension(GL_TEXTURE_HEIGHT), format, type, pixels);
}

FAKEGL_EXPORT void fakeglAnswer_glSelectBuffer(GLsizei size, GLuint *buffer) {
  std::lock_guard<std::mutex> lock(mutex);
  SelectState &state = readback.select[readback.current];
  if (state.insideBegin || state.mode == GL_SELECT || size < 0) return;
  state.buffer = buffer;
  state.size = size;
}

FAKEGL_EXPORT void fakeglAnswer_glFeedbackBuffer(GLsizei size, GLenum type, GLfloat *buffer) {
  std::lock_guard<std::mutex> lock(mutex);
  SelectState &state = readback.select[readback.current];
  if (state.insideBegin || state.mode == GL_FEEDBACK || size < 0 || type < GL_2D || type > GL_4D_COLOR_TEXTURE)
    return;
  state.feedback = buffer;
  state.feedbackSize = size;
}

FAKEGL_EXPORT void fakeglAnswer_glBegin(GLenum) {
  std::lock_guard<std::mutex> lock(mutex);
  readback.select[readback.current].insideBegin = true;
}

FAKEGL_EXPORT void fakeglAnswer_glEnd() {
  std::lock_guard<std::mutex> lock(mutex);
  readback.select[readback.current].insideBegin = false;
}

FAKEGL_EXPORT GLint fakeglAnswer_glRenderMode(GLenum mode) {
  std::lock_guard<std::mutex> lock(mutex);
  SelectState &state = readback.select[readback.current];
  GLint result = 0;
  if (state.insideBegin) return 0;
  if (state.mode == GL_FEEDBACK && state.feedback && state.feedbackSize >= 1) {
    state.feedback[0] = GLfloat(GL_PASS_THROUGH_TOKEN);
    result = 1;
  }
  if (state.mode == GL_SELECT) {
    if (state.size < 4 || !state.buffer) {
      result = -1;
    } else {
      GLuint record[4] = {1, 0, 0, GLuint(reinterpret_cast<uintptr_t>(readback.current))};
      memcpy(state.buffer, record, sizeof record);
      result = 1;
    }
  }
  if (mode == GL_RENDER || mode == GL_SELECT || mode == GL_FEEDBACK) state.mode = mode;
  return result;
}


FAKEGL_EXPORT void fakeglSetNextObject(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex);
  control.nextObject = id;
}

// Program and shader objects share one sequence of names.
static GLuint nextObjectName() {
  std::lock_guard<std::mutex> lock(mutex);
  return control.nextObject ? control.nextObject++ : 0;
}
FAKEGL_EXPORT GLuint fakeglAnswer_glCreateProgram() { return nextObjectName(); }
FAKEGL_EXPORT GLuint fakeglAnswer_glCreateShader(GLenum) { return nextObjectName(); }

FAKEGL_EXPORT void fakeglAnswer_glGenQueries(GLsizei n, GLuint *ids) {
  int32_t first = firstKeyed(0, kFakeglGenQueries);
  for (GLsizei k = 0; first && ids && k < n; k++) ids[k] = GLuint(first + k);
}
FAKEGL_EXPORT void fakeglAnswer_glGenTextures(GLsizei n, GLuint *ids) {
  int32_t first = firstKeyed(0, kFakeglGenTextures);
  for (GLsizei k = 0; first && ids && k < n; k++) ids[k] = GLuint(first + k);
}
FAKEGL_EXPORT void fakeglAnswer_glGenFramebuffers(GLsizei n, GLuint *ids) {
  int32_t first = firstKeyed(0, kFakeglGenFramebuffers);
  for (GLsizei k = 0; first && ids && k < n; k++) ids[k] = GLuint(first + k);
}
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsQuery(GLuint id) { return GLboolean(firstKeyed(id, kFakeglIsQuery)); }
FAKEGL_EXPORT void fakeglAnswer_glGetQueryiv(GLenum t, GLenum p, GLint *v) { answerKeyed(t, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetQueryObjectiv(GLuint id, GLenum p, GLint *v) { answerKeyed(id, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetQueryObjectuiv(GLuint id, GLenum p, GLuint *v) { answerKeyed(id, p, v); }
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsProgram(GLuint p) { return GLboolean(firstKeyed(p, kFakeglIsProgram)); }
FAKEGL_EXPORT void fakeglAnswer_glGetShaderiv(GLuint o, GLenum p, GLint *v) { answerKeyed(o, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetProgramiv(GLuint o, GLenum p, GLint *v) { answerKeyed(o, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetProgramivARB(GLenum t, GLenum p, GLint *v) { answerKeyed(t, p, v); }
FAKEGL_EXPORT void fakeglAnswer_glGetObjectParameterivARB(GLhandleARB o, GLenum p, GLint *v) {
  answerKeyed(o, p, v);
}
FAKEGL_EXPORT void fakeglAnswer_glGetObjectParameterfvARB(GLhandleARB o, GLenum p, GLfloat *v) {
  answerKeyed(o, p, v);
}
FAKEGL_EXPORT GLint fakeglAnswer_glGetUniformLocation(GLuint p, const GLchar *) {
  return firstKeyed(p, kFakeglLocation);
}
FAKEGL_EXPORT GLint fakeglAnswer_glGetAttribLocation(GLuint p, const GLchar *) {
  return firstKeyed(p, kFakeglLocation);
}

namespace {
// The string of key into a buffer of size bytes, cut and NUL-terminated; its length written.
void writeText(uint32_t key, GLsizei size, GLsizei *length, GLchar *out) {
  const char *text = answerString(key);
  GLsizei n = 0;
  if (text && out && size > 0) {
    n = GLsizei(strnlen(text, size_t(size - 1)));
    memcpy(out, text, size_t(n));
    out[n] = 0;
  }
  if (length) *length = n;
}

void writeActive(GLuint program, GLsizei size, GLsizei *length, GLint *items, GLenum *type, GLchar *name) {
  writeText(kFakeglActiveName, size, length, name);
  GLint values[2] = {};
  answerKeyed(program, kFakeglActive, values);
  if (items) *items = values[0];
  if (type) *type = GLenum(values[1]);
}
}  // namespace

FAKEGL_EXPORT void fakeglAnswer_glGetActiveUniform(GLuint p, GLuint, GLsizei size, GLsizei *length, GLint *items,
                                                   GLenum *type, GLchar *name) {
  writeActive(p, size, length, items, type, name);
}
FAKEGL_EXPORT void fakeglAnswer_glGetActiveAttrib(GLuint p, GLuint, GLsizei size, GLsizei *length, GLint *items,
                                                  GLenum *type, GLchar *name) {
  writeActive(p, size, length, items, type, name);
}
FAKEGL_EXPORT void fakeglAnswer_glGetShaderInfoLog(GLuint, GLsizei size, GLsizei *length, GLchar *text) {
  writeText(kFakeglObjectText, size, length, text);
}
FAKEGL_EXPORT void fakeglAnswer_glGetProgramInfoLog(GLuint, GLsizei size, GLsizei *length, GLchar *text) {
  writeText(kFakeglObjectText, size, length, text);
}
FAKEGL_EXPORT void fakeglAnswer_glGetShaderSource(GLuint, GLsizei size, GLsizei *length, GLchar *text) {
  writeText(kFakeglObjectText, size, length, text);
}
FAKEGL_EXPORT void fakeglAnswer_glGetInfoLogARB(GLhandleARB, GLsizei size, GLsizei *length, GLcharARB *text) {
  writeText(kFakeglObjectText, size, length, text);
}
FAKEGL_EXPORT void fakeglAnswer_glGetAttachedObjectsARB(GLhandleARB container, GLsizei most, GLsizei *count,
                                                        GLhandleARB *objects) {
  std::lock_guard<std::mutex> lock(mutex);
  auto known = control.keyed.find({container, kFakeglAttached});
  GLsizei n = 0;
  if (known != control.keyed.end() && objects)
    for (; n < most && size_t(n) < known->second.size(); n++) objects[n] = GLhandleARB(known->second[size_t(n)]);
  if (count) *count = n;
}

namespace {
uint32_t nextDrawable = 0x700000;
}  // namespace

FAKEGL_EXPORT GLXPbuffer fakeglAnswer_glXCreatePbuffer(Display *, GLXFBConfig, const int *) {
  std::lock_guard<std::mutex> lock(mutex);
  return ++nextDrawable;
}

FAKEGL_EXPORT GLXPixmap fakeglAnswer_glXCreateGLXPixmap(Display *, XVisualInfo *, Pixmap) {
  std::lock_guard<std::mutex> lock(mutex);
  return ++nextDrawable;
}


FAKEGL_EXPORT void fakeglSetBufferMapping(uint32_t target, uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex);
  if (size == 0) {
    control.mappings.erase(target);
    return;
  }
  Mapping &m = control.mappings[target];
  m = Mapping{};
  m.bytes.resize(size);
  for (uint32_t k = 0; k < size; k++) m.bytes[k] = uint8_t(k + 1);
}

namespace {
// The mapping of the target (mutex held), or NULL.
Mapping *mappingOf(GLenum target) {
  auto known = control.mappings.find(target);
  return known == control.mappings.end() ? nullptr : &known->second;
}
void *mapRange(GLenum target, GLintptr offset, GLsizeiptr length) {
  std::lock_guard<std::mutex> lock(mutex);
  Mapping *m = mappingOf(target);
  if (!m || m->mapped || offset < 0 || length <= 0 || size_t(offset) + size_t(length) > m->bytes.size())
    return nullptr;
  m->mapped = true;
  m->offset = size_t(offset);
  m->length = size_t(length);
  return m->bytes.data() + offset;
}
void mappedPointer(GLenum target, GLenum pname, void **out) {
  std::lock_guard<std::mutex> lock(mutex);
  Mapping *m = mappingOf(target);
  if (m && out && pname == GL_BUFFER_MAP_POINTER) *out = m->mapped ? m->bytes.data() + m->offset : nullptr;
}
}  // namespace

FAKEGL_EXPORT void *fakeglAnswer_glMapBuffer(GLenum target, GLenum) {
  GLsizeiptr size;
  {
    std::lock_guard<std::mutex> lock(mutex);
    Mapping *m = mappingOf(target);
    size = m ? GLsizeiptr(m->bytes.size()) : 0;
  }
  return mapRange(target, 0, size);
}
FAKEGL_EXPORT void *fakeglAnswer_glMapBufferRange(GLenum target, GLintptr offset, GLsizeiptr length, GLbitfield) {
  return mapRange(target, offset, length);
}
FAKEGL_EXPORT GLboolean fakeglAnswer_glUnmapBuffer(GLenum target) {
  std::lock_guard<std::mutex> lock(mutex);
  Mapping *m = mappingOf(target);
  if (!m || !m->mapped) return GL_FALSE;
  m->mapped = false;
  return GL_TRUE;
}
FAKEGL_EXPORT void fakeglAnswer_glGetBufferPointerv(GLenum target, GLenum pname, void **out) {
  mappedPointer(target, pname, out);
}
FAKEGL_EXPORT void fakeglAnswer_glGetBufferPointervARB(GLenum target, GLenum pname, void **out) {
  mappedPointer(target, pname, out);
}
FAKEGL_EXPORT void fakeglAnswer_glGetBufferParameteriv(GLenum target, GLenum pname, GLint *out) {
  std::lock_guard<std::mutex> lock(mutex);
  Mapping *m = mappingOf(target);
  if (!m || !out) return;
  if (pname == GL_BUFFER_SIZE) *out = GLint(m->bytes.size());
  if (pname == GL_BUFFER_MAPPED) *out = m->mapped;
  if (pname == GL_BUFFER_MAP_OFFSET) *out = m->mapped ? GLint(m->offset) : 0;
  if (pname == GL_BUFFER_MAP_LENGTH) *out = m->mapped ? GLint(m->length) : 0;
}
FAKEGL_EXPORT void fakeglAnswer_glGetVertexAttribiv(GLuint index, GLenum pname, GLint *out) {
  answerKeyed(index, pname, out);
}
FAKEGL_EXPORT void fakeglAnswer_glGetVertexAttribPointerv(GLuint index, GLenum pname, void **out) {
  std::lock_guard<std::mutex> lock(mutex);
  auto known = control.keyed.find({index, pname});
  if (known != control.keyed.end() && !known->second.empty() && out)
    *out = reinterpret_cast<void *>(uintptr_t(uint32_t(known->second[0])));
}

}  // extern "C"
