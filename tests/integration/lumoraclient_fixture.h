// A raw GLX client of either byte order against tarvo serving GL inside the proxy ("lumora
// on"), and the FBConfig it draws with: contexts, pbuffers, windows, MakeContextCurrent,
// render and single requests, and the errors they end with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "glxcommands.h"
#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

// tarvo on screen 0 of the display, served by the GL library ("lumora on"); no leak detection
// in tarvo under AddressSanitizer (Mesa's driver keeps a little memory per closed Display).
TarvoOptions lumoraOptions();

// Starts xvfb with one screen of the size given ("1280x1024x24"), listening on its unix socket
// only: "" or what failed.
std::string lumoraStartXvfb(XvfbServer &xvfb, const char *screen);

// n rounded up to a multiple of 4 (request and command lengths).
inline size_t lumoraPad4(size_t n) { return (n + 3) & ~size_t(3); }

// The first RGBA TrueColor visual of 8 bits per colour of GLXGetVisualConfigs (screen 0) on the
// raw connection of that byte order with GLX at major: double-buffered or not, with a stencil
// buffer when asked; 0 for none.
uint32_t lumoraGlVisual(RawClient &raw, bool big, uint8_t major, bool doubleBuffered, bool withStencil);

// tarvo is up and serves another client (a GLX client of LSB order, or with glx false any core
// client), and ends cleanly (a sanitizer's report at exit shows in its status).
void lumoraExpectServedAndStop(TarvoProcess &tarvo, bool glx = true);

// One FBConfig of screen 0 that draws RGBA into windows and pbuffers, and its visual (tarvo's
// FBConfig ids are its visual ids); the GLX extension's first error.
struct LumoraConfig {
  uint32_t config = 0, visual = 0;
  uint8_t firstError = 0;
};

// The first such FBConfig of a depth-24 visual on the display (config 0 if there is none).
LumoraConfig lumoraFindConfig(const std::string &display);

// A raw GLX client of one byte order. The test owns it; raw.close() (or its destruction) ends
// the connection.
struct LumoraClient {
  RawClient raw;
  bool big = false;
  uint8_t major = 0;
  uint32_t next = 1;  // the next id below the client's base

  // Connects in byte order 'l' or 'B' and asks for GLX: "" or what failed.
  std::string connect(int display, char order);
  uint32_t id() { return raw.idBase() | next++; }
  RawRequest glx(uint8_t minor) { return RawRequest(big).b(major).b(minor).s(0); }
  RawRequest single(uint8_t minor, uint32_t tag) { return glx(minor).i(tag); }
  // The answer to the request: "" and the reply or error.
  RawBytes ask(RawRequest request);
  // 0 for a reply, else the error code (255 without an answer); for requests with a reply.
  int errorOf(RawRequest request);
  uint32_t word(const RawBytes &answer, size_t at) const { return answer.size() >= at + 4 ? rawGet32(answer, at, big) : 0; }
  // An error of a request sent without waiting shows in the answer of the next round trip
  // (GetInputFocus): its code, 0 for none, 255 without an answer within timeoutMs.
  int errorAfter(RawRequest request, int timeoutMs = 10000) { return errorAfter(request.done(), timeoutMs); }
  int errorAfter(const RawBytes &request, int timeoutMs = 10000);
  void send(RawRequest request);
  void render(uint32_t tag, const std::vector<GlxCommand> &commands);
  // A new RGBA context of the FBConfig sharing with share (0: none); expects no error.
  uint32_t newContext(uint32_t config, uint32_t share = 0);
  // A large command in GLXRenderLarge pieces of at most 64 KiB: the error it ends with.
  int renderLarge(uint32_t tag, const GlxCommand &command);
  // A width x height pbuffer of the FBConfig; its error in *error, else expected to be none.
  uint32_t pbuffer(uint32_t config, uint32_t width, uint32_t height, int *error = nullptr);
  // A mapped 64x64 window of the visual.
  uint32_t window(uint32_t visual);
  // MakeContextCurrent: the tag, 0 on an error (*error its code).
  uint32_t makeCurrent(uint32_t oldTag, uint32_t draw, uint32_t read, uint32_t context, int *error = nullptr);
  // Connects in the byte order, and makes a context of the FBConfig (sharing with share, its id
  // in *context) current on a 32x32 pbuffer: its tag.
  uint32_t currentOnPbuffer(int display, char order, uint32_t config, uint32_t share = 0, uint32_t *context = nullptr);
};
