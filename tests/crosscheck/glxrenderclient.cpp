// A GL client on the system's GL library that sends one render command of each wire layout
// (run with LIBGL_ALWAYS_INDIRECT=1, so that every call becomes GLX protocol). For each call it
// prints the render opcode and the values it passed, each as "UNIT:HEX" (the bytes in this
// machine's order, UNIT 1 for bytes that no swap may touch: names, pixels, byte vectors).
// glxcapture.py finds these values in the captured commands.
#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string hex(const void *p, size_t n) {
  std::string out;
  char b[3];
  for (size_t k = 0; k < n; k++) {
    snprintf(b, sizeof b, "%02x", static_cast<const unsigned char *>(p)[k]);
    out += b;
  }
  return out;
}

// One value as the client passes it.
struct Value {
  unsigned unit;
  std::string bytes;
};
template <typename T> Value v(T x) { return {sizeof(T) == 1 ? 1u : unsigned(sizeof(T)), hex(&x, sizeof x)}; }
Value bytes(const void *p, size_t n) { return {1, hex(p, n)}; }
template <typename T, size_t N> std::vector<Value> all(const T (&a)[N]) {
  std::vector<Value> out;
  for (const T &x : a) out.push_back(v(x));
  return out;
}
using V = std::vector<Value>;
V operator+(V a, const V &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void expect(unsigned opcode, const std::vector<Value> &values) {
  printf("%u", opcode);
  for (const Value &x : values) printf(" %u:%s", x.unit, x.bytes.c_str());
  printf("\n");
}

template <typename F> F proc(const char *name) {
  return reinterpret_cast<F>(glXGetProcAddressARB(reinterpret_cast<const GLubyte *>(name)));
}

// Pixel bytes of the given count, all at or above 0x80 so that no small number can be found
// among them.
std::vector<GLubyte> pixels(size_t n) {
  std::vector<GLubyte> out(n);
  for (size_t k = 0; k < n; k++) out[k] = GLubyte(0x80 + (k * 13) % 0x7f);
  return out;
}

void sendCommands() {
  const GLint one = 1;  // the unpack alignment each pixel command carries
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);

  { glCallList(0x11223301); expect(1, V{v(GLuint(0x11223301))}); }
  { GLshort names[] = {0x1234, 0x5678, 0x1abc}; glCallLists(3, GL_SHORT, names);
    expect(2, V{v(GLint(3)), v(GLenum(GL_SHORT))} + all(names)); }
  { auto bits = pixels(2); glBitmap(3, 2, 1.25f, 2.75f, 3.5f, 4.125f, bits.data());
    // (The library repacks the bitmap's bits: they are left out, and no swap may change them.)
    expect(5, V{v(one), v(GLint(3)), v(GLint(2)), v(1.25f), v(2.75f), v(3.5f), v(4.125f)}); }
  { GLdouble c[] = {0.1, 0.2, 0.3}; glColor3dv(c); expect(7, all(c)); }
  { GLfloat c[] = {0.15f, 0.35f, 0.55f}; glColor3fv(c); expect(8, all(c)); }
  { GLshort c[] = {0x1122, 0x3344, 0x5566}; glColor3sv(c); expect(10, all(c)); }
  { GLdouble c[] = {0.11, 0.22, 0.33, 0.44}; glColor4dv(c); expect(15, all(c)); }
  { GLfloat c[] = {0.1f, 0.2f, 0.3f, 0.4f}; glColor4fv(c); expect(16, all(c)); }
  { GLubyte c[] = {0xa1, 0xa2, 0xa3, 0xa4}; glColor4ubv(c); expect(19, V{bytes(c, 4)}); }
  { GLdouble n[] = {0.12, 0.23, 0.34}; glNormal3dv(n); expect(29, all(n)); }
  { GLshort n[] = {0x1213, 0x1415, 0x1617}; glNormal3sv(n); expect(32, all(n)); }
  { GLshort p[] = {0x2122, 0x2324}; glVertex2sv(p); expect(68, all(p)); }
  { GLshort p[] = {0x3132, 0x3334, 0x3536, 0x3738}; glVertex4sv(p); expect(76, all(p)); }
  { GLdouble e[] = {1.5, 2.5, 3.25, 4.75}; glClipPlane(GL_CLIP_PLANE0, e);
    expect(77, all(e) + V{v(GLenum(GL_CLIP_PLANE0))}); }
  { glLineStipple(3, 0xa5c3); expect(94, V{v(GLint(3)), v(GLushort(0xa5c3))}); }
  { auto mask = pixels(128); glPolygonStipple(mask.data()); expect(102, V{v(one), bytes(mask.data(), 128)}); }
  { glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    expect(107, V{v(GLenum(GL_TEXTURE_2D)), v(GLenum(GL_TEXTURE_MIN_FILTER)), v(GLint(GL_NEAREST))}); }
  { auto p = pixels(60); glTexImage2D(GL_TEXTURE_2D, 0, 4, 3, 5, 0, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    expect(110, V{v(one), v(GLenum(GL_TEXTURE_2D)), v(GLint(4)), v(GLint(3)), v(GLint(5)), v(GLenum(GL_RGBA)),
                 v(GLenum(GL_UNSIGNED_BYTE)), bytes(p.data(), 60)}); }
  { glTexGend(GL_S, GL_TEXTURE_GEN_MODE, 1.2345);
    expect(115, V{v(GLenum(GL_S)), v(GLenum(GL_TEXTURE_GEN_MODE)), v(1.2345)}); }
  { GLdouble plane[] = {0.61, 0.62, 0.63, 0.64}; glTexGendv(GL_T, GL_OBJECT_PLANE, plane);
    expect(116, V{v(GLenum(GL_T)), v(GLenum(GL_OBJECT_PLANE))} + all(plane)); }
  { glClearDepth(0.625); expect(132, V{v(0.625)}); }
  { GLdouble points[] = {1.1, 1.2, 1.3, 1.4, 1.5, 1.6}; glMap1d(GL_MAP1_VERTEX_3, 0.25, 0.75, 3, 2, points);
    expect(143, V{v(0.25), v(0.75), v(GLenum(GL_MAP1_VERTEX_3)), v(GLint(2))} + all(points)); }
  { GLdouble points[12];
    for (int k = 0; k < 12; k++) points[k] = 2.0 + k / 16.0;
    glMap2d(GL_MAP2_VERTEX_3, 0.125, 0.875, 3, 2, 0.375, 0.625, 6, 2, points);
    expect(145, V{v(0.125), v(0.875), v(0.375), v(0.625), v(GLenum(GL_MAP2_VERTEX_3)), v(GLint(2)), v(GLint(2))} +
                    all(points)); }
  { glMapGrid2d(5, 0.1, 0.9, 7, 0.2, 0.8); expect(149, V{v(0.1), v(0.9), v(0.2), v(0.8), v(GLint(5)), v(GLint(7))}); }
  { glMapGrid2f(5, 0.15f, 0.95f, 7, 0.25f, 0.85f);
    expect(150, V{v(GLint(5)), v(0.15f), v(0.95f), v(GLint(7)), v(0.25f), v(0.85f)}); }
  { glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    expect(160, V{v(GLenum(GL_SRC_ALPHA)), v(GLenum(GL_ONE_MINUS_SRC_ALPHA))}); }
  { GLushort map[] = {0x1357, 0x2468}; glPixelMapusv(GL_PIXEL_MAP_I_TO_R, 2, map);
    expect(170, V{v(GLenum(GL_PIXEL_MAP_I_TO_R)), v(GLint(2))} + all(map)); }
  { glCopyPixels(11, 22, 33, 44, GL_COLOR);
    expect(172, V{v(GLint(11)), v(GLint(22)), v(GLint(33)), v(GLint(44)), v(GLenum(GL_COLOR))}); }
  { auto p = pixels(24); glDrawPixels(2, 3, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    expect(173, V{v(one), v(GLint(2)), v(GLint(3)), v(GLenum(GL_RGBA)), v(GLenum(GL_UNSIGNED_BYTE)), bytes(p.data(), 24)}); }
  { glDepthRange(0.15, 0.85); expect(174, V{v(0.15), v(0.85)}); }
  { GLdouble m[16];
    for (int k = 0; k < 16; k++) m[k] = 3.0 + k / 32.0;
    glLoadMatrixd(m); expect(178, all(m)); }
  { GLfloat m[16];
    for (int k = 0; k < 16; k++) m[k] = 5.0f + float(k) / 64.0f;
    glMultMatrixf(m); expect(180, all(m)); }
  { glOrtho(-1.25, 1.5, -2.25, 2.5, 0.0625, 9.75);
    expect(182, V{v(-1.25), v(1.5), v(-2.25), v(2.5), v(0.0625), v(9.75)}); }
  { glViewport(11, 22, 333, 444); expect(191, V{v(GLint(11)), v(GLint(22)), v(GLint(333)), v(GLint(444))}); }
  { GLdouble t[] = {0.5}; glMultiTexCoord1dv(GL_TEXTURE1, t); expect(198, all(t) + V{v(GLenum(GL_TEXTURE1))}); }
  { GLdouble t[] = {0.51, 0.52}; glMultiTexCoord2dv(GL_TEXTURE1, t); expect(202, all(t) + V{v(GLenum(GL_TEXTURE1))}); }
  { GLshort t[] = {0x4142, 0x4344}; glMultiTexCoord2sv(GL_TEXTURE2, t); expect(205, V{v(GLenum(GL_TEXTURE2))} + all(t)); }
  { GLdouble t[] = {0.71, 0.72, 0.73}; glMultiTexCoord3dv(GL_TEXTURE3, t); expect(206, all(t) + V{v(GLenum(GL_TEXTURE3))}); }
  { auto data = pixels(8);
    glCompressedTexImage1D(GL_TEXTURE_1D, 0, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 4, 0, 8, data.data());
    expect(214, V{v(GLenum(GL_TEXTURE_1D)), v(GLenum(GL_COMPRESSED_RGBA_S3TC_DXT1_EXT)), v(GLint(4)), v(GLint(8)),
                 bytes(data.data(), 8)}); }
  { auto data = pixels(16);
    glCompressedTexImage2D(GL_TEXTURE_2D, 0, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 4, 8, 0, 16, data.data());
    expect(215, V{v(GLenum(GL_TEXTURE_2D)), v(GLenum(GL_COMPRESSED_RGBA_S3TC_DXT1_EXT)), v(GLint(4)), v(GLint(8)),
                 v(GLint(16)), bytes(data.data(), 16)}); }
  { auto data = pixels(24);
    glCompressedTexImage3D(GL_TEXTURE_3D, 0, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 4, 8, 3, 0, 24, data.data());
    expect(216, V{v(GLenum(GL_TEXTURE_3D)), v(GLenum(GL_COMPRESSED_RGBA_S3TC_DXT1_EXT)), v(GLint(4)), v(GLint(8)),
                 v(GLint(3)), v(GLint(24)), bytes(data.data(), 24)}); }
  { auto data = pixels(8);
    glCompressedTexSubImage1D(GL_TEXTURE_1D, 0, 12, 4, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 8, data.data());
    expect(217, V{v(GLenum(GL_TEXTURE_1D)), v(GLint(12)), v(GLint(4)), v(GLenum(GL_COMPRESSED_RGBA_S3TC_DXT1_EXT)),
                 v(GLint(8)), bytes(data.data(), 8)}); }
  { auto data = pixels(7);
    glCompressedTexSubImage3D(GL_TEXTURE_3D, 0, 11, 12, 13, 4, 5, 6, GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 7, data.data());
    expect(219, V{v(GLenum(GL_TEXTURE_3D)), v(GLint(11)), v(GLint(12)), v(GLint(13)), v(GLint(4)), v(GLint(5)),
                 v(GLint(6)), v(GLenum(GL_COMPRESSED_RGBA_S3TC_DXT1_EXT)), v(GLint(7)), bytes(data.data(), 7)}); }
  { auto table = pixels(9); glColorTable(GL_COLOR_TABLE, GL_RGBA, 3, GL_RGB, GL_UNSIGNED_BYTE, table.data());
    expect(2053, V{v(one), v(GLenum(GL_COLOR_TABLE)), v(GLenum(GL_RGBA)), v(GLint(3)), v(GLenum(GL_RGB)),
                  v(GLenum(GL_UNSIGNED_BYTE)), bytes(table.data(), 9)}); }
  { GLfloat c[] = {0.81f, 0.82f, 0.83f, 0.84f}; glBlendColor(c[0], c[1], c[2], c[3]); expect(4096, all(c)); }
  { auto p = pixels(24); glTexSubImage2D(GL_TEXTURE_2D, 0, 5, 6, 2, 3, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    expect(4100, V{v(one), v(GLenum(GL_TEXTURE_2D)), v(GLint(5)), v(GLint(6)), v(GLint(2)), v(GLint(3)),
                  v(GLenum(GL_RGBA)), v(GLenum(GL_UNSIGNED_BYTE)), bytes(p.data(), 24)}); }
  { auto f = pixels(9); glConvolutionFilter1D(GL_CONVOLUTION_1D, GL_RGBA, 3, GL_RGB, GL_UNSIGNED_BYTE, f.data());
    // (The library sends the unused height of a 1D filter as 1.)
    expect(4101, V{v(one), v(GLint(1)), v(GLenum(GL_CONVOLUTION_1D)), v(GLenum(GL_RGBA)), v(GLint(3)), v(GLenum(GL_RGB)),
                  v(GLenum(GL_UNSIGNED_BYTE)), bytes(f.data(), 9)}); }
  { glHistogram(GL_HISTOGRAM, 32, GL_RGBA, GL_TRUE);
    expect(4110, V{v(GLenum(GL_HISTOGRAM)), v(GLint(32)), v(GLenum(GL_RGBA)), bytes("\1", 1)}); }
  { glMinmax(GL_MINMAX, GL_RGB, GL_TRUE); expect(4111, V{v(GLenum(GL_MINMAX)), v(GLenum(GL_RGB)), bytes("\1", 1)}); }
  { auto p = pixels(120); glTexImage3D(GL_TEXTURE_3D, 0, 4, 2, 3, 5, 0, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    // (The library sends the unused fourth size as 1.)
    expect(4114, V{v(one), v(GLint(1)), v(GLenum(GL_TEXTURE_3D)), v(GLint(4)), v(GLint(2)), v(GLint(3)), v(GLint(5)),
                  v(GLenum(GL_RGBA)), v(GLenum(GL_UNSIGNED_BYTE)), bytes(p.data(), 120)}); }
  { auto p = pixels(120); glTexSubImage3D(GL_TEXTURE_3D, 0, 6, 7, 8, 2, 3, 5, GL_RGBA, GL_UNSIGNED_BYTE, p.data());
    // (The library sends the unused fourth offset and size as 1.)
    expect(4115, V{v(one), v(GLint(1)), v(GLint(1)), v(GLenum(GL_TEXTURE_3D)), v(GLint(6)), v(GLint(7)), v(GLint(8)), v(GLint(2)), v(GLint(3)),
                  v(GLint(5)), v(GLenum(GL_RGBA)), v(GLenum(GL_UNSIGNED_BYTE)), bytes(p.data(), 120)}); }
  { glCopyTexSubImage3D(GL_TEXTURE_3D, 9, 11, 12, 13, 14, 15, 16, 17);
    expect(4123, V{v(GLenum(GL_TEXTURE_3D)), v(GLint(9)), v(GLint(11)), v(GLint(12)), v(GLint(13)), v(GLint(14)),
                  v(GLint(15)), v(GLint(16)), v(GLint(17))}); }
  { GLdouble p[] = {6.25, 6.5, 6.75, 7.125};
    proc<PFNGLPROGRAMENVPARAMETER4DVARBPROC>("glProgramEnvParameter4dvARB")(GL_VERTEX_PROGRAM_ARB, 3, p);
    expect(4185, V{v(GLenum(GL_VERTEX_PROGRAM_ARB)), v(GLuint(3))} + all(p)); }
  { GLdouble p[] = {8.25, 8.5, 8.75, 9.125};
    proc<PFNGLPROGRAMPARAMETERS4DVNVPROC>("glProgramParameters4dvNV")(GL_VERTEX_PROGRAM_NV, 5, 1, p);
    expect(4187, V{v(GLenum(GL_VERTEX_PROGRAM_NV)), v(GLuint(5)), v(GLuint(1))} + all(p)); }
  { GLdouble a[] = {10.5, 11.5}; proc<PFNGLVERTEXATTRIB2DVARBPROC>("glVertexAttrib2dvARB")(7, a);
    expect(4198, V{v(GLuint(7))} + all(a)); }
  { GLshort a[] = {0x5152, 0x5354}; proc<PFNGLVERTEXATTRIBS1SVNVPROC>("glVertexAttribs1svNV")(9, 2, a);
    expect(4202, V{v(GLuint(9)), v(GLint(2))} + all(a)); }
  { GLdouble a[] = {12.5, 13.5}; proc<PFNGLVERTEXATTRIBS1DVNVPROC>("glVertexAttribs1dvNV")(10, 2, a);
    expect(4210, V{v(GLuint(10)), v(GLint(2))} + all(a)); }
  { const char program[] = "!!ARBvp1.0\nEND";
    proc<PFNGLPROGRAMSTRINGARBPROC>("glProgramStringARB")(GL_VERTEX_PROGRAM_ARB, GL_PROGRAM_FORMAT_ASCII_ARB,
                                                          GLsizei(strlen(program)), program);
    expect(4217, V{v(GLenum(GL_VERTEX_PROGRAM_ARB)), v(GLenum(GL_PROGRAM_FORMAT_ASCII_ARB)), v(GLint(strlen(program))),
                  bytes(program, strlen(program))}); }
  { GLfloat p[] = {14.25f, 14.5f, 14.75f, 15.125f};
    proc<PFNGLPROGRAMNAMEDPARAMETER4FVNVPROC>("glProgramNamedParameter4fvNV")(0x1234567, 5, reinterpret_cast<const GLubyte *>("light"), p);
    expect(4218, V{v(GLuint(0x1234567)), v(GLint(5))} + all(p) + V{bytes("light", 5)}); }
  { GLdouble p[] = {16.25, 16.5, 16.75, 17.125};
    proc<PFNGLPROGRAMNAMEDPARAMETER4DVNVPROC>("glProgramNamedParameter4dvNV")(0x2345678, 5, reinterpret_cast<const GLubyte *>("shine"), p);
    expect(4219, all(p) + V{v(GLuint(0x2345678)), v(GLint(5)), bytes("shine", 5)}); }
  { proc<PFNGLDEPTHBOUNDSEXTPROC>("glDepthBoundsEXT")(0.3125, 0.6875); expect(4229, V{v(0.3125), v(0.6875)}); }
  // DrawArrays with arrays of two item sizes (the library chooses whether to send it as one
  // command).
  { static const GLubyte colours[] = {0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xcb, 0xcc};
    static const GLfloat vertices[] = {18.25f, 18.5f, 18.75f, 19.25f, 19.5f, 19.75f, 20.25f, 20.5f, 20.75f};
    glEnableClientState(GL_COLOR_ARRAY);
    glEnableClientState(GL_VERTEX_ARRAY);
    glColorPointer(4, GL_UNSIGNED_BYTE, 0, colours);
    glVertexPointer(3, GL_FLOAT, 0, vertices);
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    V values{v(GLint(3)), v(GLint(2)), v(GLenum(GL_TRIANGLES)), v(GLenum(GL_UNSIGNED_BYTE)), v(GLint(4)),
             v(GLenum(GL_COLOR_ARRAY)), v(GLenum(GL_FLOAT)), v(GLint(3)), v(GLenum(GL_VERTEX_ARRAY))};
    for (int k = 0; k < 3; k++) values = values + V{bytes(colours + 4 * k, 4), v(vertices[3 * k]),
                                                                     v(vertices[3 * k + 1]), v(vertices[3 * k + 2])};
    expect(193, values); }
}

// The server may refuse commands it cannot execute (it has no GL of its own): only what the
// library sends counts here.
int ignoreErrors(Display *, XErrorEvent *) { return 0; }

}  // namespace

int main() {
  XSetErrorHandler(ignoreErrors);
  Display *dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    fprintf(stderr, "cannot open the display\n");
    return 2;
  }
  int attributes[] = {GLX_RGBA, GLX_RED_SIZE, 1, GLX_GREEN_SIZE, 1, GLX_BLUE_SIZE, 1, None};
  XVisualInfo *visual = glXChooseVisual(dpy, DefaultScreen(dpy), attributes);
  if (!visual) {
    fprintf(stderr, "no RGBA visual\n");
    return 2;
  }
  Window root = RootWindow(dpy, visual->screen);
  XSetWindowAttributes wa{};
  wa.colormap = XCreateColormap(dpy, root, visual->visual, AllocNone);
  Window window = XCreateWindow(dpy, root, 0, 0, 64, 64, 0, visual->depth, InputOutput, visual->visual, CWColormap, &wa);
  GLXContext context = glXCreateContext(dpy, visual, nullptr, False);
  if (!context || !glXMakeCurrent(dpy, window, context)) {
    fprintf(stderr, "no indirect context\n");
    return 2;
  }
  sendCommands();
  glFinish();
  glXMakeCurrent(dpy, None, nullptr);
  glXDestroyContext(dpy, context);
  XDestroyWindow(dpy, window);
  XFree(visual);
  XCloseDisplay(dpy);
  return 0;
}
