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
constexpr int kGlxBadAttribute = 2;

struct Control {
  int createMode = kFakeglCreateSucceed;
  int isDirect = 1;
  int makeCurrent = 1;
  std::map<uint32_t, std::vector<int32_t>> integers;
  std::map<uint32_t, std::string> strings;
  uint32_t fbConfigCount = 0;
  std::map<std::pair<uint32_t, int>, int> fbConfigAttribs;
  void *trapHandler = nullptr;
};

std::mutex mutex;  // guards everything below
Control control;
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
    size_t start = 0;
    while (start <= value.size()) {
      size_t comma = value.find(',', start);
      if (comma == std::string::npos) comma = value.size();
      long long item = 0;
      if (!parseNumber(value.substr(start, comma - start), &item)) return false;
      values.push_back(static_cast<int32_t>(item));
      start = comma + 1;
    }
    fakeglSetIntegers(static_cast<uint32_t>(number), values.data(), static_cast<uint32_t>(values.size()));
    return true;
  }
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

FAKEGL_EXPORT Bool fakeglAnswer_glXMakeCurrent(Display *, GLXDrawable, GLXContext) {
  std::lock_guard<std::mutex> lock(mutex);
  return control.makeCurrent;
}

FAKEGL_EXPORT Bool fakeglAnswer_glXMakeContextCurrent(Display *, GLXDrawable, GLXDrawable, GLXContext) {
  std::lock_guard<std::mutex> lock(mutex);
  return control.makeCurrent;
}

FAKEGL_EXPORT void fakeglAnswer_glGetIntegerv(GLenum pname, GLint *params) { answerValues(pname, params); }
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

}  // extern "C"
