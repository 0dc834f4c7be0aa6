// A recording fake GL library for tests. Every entry point of the proxy's load list is a stub
// that appends one line, "name(arg, arg, ...)", to a call log and answers from a control table;
// the rest return zero. The variants (libtarvo_fakegl*.so in TARVO_FAKEGL_DIR) differ only in
// the names they export:
//   libtarvo_fakegl.so                      every name of the list but the placeholders
//   libtarvo_fakegl_nocalllist.so           ... without glCallList
//   libtarvo_fakegl_nodrawpixels.so         ... without glDrawPixels
//   libtarvo_fakegl_nodrawbuffers.so        ... without glDrawBuffers
//   libtarvo_fakegl_nocreatecontextattribs.so ... without glXCreateContextAttribsARB
//   libtarvo_fakegl_errorhandler.so         ... and XSetErrorHandler, which records its handler
//   libtarvo_fakegl_crash.so                sets create=crash when it is loaded (for processes
//                                           that only choose a library path)
// None links libX11. All share one control table and one log, kept in libtarvo_fakegl_control.so,
// which tests link to call the functions below.
//
// Log lines: integers in decimal, GLenum values as 0x%04X, floating point as %g, strings
// (const char *) quoted, other pointers as 0x... or NULL; the fixed-size vector calls
// (glColor3fv, glVertex4iv ...) print their elements as {a, b, c}.
//
// Inside a process that cannot call these (tarvo), the environment sets the same table when
// the library is loaded:
//   FAKEGL_CONTROL  settings separated by ';' (see fakeglControl)
//   FAKEGL_LOG      a file every log line is also appended to
#pragma once

#include <cstdint>

// What glXCreateContext, glXCreateNewContext and glXCreateContextAttribsARB do.
enum FakeglCreateMode : int {
  kFakeglCreateSucceed = 0,      // a new context handle
  kFakeglCreateFail = 1,         // NULL
  kFakeglCrashCallingThread = 2, // a segmentation fault on the calling thread
  kFakeglCrashOwnThread = 3,     // a segmentation fault on a thread of the library's own
};

// String keys beyond glGetString's names.
constexpr uint32_t kFakeglGlxExtensions = 0x10000;    // glXQueryExtensionsString
constexpr uint32_t kFakeglGlxServerString = 0x20000;  // | name: glXQueryServerString

extern "C" {
// Empties the log and sets every control back to its default: contexts are created, direct and
// made current; no integer, string or FB config is known (glGet* writes nothing, glGetString
// returns NULL); no trap handler recorded.
void fakeglReset();
// The values glGetIntegerv writes for pname (count at most 16; 0 forgets the pname).
// glGetBooleanv, glGetFloatv and glGetDoublev answer the same values converted.
void fakeglSetIntegers(uint32_t pname, const int32_t *values, uint32_t count);
// The text glGetString(name) (or a kFakegl... key) returns; NULL: it returns NULL.
void fakeglSetString(uint32_t name, const char *text);
void fakeglSetCreateContext(int mode);
void fakeglSetIsDirect(int isDirect);
// What glXMakeCurrent and glXMakeContextCurrent return (1 or 0).
void fakeglSetMakeCurrent(int result);
// glXGetFBConfigs gives count configs (at most 64); glXGetFBConfigAttrib answers the attributes
// set here for a config index and GLX_BAD_ATTRIBUTE (2) for others.
void fakeglSetFbConfigCount(uint32_t count);
void fakeglSetFbConfigAttrib(uint32_t config, int attribute, int value);
// Applies settings in the environment's form, separated by ';':
//   create=succeed|fail|crash|crash-thread   direct=0|1   makecurrent=0|1
//   integer.<pname>=<v>[,<v>...]   string.<key>=<text>   fbconfigs=<n>
//   fbconfig.<index>.<attribute>=<value>
// Numbers in C syntax (0x0D33). 0 when every setting was understood, else -1 (the rest are
// still applied).
int fakeglControl(const char *settings);
// The log so far, every line ending in '\n'; valid until the next call into the fake.
const char *fakeglLog();
void fakeglClearLog();
// The handler last given to the exported XSetErrorHandler, or NULL.
void *fakeglTrapHandler();
// The values (count at most 64; 0 forgets them) that the gets of two keys write for (key,
// pname), converted to their type: glGetMap*v (target, query), glGetLight*v (light, pname),
// glGetMaterial*v (face, pname), glGetTexEnv*v, glGetTexGen*v, glGetTexParameter*v and
// glGetTexLevelParameter*v (target, pname; any level); glGetPixelMap*v and glGetClipPlane
// (map or plane, 0). The first value is also the answer of glIsEnabled (cap, kFakeglIsEnabled),
// glIsList (list, kFakeglIsList), glIsTexture (texture, kFakeglIsTexture), glGetError (0,
// kFakeglError) and glGenLists (0, kFakeglGenLists). Environment form:
// keyed.<key>.<pname>=<v>[,<v>...].
void fakeglSetKeyedValues(uint32_t key, uint32_t pname, const int32_t *values, uint32_t count);
// A library's refusal: every call of that name (as logged) leaves the GL error (0 forgets the
// name) unless one is pending already; glGetError answers the pending error once, else the
// value of (0, kFakeglError). Environment form: refuse.<name>=<error>.
void fakeglSetRefusal(const char *call, uint32_t error);
// glCreateProgram and glCreateShader return id, id + 1, ... from now on (0: they return 0, as
// after a reset).
void fakeglSetNextObject(uint32_t id);
}
constexpr uint32_t kFakeglIsEnabled = 0x30000;
constexpr uint32_t kFakeglIsList = 0x30001;
constexpr uint32_t kFakeglIsTexture = 0x30002;
constexpr uint32_t kFakeglError = 0x30003;
constexpr uint32_t kFakeglGenLists = 0x30004;
extern "C" {
// The byte glReadPixels and glGetTexImage write over every pixel of their image (-1, the
// default: they write nothing). They pack as a library does: rows of GL_PACK_ROW_LENGTH pixels
// (else the width) aligned to GL_PACK_ALIGNMENT, after GL_PACK_SKIP_ROWS rows and
// GL_PACK_SKIP_PIXELS pixels, as last set by glPixelStorei; glGetTexImage's size is the level's
// GL_TEXTURE_WIDTH and GL_TEXTURE_HEIGHT of the keyed table (target, pname). Formats of 1 to 4
// components, types of 1, 2 or 4 bytes.
void fakeglSetPixelFill(int byte);
}
// Select buffers are kept per current context (glXMakeCurrent, glXMakeContextCurrent): in
// GL_SELECT glSelectBuffer is refused. glRenderMode leaving GL_SELECT writes one hit record
// {1, 0, 0, name} into the context's buffer, name the low 32 bits of the context handle, and
// returns 1 (-1 when the buffer holds fewer than 4 entries); otherwise it returns 0.
// Feedback buffers likewise (refused in GL_FEEDBACK and for an unknown vertex type);
// glRenderMode leaving GL_FEEDBACK writes one GL_PASS_THROUGH_TOKEN and returns 1. Between
// glBegin and glEnd the context refuses glSelectBuffer, glFeedbackBuffer and glRenderMode
// (which returns 0) and glGetIntegerv writes nothing; elsewhere glGetIntegerv(GL_RENDER_MODE)
// answers the context's mode unless fakeglSetIntegers set it.
// glXCreatePbuffer and glXCreateGLXPixmap return new ids from 0x700001 on.
// Query objects and GLSL objects. glGenQueries writes first, first + 1, ... with first the value
// of (0, kFakeglGenQueries) (nothing when none is set), glGenTextures likewise from
// (0, kFakeglGenTextures) and glGenFramebuffers from (0, kFakeglGenFramebuffers); glIsQuery (id, kFakeglIsQuery) and
// glIsProgram (program, kFakeglIsProgram) answer their first value; glGetQueryiv (target,
// pname), glGetProgramivARB (target, pname), glGetQueryObjectiv and uiv (id, pname), glGetShaderiv, glGetProgramiv and
// glGetObjectParameteri/fvARB (object, pname) write the keyed values; glGetUniformLocation and
// glGetAttribLocation answer the value of (program, kFakeglLocation). glGetActiveUniform and
// glGetActiveAttrib write the string of kFakeglActiveName (cut to the buffer, NUL-terminated)
// with size and type the values of (program, kFakeglActive); the info logs and
// glGetShaderSource write the string of kFakeglObjectText likewise; glGetAttachedObjectsARB
// writes the values of (container, kFakeglAttached), at most the count it is given.
constexpr uint32_t kFakeglGenQueries = 0x30005;
constexpr uint32_t kFakeglIsQuery = 0x30006;
constexpr uint32_t kFakeglIsProgram = 0x30007;
constexpr uint32_t kFakeglLocation = 0x30008;
constexpr uint32_t kFakeglActive = 0x30009;
constexpr uint32_t kFakeglAttached = 0x3000A;
constexpr uint32_t kFakeglGenTextures = 0x3000B;
constexpr uint32_t kFakeglGenFramebuffers = 0x3000C;
constexpr uint32_t kFakeglActiveName = 0x40000;
constexpr uint32_t kFakeglObjectText = 0x40001;
extern "C" {
// A buffer of size bytes (byte k holds k + 1; 0 forgets it) that the fake maps for the target:
// glMapBuffer maps it whole, glMapBufferRange the range inside it (NULL outside it or while
// mapped), glUnmapBuffer ends the mapping (GL_TRUE when one was made); glGetBufferPointerv(ARB)
// of GL_BUFFER_MAP_POINTER gives the mapped range's start or NULL, and glGetBufferParameteriv
// answers GL_BUFFER_SIZE, GL_BUFFER_MAPPED, GL_BUFFER_MAP_OFFSET and GL_BUFFER_MAP_LENGTH. A
// target without one: nothing is mapped or written, as before. The bytes sit in a heap block of
// exactly their size (AddressSanitizer reports a read past the mapping).
void fakeglSetBufferMapping(uint32_t target, uint32_t size);
}
// glGetVertexAttribiv writes the keyed values of (index, pname); glGetVertexAttribPointerv writes
// the first as a pointer value.

extern "C" {
// Reads through pointers as a library does (fakeglreads.cpp): the pixel images of the image
// calls by the unpack state and the pixel-store rules (none while a pixel unpack buffer is
// bound), the names of glCallLists, and the vertices of the enabled client arrays (those set
// while GL_TEXTURE0 is the client texture unit; none from a buffer object) that glArrayElement,
// glDrawArrays, glDrawElements and glDrawRangeElements draw. While checking is on (off after a
// reset) every byte is read, and a read that starts inside a live region must end inside it:
// else the process aborts naming the call. Live regions are the test's (cleared by the test
// only); fakeglResetReads forgets the unpack state, bindings and arrays (fakeglReset does too).
void fakeglCheckReads(int on);
void fakeglAddLiveRegion(const void *first, uint64_t size);
void fakeglClearLiveRegions();
void fakeglResetReads();
// The bytes the last image call read through its pointer by the unpack state it had (copied to
// out, at most room); their count. None after a call through a pixel unpack buffer or NULL.
uint64_t fakeglLastImage(uint8_t *out, uint64_t room);
}
