#include "glxinfo_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

std::map<uint32_t, GlxinfoVisual> glxinfoParseVisuals(const std::string &text) {
  std::map<uint32_t, GlxinfoVisual> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // The GLX visuals come first; the FB config table after them reuses the layout.
    if (line.find("GLXFBConfigs") != std::string::npos) break;
    if (line.rfind("0x", 0) != 0) continue;
    // Short ids are printed as "0x 21": the id is the hex number after "0x".
    char *after = nullptr;
    unsigned long id = strtoul(line.c_str() + 2, &after, 16);
    std::istringstream in(after);
    GlxinfoVisual v;
    v.id = static_cast<uint32_t>(id);
    std::string render, flt, srgb;
    int trans = 0;
    in >> v.depth >> v.type >> trans >> v.bufferSize >> v.level >> render >> v.doubleBuffer >> v.stereo >> v.red >>
        v.green >> v.blue >> v.alpha >> flt >> srgb >> v.aux >> v.depthSize >> v.stencil >> v.accumRed >>
        v.accumGreen >> v.accumBlue >> v.accumAlpha >> v.samples >> v.sampleBuffers;
    std::string swap;
    in >> swap >> v.caveat;
    if (!in) continue;
    v.rgba = render == "rgba";
    rows[v.id] = v;
  }
  return rows;
}

std::string glxinfoRun(const std::string &displayName, bool table) {
  std::string command = "LIBGL_ALWAYS_INDIRECT=1 timeout 60 glxinfo ";
  command += table ? "-t " : "";
  command += "-display '" + displayName + "' 2>/dev/null";
  return glxinfoCommandOutput(command);
}

std::string glxinfoCommandOutput(const std::string &command) {
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string glxinfoDumpRecords(const VisualRecord *records, int count) {
  std::string out;
  char line[640];
  for (int i = 0; i < count; i++) {
    const VisualRecord &r = records[i];
    snprintf(line, sizeof line,
             "0x%x class=%u depth=%u gl=%u rgba=%u rgba-sizes=%u/%u/%u/%u accum=%u/%u/%u/%u buffer=%u z=%u "
             "stencil=%u level=%d renderable=%u render=%u db=%u stereo=%u aux=%u fbconfig=0x%x drawable=%u "
             "caveat=0x%x trans=%u/%u/%u/%u/%u/%u swap=0x%x samples=%u/%u bind=%u/%u/%u/%u pbuffer=%u/%u/%u/%u/%u "
             "group=%u yinv=%u float=%u srgb=%u colsamples=%u\n",
             r.visualId, r.visualClass, r.depth, r.glVersion, r.glRgba, r.glRedSize, r.glGreenSize, r.glBlueSize,
             r.glAlphaSize, r.glAccumRedSize, r.glAccumGreenSize, r.glAccumBlueSize, r.glAccumAlphaSize,
             r.glBufferSize, r.glDepthSize, r.glStencilSize, r.glLevel, r.glXRenderable, r.glRenderType,
             r.glDoubleBuffer, r.glStereo, r.glAuxBuffers, r.glFbConfigId, r.glDrawableType, r.glConfigCaveat,
             r.glTransparentType, r.glTransparentRed, r.glTransparentGreen, r.glTransparentBlue,
             r.glTransparentAlpha, r.glTransparentIndex, r.glSwapMethod, r.glSamples, r.glSampleBuffers,
             r.glBindToTextureRgb, r.glBindToTextureRgba, r.glBindToMipmapTexture, r.glBindToTextureTargets,
             r.glOptimalPbufferWidth, r.glOptimalPbufferHeight, r.glMaxPbufferWidth, r.glMaxPbufferHeight,
             r.glMaxPbufferPixels, r.glVisualSelectGroup, r.glYInverted, r.glFloatComponents, r.glSrgbCapable,
             r.glColorSamples);
    out += line;
  }
  return out;
}
