/* A GL program of the honest kind, for bench/lumora-model: a model of 20 000 triangles (a grid
 * over a 1280x1024 double-buffered window, lit, one glBegin(GL_TRIANGLES)) compiled into a
 * display list and called once a frame between glPushMatrix and glPopMatrix, each frame ended
 * by glXSwapBuffers and glFinish (SINGLE=1: a single-buffered window, frames ended by glFinish;
 * IMMEDIATE=1: the triangles sent in glBegin/glEnd every frame instead of a list). Run
 * against a display for the given seconds, it prints the frames it drew, the median and the
 * worst frame time in ms, and the GL errors it met (glGetError after every frame). With Mesa
 * and LIBGL_ALWAYS_INDIRECT=1 its commands travel as GLX protocol (through tarvo: executed by
 * the GL library inside the proxy); without, Mesa draws directly.
 *
 *   lumora-model SECONDS
 */
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

enum { kColumns = 200, kRows = 50, kWidth = 1280, kHeight = 1024 };

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static int compare(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

static void vertex(int column, int row) {
  glNormal3f(0, 0, 1);
  glVertex3f(-1 + 2.0f * column / kColumns, -1 + 2.0f * row / kRows, 0);
}

static void model(void) {
  glBegin(GL_TRIANGLES);
  for (int row = 0; row < kRows; row++)
    for (int column = 0; column < kColumns; column++) {
      vertex(column, row), vertex(column + 1, row), vertex(column + 1, row + 1);
      vertex(column, row), vertex(column + 1, row + 1), vertex(column, row + 1);
    }
  glEnd();
}

int main(int argc, char **argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 10;
  Display *display = XOpenDisplay(NULL);
  if (!display) return fprintf(stderr, "lumora-model: no display\n"), 1;
  int single = getenv("SINGLE") && atoi(getenv("SINGLE"));
  int attributes[] = {GLX_RGBA, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, GLX_DEPTH_SIZE, 16,
                      single ? None : GLX_DOUBLEBUFFER, None};
  XVisualInfo *info = glXChooseVisual(display, DefaultScreen(display), attributes);
  if (!info) return fprintf(stderr, "lumora-model: no visual\n"), 1;
  XSetWindowAttributes set = {0};
  set.colormap = XCreateColormap(display, RootWindow(display, info->screen), info->visual, AllocNone);
  Window window = XCreateWindow(display, RootWindow(display, info->screen), 0, 0, kWidth, kHeight, 0, info->depth,
                                InputOutput, info->visual, CWColormap, &set);
  XMapWindow(display, window);
  GLXContext context = glXCreateContext(display, info, NULL, True);
  if (!context || !glXMakeCurrent(display, window, context)) return fprintf(stderr, "lumora-model: no context\n"), 1;
  glViewport(0, 0, kWidth, kHeight);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glEnable(GL_DEPTH_TEST);
  GLfloat green[4] = {0.2f, 0.8f, 0.3f, 1};
  glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE, green);
  int immediate = getenv("IMMEDIATE") && atoi(getenv("IMMEDIATE"));
  if (!immediate) glNewList(1, GL_COMPILE);
  if (!immediate) model();
  if (!immediate) glEndList();
  glFinish();
  static double frames[100000];
  int count = 0, errors = 0;
  double end = now() + seconds;
  while (now() < end && count < 100000) {
    double start = now();
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glPushMatrix();
    glRotatef((float)(count % 8), 0, 0, 1);
    if (immediate)
      model();
    else
      glCallList(1);
    glPopMatrix();
    if (glGetError() != GL_NO_ERROR) errors++;
    if (!single) glXSwapBuffers(display, window);
    glFinish();
    frames[count++] = now() - start;
  }
  qsort(frames, count, sizeof frames[0], compare);
  printf("frames %d median %.1f worst %.1f errors %d\n", count, count ? frames[count / 2] * 1000 : 0,
         count ? frames[count - 1] * 1000 : 0, errors);
  glXMakeCurrent(display, None, NULL);
  glXDestroyContext(display, context);
  XCloseDisplay(display);
  return 0;
}
