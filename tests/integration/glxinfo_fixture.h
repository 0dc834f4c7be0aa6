// Test help for GL visual attributes: what `glxinfo -t` (indirect) lists per visual, and a
// readable dump of a head's visual records.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "proxy/xvisual.h"

// One row of `LIBGL_ALWAYS_INDIRECT=1 glxinfo -t`.
struct GlxinfoVisual {
  uint32_t id = 0;
  int depth = 0;
  std::string type;  // "TrueColor" ...
  int bufferSize = 0, level = 0;
  bool rgba = false;
  int doubleBuffer = 0, stereo = 0;
  int red = 0, green = 0, blue = 0, alpha = 0;
  int aux = 0, depthSize = 0, stencil = 0;
  int accumRed = 0, accumGreen = 0, accumBlue = 0, accumAlpha = 0;
  int samples = 0, sampleBuffers = 0;
  std::string caveat;  // "None", "Slow", "Ncon"
};

// Parses the text of `glxinfo -t`; the rows keyed by visual id.
std::map<uint32_t, GlxinfoVisual> glxinfoParseVisuals(const std::string &text);
// Runs `glxinfo -t` (indirect, time-limited) against the display; its output, "" on failure.
std::string glxinfoRun(const std::string &displayName, bool table = true);
// The standard output of a shell command of the test's own ("" when it cannot run).
std::string glxinfoCommandOutput(const std::string &command);
// "id class depth" and every GL field of each record, one line per record.
std::string glxinfoDumpRecords(const VisualRecord *records, int count);
