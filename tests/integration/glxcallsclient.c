/* A GL client on the system's GL library (run with LIBGL_ALWAYS_INDIRECT=1) that calls GLX and
 * GL functions with distinct values and prints, one line per call, what each returned and every
 * X error it caused. Run once against a server directly and once through the proxy, the two
 * outputs must be equal. X errors are printed relative to the GLX extension's bases, so that
 * servers with other opcode and error numbers print the same text, and after the call's own line
 * (Xlib may read an error early or late). Values that a server without a GL renderer answers
 * from uninitialised memory (GL state, texture names) are not printed: only that the call
 * returned, and its X errors.
 * Exit status: 0 after the last call, 2 when the set-up fails. */
#define GL_GLEXT_PROTOTYPES 1
#define GLX_GLXEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <GL/glxext.h>
#include <X11/Xlib.h>

#include <stdio.h>
#include <string.h>

static int glxOpcode, glxErrorBase, glxEventBase;
static const char *currentCall = "set-up";
static char pendingErrors[8192];

static int noteError(Display *dpy, XErrorEvent *e) {
  (void)dpy;
  size_t used = strlen(pendingErrors);
  char *at = pendingErrors + used;
  size_t room = sizeof pendingErrors - used;
  if (e->request_code == glxOpcode) {
    if (e->error_code >= glxErrorBase && e->error_code < glxErrorBase + 32)
      snprintf(at, room, "  %s: X error GLX+%d on GLX minor %d\n", currentCall, e->error_code - glxErrorBase,
               e->minor_code);
    else
      snprintf(at, room, "  %s: X error %d on GLX minor %d\n", currentCall, e->error_code, e->minor_code);
  } else {
    snprintf(at, room, "  %s: X error %d on request %d\n", currentCall, e->error_code, e->request_code);
  }
  return 0;
}

/* Every call ends with a round trip; its errors print under its name. */
static void done(Display *dpy) {
  XSync(dpy, False);
  fputs(pendingErrors, stdout);
  pendingErrors[0] = 0;
}

typedef void (*Entry)(void);
static Entry proc(const char *name) { return glXGetProcAddressARB((const GLubyte *)name); }

static void configAttributes(Display *dpy, GLXFBConfig config, const char *label) {
  static const struct {
    int attribute;
    const char *name;
  } wanted[] = {{GLX_BUFFER_SIZE, "buffer"},           {GLX_RED_SIZE, "red"},
                {GLX_GREEN_SIZE, "green"},             {GLX_BLUE_SIZE, "blue"},
                {GLX_ALPHA_SIZE, "alpha"},             {GLX_DEPTH_SIZE, "depth"},
                {GLX_STENCIL_SIZE, "stencil"},         {GLX_DOUBLEBUFFER, "double"},
                {GLX_RENDER_TYPE, "render"},           {GLX_DRAWABLE_TYPE, "drawable"},
                {GLX_X_VISUAL_TYPE, "visualtype"},     {GLX_CONFIG_CAVEAT, "caveat"},
                {GLX_MAX_PBUFFER_WIDTH, "pbufferwidth"}};
  printf("%s:", label);
  for (size_t k = 0; k < sizeof wanted / sizeof wanted[0]; k++) {
    int value = -1;
    int result = glXGetFBConfigAttrib(dpy, config, wanted[k].attribute, &value);
    printf(" %s=%d(%d)", wanted[k].name, value, result);
  }
  printf("\n");
  done(dpy);
}

static void textureObjects(Display *dpy) {
  GLuint names[3] = {0, 0, 0};
  currentCall = "glGenTextures";
  glGenTextures(3, names);
  done(dpy);
  printf("glGenTextures: returned\n");
  currentCall = "glBindTexture";
  glBindTexture(GL_TEXTURE_2D, names[1]);
  done(dpy);
  currentCall = "glIsTexture";
  (void)glIsTexture(names[1]);
  (void)glIsTexture(0x7654321);
  printf("glIsTexture: returned\n");
  done(dpy);
  currentCall = "glPrioritizeTextures";
  GLclampf priorities[3] = {0.25f, 0.5f, 0.75f};
  glPrioritizeTextures(3, names, priorities);
  done(dpy);
  currentCall = "glAreTexturesResident";
  GLboolean resident[3] = {7, 7, 7};
  (void)glAreTexturesResident(3, names, resident);
  printf("glAreTexturesResident: returned\n");
  done(dpy);
  currentCall = "glDeleteTextures";
  glDeleteTextures(3, names);
  done(dpy);

  /* The EXT forms go as vendor requests. */
  PFNGLGENTEXTURESEXTPROC genEXT = (PFNGLGENTEXTURESEXTPROC)proc("glGenTexturesEXT");
  PFNGLISTEXTUREEXTPROC isEXT = (PFNGLISTEXTUREEXTPROC)proc("glIsTextureEXT");
  PFNGLARETEXTURESRESIDENTEXTPROC residentEXT = (PFNGLARETEXTURESRESIDENTEXTPROC)proc("glAreTexturesResidentEXT");
  PFNGLDELETETEXTURESEXTPROC deleteEXT = (PFNGLDELETETEXTURESEXTPROC)proc("glDeleteTexturesEXT");
  if (genEXT && isEXT && residentEXT && deleteEXT) {
    GLuint more[2] = {0, 0};
    currentCall = "glGenTexturesEXT";
    genEXT(2, more);
    done(dpy);
    printf("glGenTexturesEXT: returned\n");
    currentCall = "glIsTextureEXT";
    (void)isEXT(more[0]);
    printf("glIsTextureEXT: returned\n");
    done(dpy);
    currentCall = "glAreTexturesResidentEXT";
    GLboolean r[2] = {7, 7};
    (void)residentEXT(2, more, r);
    printf("glAreTexturesResidentEXT: returned\n");
    done(dpy);
    currentCall = "glDeleteTexturesEXT";
    deleteEXT(2, more);
    done(dpy);
  } else {
    printf("no EXT texture-object entry points\n");
  }
}

static void glState(Display *dpy) {
  currentCall = "glClearColor";
  glClearColor(0.125f, 0.25f, 0.375f, 0.5f);
  done(dpy);
  currentCall = "glGetFloatv";
  GLfloat colour[4] = {-1, -1, -1, -1};
  glGetFloatv(GL_COLOR_CLEAR_VALUE, colour);
  done(dpy);
  printf("glGetFloatv: returned\n");
  currentCall = "glGetIntegerv";
  GLint viewport[4] = {-1, -1, -1, -1};
  glViewport(3, 5, 37, 29);
  glGetIntegerv(GL_VIEWPORT, viewport);
  done(dpy);
  printf("glGetIntegerv: returned\n");
  currentCall = "glGetError";
  (void)glGetError();
  printf("glGetError: returned\n");
  done(dpy);
  currentCall = "glFinish";
  glFinish();
  done(dpy);
}

int main(void) {
  Display *dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fprintf(stderr, "cannot open the display\n");
    return 2;
  }
  int firstEvent = 0, firstError = 0;
  if (!XQueryExtension(dpy, "GLX", &glxOpcode, &firstEvent, &firstError) ||
      !glXQueryExtension(dpy, &glxErrorBase, &glxEventBase)) {
    fprintf(stderr, "no GLX\n");
    return 2;
  }
  XSetErrorHandler(noteError);
  setvbuf(stdout, NULL, _IOLBF, 0);
  int screen = DefaultScreen(dpy);
  int major = 0, minor = 0;
  glXQueryVersion(dpy, &major, &minor);
  printf("glXQueryVersion: %d.%d\n", major, minor);

  /* ===== GLX 1.3 configurations and drawables ===== */
  currentCall = "glXChooseFBConfig";
  int configAttribs[] = {GLX_RENDER_TYPE, GLX_RGBA_BIT, GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT | GLX_PIXMAP_BIT | GLX_PBUFFER_BIT,
                         GLX_RED_SIZE, 1, GLX_GREEN_SIZE, 1, GLX_BLUE_SIZE, 1, GLX_DOUBLEBUFFER, True, None};
  int count = 0;
  GLXFBConfig *configs = glXChooseFBConfig(dpy, screen, configAttribs, &count);
  done(dpy);
  if (!configs || count == 0) {
    fprintf(stderr, "no double-buffered RGBA config for windows, pixmaps and pbuffers\n");
    return 2;
  }
  printf("glXChooseFBConfig: %s\n", count > 0 ? "some" : "none");
  GLXFBConfig config = configs[0];
  configAttributes(dpy, config, "glXGetFBConfigAttrib");
  XVisualInfo *visual = glXGetVisualFromFBConfig(dpy, config);
  if (!visual) {
    fprintf(stderr, "the config has no visual\n");
    return 2;
  }
  printf("glXGetVisualFromFBConfig: depth %d class %d\n", visual->depth, visual->class);

  Window root = RootWindow(dpy, screen);
  XSetWindowAttributes wa;
  memset(&wa, 0, sizeof wa);
  wa.colormap = XCreateColormap(dpy, root, visual->visual, AllocNone);
  Window window = XCreateWindow(dpy, root, 0, 0, 61, 43, 0, visual->depth, InputOutput, visual->visual, CWColormap, &wa);
  Pixmap pixmap = XCreatePixmap(dpy, root, 19, 11, (unsigned)visual->depth);

  currentCall = "glXCreateNewContext";
  GLXContext context = glXCreateNewContext(dpy, config, GLX_RGBA_TYPE, NULL, True);
  done(dpy);
  if (!context) {
    fprintf(stderr, "no indirect context\n");
    return 2;
  }
  printf("glXIsDirect: %d\n", glXIsDirect(dpy, context));
  currentCall = "glXQueryContext";
  int value = -1;
  int result = glXQueryContext(dpy, context, GLX_RENDER_TYPE, &value);
  printf("glXQueryContext(RENDER_TYPE): 0x%x (%d)\n", value, result);
  done(dpy);

  currentCall = "glXCreateWindow";
  GLXWindow glxWindow = glXCreateWindow(dpy, config, window, NULL);
  done(dpy);
  currentCall = "glXCreatePixmap";
  GLXPixmap glxPixmap = glXCreatePixmap(dpy, config, pixmap, NULL);
  done(dpy);
  currentCall = "glXCreatePbuffer";
  int pbufferAttribs[] = {GLX_PBUFFER_WIDTH, 41, GLX_PBUFFER_HEIGHT, 23, GLX_PRESERVED_CONTENTS, True, None};
  GLXPbuffer pbuffer = glXCreatePbuffer(dpy, config, pbufferAttribs);
  done(dpy);
  currentCall = "glXQueryDrawable";
  unsigned width = 0, height = 0;
  glXQueryDrawable(dpy, pbuffer, GLX_WIDTH, &width);
  glXQueryDrawable(dpy, pbuffer, GLX_HEIGHT, &height);
  done(dpy);
  printf("glXQueryDrawable(pbuffer): %ux%u\n", width, height);
  currentCall = "glXSelectEvent";
  glXSelectEvent(dpy, pbuffer, GLX_PBUFFER_CLOBBER_MASK);
  unsigned long mask = 0;
  glXGetSelectedEvent(dpy, pbuffer, &mask);
  done(dpy);
  printf("glXGetSelectedEvent: 0x%lx\n", mask);

  currentCall = "glXMakeContextCurrent";
  printf("glXMakeContextCurrent(window, pbuffer): %d\n", glXMakeContextCurrent(dpy, glxWindow, pbuffer, context));
  done(dpy);
  printf("current drawables: %s %s\n", glXGetCurrentDrawable() == glxWindow ? "window" : "other",
         glXGetCurrentReadDrawable() == pbuffer ? "pbuffer" : "other");

  glState(dpy);
  textureObjects(dpy);

  /* ===== the extensions' calls ===== */
  PFNGLXCOPYSUBBUFFERMESAPROC copySubBuffer = (PFNGLXCOPYSUBBUFFERMESAPROC)proc("glXCopySubBufferMESA");
  currentCall = "glXCopySubBufferMESA";
  if (copySubBuffer) copySubBuffer(dpy, glxWindow, 3, 4, 17, 13);
  done(dpy);
  printf("glXCopySubBufferMESA: %s\n", copySubBuffer ? "called" : "missing");

  PFNGLXSWAPINTERVALSGIPROC swapInterval = (PFNGLXSWAPINTERVALSGIPROC)proc("glXSwapIntervalSGI");
  currentCall = "glXSwapIntervalSGI";
  if (swapInterval) printf("glXSwapIntervalSGI(3): %d\n", swapInterval(3));
  done(dpy);

  currentCall = "glXSwapBuffers";
  glXSwapBuffers(dpy, glxWindow);
  done(dpy);
  currentCall = "glXWaitGL";
  glXWaitGL();
  glXWaitX();
  done(dpy);

  PFNGLXQUERYCONTEXTINFOEXTPROC contextInfo = (PFNGLXQUERYCONTEXTINFOEXTPROC)proc("glXQueryContextInfoEXT");
  currentCall = "glXQueryContextInfoEXT";
  if (contextInfo) {
    value = -1;
    result = contextInfo(dpy, context, GLX_RENDER_TYPE, &value);
    printf("glXQueryContextInfoEXT(RENDER_TYPE): 0x%x (%d)\n", value, result);
    value = -1;
    result = contextInfo(dpy, context, GLX_SCREEN_EXT, &value);
    printf("glXQueryContextInfoEXT(SCREEN): %d (%d)\n", value, result);
  }
  done(dpy);

  /* SGIX: configs, a pixmap, a context and a pbuffer made from a config, and a read drawable. */
  PFNGLXCHOOSEFBCONFIGSGIXPROC chooseSGIX = (PFNGLXCHOOSEFBCONFIGSGIXPROC)proc("glXChooseFBConfigSGIX");
  PFNGLXGETFBCONFIGATTRIBSGIXPROC attribSGIX = (PFNGLXGETFBCONFIGATTRIBSGIXPROC)proc("glXGetFBConfigAttribSGIX");
  PFNGLXGETVISUALFROMFBCONFIGSGIXPROC visualSGIX =
      (PFNGLXGETVISUALFROMFBCONFIGSGIXPROC)proc("glXGetVisualFromFBConfigSGIX");
  PFNGLXCREATEGLXPIXMAPWITHCONFIGSGIXPROC pixmapSGIX =
      (PFNGLXCREATEGLXPIXMAPWITHCONFIGSGIXPROC)proc("glXCreateGLXPixmapWithConfigSGIX");
  PFNGLXCREATECONTEXTWITHCONFIGSGIXPROC contextSGIX =
      (PFNGLXCREATECONTEXTWITHCONFIGSGIXPROC)proc("glXCreateContextWithConfigSGIX");
  PFNGLXCREATEGLXPBUFFERSGIXPROC pbufferSGIX = (PFNGLXCREATEGLXPBUFFERSGIXPROC)proc("glXCreateGLXPbufferSGIX");
  PFNGLXQUERYGLXPBUFFERSGIXPROC queryPbufferSGIX = (PFNGLXQUERYGLXPBUFFERSGIXPROC)proc("glXQueryGLXPbufferSGIX");
  PFNGLXDESTROYGLXPBUFFERSGIXPROC destroyPbufferSGIX =
      (PFNGLXDESTROYGLXPBUFFERSGIXPROC)proc("glXDestroyGLXPbufferSGIX");
  PFNGLXMAKECURRENTREADSGIPROC makeCurrentRead = (PFNGLXMAKECURRENTREADSGIPROC)proc("glXMakeCurrentReadSGI");
  if (chooseSGIX && attribSGIX && visualSGIX && pixmapSGIX && contextSGIX && pbufferSGIX && queryPbufferSGIX &&
      destroyPbufferSGIX && makeCurrentRead) {
    currentCall = "glXChooseFBConfigSGIX";
    int sgixAttribs[] = {GLX_X_RENDERABLE_SGIX, True, GLX_RENDER_TYPE_SGIX, GLX_RGBA_BIT_SGIX, GLX_DRAWABLE_TYPE_SGIX,
                         GLX_WINDOW_BIT_SGIX | GLX_PIXMAP_BIT_SGIX | GLX_PBUFFER_BIT_SGIX, GLX_DOUBLEBUFFER, False,
                         GLX_RED_SIZE, 1, None};
    int n = 0;
    GLXFBConfigSGIX *sgix = chooseSGIX(dpy, screen, sgixAttribs, &n);
    done(dpy);
    printf("glXChooseFBConfigSGIX: %s\n", sgix && n > 0 ? "some" : "none");
    if (sgix && n > 0) {
      currentCall = "glXGetFBConfigAttribSGIX";
      int red = -1, drawable = -1;
      int r1 = attribSGIX(dpy, sgix[0], GLX_RED_SIZE, &red);
      int r2 = attribSGIX(dpy, sgix[0], GLX_DRAWABLE_TYPE_SGIX, &drawable);
      printf("glXGetFBConfigAttribSGIX: red=%d(%d) drawable=0x%x(%d)\n", red, r1, drawable, r2);
      done(dpy);
      currentCall = "glXGetVisualFromFBConfigSGIX";
      XVisualInfo *sv = visualSGIX(dpy, sgix[0]);
      printf("glXGetVisualFromFBConfigSGIX: %s depth %d\n", sv ? "visual" : "none", sv ? sv->depth : 0);
      done(dpy);
      Pixmap sgixPixmap = XCreatePixmap(dpy, root, 23, 7, sv ? (unsigned)sv->depth : 24u);
      currentCall = "glXCreateGLXPixmapWithConfigSGIX";
      GLXPixmap gp = pixmapSGIX(dpy, sgix[0], sgixPixmap);
      done(dpy);
      printf("glXCreateGLXPixmapWithConfigSGIX: %s\n", gp ? "made" : "none");
      currentCall = "glXCreateContextWithConfigSGIX";
      GLXContext sc = contextSGIX(dpy, sgix[0], GLX_RGBA_TYPE_SGIX, context, True);
      done(dpy);
      printf("glXCreateContextWithConfigSGIX: %s\n", sc ? "made" : "none");
      currentCall = "glXCreateGLXPbufferSGIX";
      int pattribs[] = {GLX_PRESERVED_CONTENTS_SGIX, True, None};
      GLXPbufferSGIX sp = pbufferSGIX(dpy, sgix[0], 29, 31, pattribs);
      done(dpy);
      currentCall = "glXQueryGLXPbufferSGIX";
      unsigned w = 0, h = 0, largest = 9;
      queryPbufferSGIX(dpy, sp, GLX_WIDTH_SGIX, &w);
      queryPbufferSGIX(dpy, sp, GLX_HEIGHT_SGIX, &h);
      queryPbufferSGIX(dpy, sp, GLX_LARGEST_PBUFFER_SGIX, &largest);
      done(dpy);
      printf("glXQueryGLXPbufferSGIX: %ux%u largest %u\n", w, h, largest);
      if (sc) {
        currentCall = "glXMakeCurrentReadSGI";
        printf("glXMakeCurrentReadSGI(pixmap, pbuffer): %d\n", makeCurrentRead(dpy, gp, sp, sc));
        done(dpy);
        currentCall = "glGetFloatv (second context)";
        GLfloat colour[4] = {-1, -1, -1, -1};
        glGetFloatv(GL_COLOR_CLEAR_VALUE, colour);
        done(dpy);
        printf("glGetFloatv (second context): returned\n");
        glXMakeCurrent(dpy, None, NULL);
        currentCall = "glXDestroyContext (SGIX)";
        glXDestroyContext(dpy, sc);
        done(dpy);
      }
      currentCall = "glXDestroyGLXPbufferSGIX";
      destroyPbufferSGIX(dpy, sp);
      done(dpy);
      currentCall = "glXDestroyGLXPixmap";
      if (gp) glXDestroyGLXPixmap(dpy, gp);
      done(dpy);
      XFreePixmap(dpy, sgixPixmap);
      if (sv) XFree(sv);
      XFree(sgix);
    }
  } else {
    printf("no SGIX entry points\n");
  }

  currentCall = "glXMakeCurrent";
  glXMakeCurrent(dpy, None, NULL);
  done(dpy);
  currentCall = "glXDestroyPbuffer";
  glXDestroyPbuffer(dpy, pbuffer);
  done(dpy);
  currentCall = "glXQueryDrawable (destroyed pbuffer)";
  width = 7;
  glXQueryDrawable(dpy, pbuffer, GLX_WIDTH, &width);
  done(dpy);
  printf("glXQueryDrawable (destroyed pbuffer): returned\n");
  currentCall = "glXDestroyPixmap";
  glXDestroyPixmap(dpy, glxPixmap);
  done(dpy);
  currentCall = "glXDestroyWindow";
  glXDestroyWindow(dpy, glxWindow);
  done(dpy);
  currentCall = "glXDestroyContext";
  glXDestroyContext(dpy, context);
  done(dpy);
  XFreePixmap(dpy, pixmap);
  XDestroyWindow(dpy, window);
  XFree(visual);
  XFree(configs);
  XCloseDisplay(dpy);
  printf("end\n");
  return 0;
}
