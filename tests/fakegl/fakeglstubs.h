// What the generated entry points of the fake GL library use from its control library: the log
// line they build and the answers of the entry points that do more than return zero.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <GL/glxext.h>

#include <cstdio>
#include <string>

#include "fakegl.h"

#define FAKEGL_EXPORT __attribute__((visibility("default")))

// One call's line: "name(" + the arguments + ")"; end() appends it to the log.
class FAKEGL_EXPORT FakeglLine {
 public:
  explicit FakeglLine(const char *name) : text_(name) { text_ += '('; }
  template <typename T>
  void arg(T value) {
    if constexpr (std::is_floating_point_v<T>) {
      add("%g", static_cast<double>(value));
    } else if constexpr (std::is_pointer_v<T>) {
      pointer(reinterpret_cast<const void *>(value));
    } else if constexpr (std::is_signed_v<T>) {
      add("%lld", static_cast<long long>(value));
    } else {
      add("%llu", static_cast<unsigned long long>(value));
    }
  }
  void arg(const char *text);
  void enumeration(GLenum value) { add("0x%04X", value); }
  // The first count elements of a fixed-size vector argument.
  template <typename T>
  void values(const T *v, int count) {
    if (!v) return pointer(nullptr);
    separate();
    text_ += '{';
    for (int i = 0; i < count; i++) {
      if (i) text_ += ", ";
      char number[48];
      if constexpr (std::is_floating_point_v<T>)
        snprintf(number, sizeof number, "%g", static_cast<double>(v[i]));
      else
        snprintf(number, sizeof number, "%lld", static_cast<long long>(v[i]));
      text_ += number;
    }
    text_ += '}';
  }
  void end();

 private:
  void separate() {
    if (!first_) text_ += ", ";
    first_ = false;
  }
  void pointer(const void *p);
  void add(const char *format, ...) __attribute__((format(printf, 2, 3)));
  std::string text_;
  bool first_ = true;
};

extern "C" {
FAKEGL_EXPORT GLXContext fakeglAnswer_glXCreateContext(Display *, XVisualInfo *, GLXContext, Bool);
FAKEGL_EXPORT GLXContext fakeglAnswer_glXCreateNewContext(Display *, GLXFBConfig, int, GLXContext, Bool);
FAKEGL_EXPORT GLXContext fakeglAnswer_glXCreateContextAttribsARB(Display *, GLXFBConfig, GLXContext, Bool,
                                                                 const int *);
FAKEGL_EXPORT Bool fakeglAnswer_glXIsDirect(Display *, GLXContext);
FAKEGL_EXPORT Bool fakeglAnswer_glXMakeCurrent(Display *, GLXDrawable, GLXContext);
FAKEGL_EXPORT Bool fakeglAnswer_glXMakeContextCurrent(Display *, GLXDrawable, GLXDrawable, GLXContext);
FAKEGL_EXPORT void fakeglAnswer_glGetIntegerv(GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetBooleanv(GLenum, GLboolean *);
FAKEGL_EXPORT void fakeglAnswer_glGetFloatv(GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetDoublev(GLenum, GLdouble *);
FAKEGL_EXPORT const GLubyte *fakeglAnswer_glGetString(GLenum);
FAKEGL_EXPORT const char *fakeglAnswer_glXQueryExtensionsString(Display *, int);
FAKEGL_EXPORT const char *fakeglAnswer_glXQueryServerString(Display *, int, int);
FAKEGL_EXPORT GLXFBConfig *fakeglAnswer_glXGetFBConfigs(Display *, int, int *);
FAKEGL_EXPORT int fakeglAnswer_glXGetFBConfigAttrib(Display *, GLXFBConfig, int, int *);
// Answered from the keyed values table.
FAKEGL_EXPORT void fakeglAnswer_glGetMapdv(GLenum, GLenum, GLdouble *);
FAKEGL_EXPORT void fakeglAnswer_glGetMapfv(GLenum, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetMapiv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetLightfv(GLenum, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetLightiv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetMaterialfv(GLenum, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetMaterialiv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexEnvfv(GLenum, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexEnviv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexGendv(GLenum, GLenum, GLdouble *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexGenfv(GLenum, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexGeniv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexParameterfv(GLenum, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexParameteriv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexLevelParameterfv(GLenum, GLint, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexLevelParameteriv(GLenum, GLint, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetPixelMapfv(GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glGetPixelMapuiv(GLenum, GLuint *);
FAKEGL_EXPORT void fakeglAnswer_glGetPixelMapusv(GLenum, GLushort *);
FAKEGL_EXPORT void fakeglAnswer_glGetClipPlane(GLenum, GLdouble *);
FAKEGL_EXPORT GLenum fakeglAnswer_glGetError();
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsEnabled(GLenum);
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsList(GLuint);
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsTexture(GLuint);
FAKEGL_EXPORT GLuint fakeglAnswer_glGenLists(GLsizei);
// Pack state, images written as packed, the render mode and select buffers per current context.
FAKEGL_EXPORT void fakeglAnswer_glPixelStorei(GLenum, GLint);
FAKEGL_EXPORT void fakeglAnswer_glReadPixels(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glGetTexImage(GLenum, GLint, GLenum, GLenum, GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glSelectBuffer(GLsizei, GLuint *);
FAKEGL_EXPORT GLint fakeglAnswer_glRenderMode(GLenum);
FAKEGL_EXPORT void fakeglAnswer_glFeedbackBuffer(GLsizei, GLenum, GLfloat *);
FAKEGL_EXPORT void fakeglAnswer_glBegin(GLenum);
FAKEGL_EXPORT void fakeglAnswer_glEnd();
FAKEGL_EXPORT GLXPbuffer fakeglAnswer_glXCreatePbuffer(Display *, GLXFBConfig, const int *);
FAKEGL_EXPORT GLXPixmap fakeglAnswer_glXCreateGLXPixmap(Display *, XVisualInfo *, Pixmap);
// Program and shader names (fakeglSetNextObject).
FAKEGL_EXPORT GLuint fakeglAnswer_glCreateProgram();
FAKEGL_EXPORT GLuint fakeglAnswer_glCreateShader(GLenum);
// Query objects and GLSL object state, answered from the keyed values and the strings.
FAKEGL_EXPORT void fakeglAnswer_glGenQueries(GLsizei, GLuint *);
FAKEGL_EXPORT void fakeglAnswer_glGenTextures(GLsizei, GLuint *);
FAKEGL_EXPORT void fakeglAnswer_glGenFramebuffers(GLsizei, GLuint *);
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsQuery(GLuint);
FAKEGL_EXPORT void fakeglAnswer_glGetQueryiv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetQueryObjectiv(GLuint, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetQueryObjectuiv(GLuint, GLenum, GLuint *);
FAKEGL_EXPORT GLboolean fakeglAnswer_glIsProgram(GLuint);
FAKEGL_EXPORT void fakeglAnswer_glGetShaderiv(GLuint, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetProgramiv(GLuint, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetProgramivARB(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetObjectParameterivARB(GLhandleARB, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetObjectParameterfvARB(GLhandleARB, GLenum, GLfloat *);
FAKEGL_EXPORT GLint fakeglAnswer_glGetUniformLocation(GLuint, const GLchar *);
FAKEGL_EXPORT GLint fakeglAnswer_glGetAttribLocation(GLuint, const GLchar *);
FAKEGL_EXPORT void fakeglAnswer_glGetActiveUniform(GLuint, GLuint, GLsizei, GLsizei *, GLint *, GLenum *, GLchar *);
FAKEGL_EXPORT void fakeglAnswer_glGetActiveAttrib(GLuint, GLuint, GLsizei, GLsizei *, GLint *, GLenum *, GLchar *);
FAKEGL_EXPORT void fakeglAnswer_glGetShaderInfoLog(GLuint, GLsizei, GLsizei *, GLchar *);
FAKEGL_EXPORT void fakeglAnswer_glGetProgramInfoLog(GLuint, GLsizei, GLsizei *, GLchar *);
FAKEGL_EXPORT void fakeglAnswer_glGetShaderSource(GLuint, GLsizei, GLsizei *, GLchar *);
FAKEGL_EXPORT void fakeglAnswer_glGetInfoLogARB(GLhandleARB, GLsizei, GLsizei *, GLcharARB *);
FAKEGL_EXPORT void fakeglAnswer_glGetAttachedObjectsARB(GLhandleARB, GLsizei, GLsizei *, GLhandleARB *);
// Buffers mapped from fakeglSetBufferMapping; vertex attribute state from the keyed values.
FAKEGL_EXPORT void *fakeglAnswer_glMapBuffer(GLenum, GLenum);
FAKEGL_EXPORT void *fakeglAnswer_glMapBufferRange(GLenum, GLintptr, GLsizeiptr, GLbitfield);
FAKEGL_EXPORT GLboolean fakeglAnswer_glUnmapBuffer(GLenum);
FAKEGL_EXPORT void fakeglAnswer_glGetBufferPointerv(GLenum, GLenum, void **);
FAKEGL_EXPORT void fakeglAnswer_glGetBufferPointervARB(GLenum, GLenum, void **);
FAKEGL_EXPORT void fakeglAnswer_glGetBufferParameteriv(GLenum, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetVertexAttribiv(GLuint, GLenum, GLint *);
FAKEGL_EXPORT void fakeglAnswer_glGetVertexAttribPointerv(GLuint, GLenum, void **);
// Reads through pointers as a library does (fakeglreads.cpp); the unpack state it reads by.
FAKEGL_EXPORT void fakeglNoteStore(GLenum, GLint);
FAKEGL_EXPORT void fakeglAnswer_glBindBuffer(GLenum, GLuint);
FAKEGL_EXPORT void fakeglAnswer_glBindBufferARB(GLenum, GLuint);
FAKEGL_EXPORT void fakeglAnswer_glTexImage1D(GLenum, GLint, GLint, GLsizei, GLint, GLenum, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glTexImage2D(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum,
                                             const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glTexImage3D(GLenum, GLint, GLint, GLsizei, GLsizei, GLsizei, GLint, GLenum, GLenum,
                                             const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glTexSubImage1D(GLenum, GLint, GLint, GLsizei, GLenum, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glTexSubImage2D(GLenum, GLint, GLint, GLint, GLsizei, GLsizei, GLenum, GLenum,
                                                const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glTexSubImage3D(GLenum, GLint, GLint, GLint, GLint, GLsizei, GLsizei, GLsizei, GLenum,
                                                GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glDrawPixels(GLsizei, GLsizei, GLenum, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glBitmap(GLsizei, GLsizei, GLfloat, GLfloat, GLfloat, GLfloat, const GLubyte *);
FAKEGL_EXPORT void fakeglAnswer_glPolygonStipple(const GLubyte *);
FAKEGL_EXPORT void fakeglAnswer_glColorTable(GLenum, GLenum, GLsizei, GLenum, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glColorSubTable(GLenum, GLsizei, GLsizei, GLenum, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glConvolutionFilter1D(GLenum, GLenum, GLsizei, GLenum, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glConvolutionFilter2D(GLenum, GLenum, GLsizei, GLsizei, GLenum, GLenum,
                                                      const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glSeparableFilter2D(GLenum, GLenum, GLsizei, GLsizei, GLenum, GLenum, const GLvoid *,
                                                    const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glCallLists(GLsizei, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glClientActiveTexture(GLenum);
FAKEGL_EXPORT void fakeglAnswer_glEnableClientState(GLenum);
FAKEGL_EXPORT void fakeglAnswer_glDisableClientState(GLenum);
FAKEGL_EXPORT void fakeglAnswer_glVertexPointer(GLint, GLenum, GLsizei, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glColorPointer(GLint, GLenum, GLsizei, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glSecondaryColorPointer(GLint, GLenum, GLsizei, const void *);
FAKEGL_EXPORT void fakeglAnswer_glTexCoordPointer(GLint, GLenum, GLsizei, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glNormalPointer(GLenum, GLsizei, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glIndexPointer(GLenum, GLsizei, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glFogCoordPointer(GLenum, GLsizei, const void *);
FAKEGL_EXPORT void fakeglAnswer_glEdgeFlagPointer(GLsizei, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glArrayElement(GLint);
FAKEGL_EXPORT void fakeglAnswer_glDrawArrays(GLenum, GLint, GLsizei);
FAKEGL_EXPORT void fakeglAnswer_glDrawElements(GLenum, GLsizei, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglAnswer_glDrawRangeElements(GLenum, GLuint, GLuint, GLsizei, GLenum, const GLvoid *);
FAKEGL_EXPORT void fakeglResetReads();
// The exporting variant's XSetErrorHandler.
FAKEGL_EXPORT void *fakeglRecordTrapHandler(void *handler);
}
