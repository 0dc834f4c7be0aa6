// Visual records: every visual the proxy knows (of a head or of a meta screen, real or
// emulated), built from a real display's core visuals, overlay and colour-characterisation
// root properties, DOUBLE-BUFFER, Multi-Buffering and RENDER; copies, comparison, distance,
// descriptions and the root properties of a meta screen.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

#include "xclient/glxsupport.h"
#include "xclient/xutilh.h"

// One entry of a colour correction table.
struct CorrectionEntry {
  uint16_t value;
  double intensity;  // 0 .. 1
};

struct VisualRecord {
  uint32_t visualId;
  uint16_t colormapEntries;
  uint8_t screen;
  uint8_t visualClass;  // 0 StaticGray .. 5 DirectColor
  uint8_t depth;
  uint8_t bitsPerRgb;
  uint8_t isDefault;
  uint8_t doubleBuffered;
  uint8_t doubleBufferPerformance;
  uint32_t redMask, greenMask, blueMask;  // 0 below TrueColor unless emulated
  uint32_t redShift, greenShift, blueShift;
  uint32_t redBits, greenBits, blueBits;
  uint8_t overlayFormat;  // 0 no SERVER_OVERLAY_VISUALS entry, else 16 or 32
  uint8_t transparentType;
  int16_t layer;
  uint32_t transparentValue;
  uint32_t renderFormat;  // RENDER direct format, 0 when none
  uint32_t alphaBits;
  // GL attributes: all zero (not GL-capable) until the GLX side fills them.
  uint16_t glVersion;  // major * 64 + minor; 0 = not GL-capable
  uint8_t glRgba;
  uint8_t glRedSize, glGreenSize, glBlueSize, glAlphaSize;
  uint8_t glAccumRedSize, glAccumGreenSize, glAccumBlueSize, glAccumAlphaSize;
  uint8_t glBufferSize;
  uint8_t glDepthSize;
  uint8_t glStencilSize;
  int16_t glLevel;
  uint32_t glXRenderable;
  uint32_t glRenderType;
  uint32_t glDoubleBuffer;
  uint32_t glStereo;
  uint32_t glAuxBuffers;
  uint32_t glFbConfigId;
  uint32_t glDrawableType;
  uint32_t glConfigCaveat;
  uint32_t glTransparentType;
  uint32_t glTransparentRed, glTransparentGreen, glTransparentBlue, glTransparentAlpha;
  uint32_t glTransparentIndex;
  uint32_t glSwapMethod;
  uint32_t glSamples;
  uint32_t glSampleBuffers;
  uint32_t glBindToTextureRgb, glBindToTextureRgba, glBindToMipmapTexture, glBindToTextureTargets;
  uint32_t glOptimalPbufferWidth, glOptimalPbufferHeight;
  uint32_t glMaxPbufferWidth, glMaxPbufferHeight, glMaxPbufferPixels;
  uint32_t glVisualSelectGroup;
  uint32_t glYInverted;
  uint32_t glFloatComponents;
  uint32_t glSrgbCapable;
  uint32_t glColorSamples;
  // Colour characterisation.
  uint8_t hasMatrices;
  uint8_t correctionType;   // 0 value/intensity pairs, 1 intensities only
  uint8_t correctionCount;  // 1 (one table for all channels) or 3; 0 without tables
  uint32_t matrices[18];
  // Owned tables; with one table all three pointers share it.
  CorrectionEntry *redCorrection;
  uint32_t redCorrectionCount;
  CorrectionEntry *greenCorrection;
  uint32_t greenCorrectionCount;
  CorrectionEntry *blueCorrection;
  uint32_t blueCorrectionCount;
  // Emulated visuals only.
  uint32_t baseVisualId;  // 0 = not emulated
  uint8_t baseClass, baseDepth;
  uint32_t channelMask;  // significant bits of a 16-bit colour value
  int32_t mbufMono, mbufStereo;  // Multi-Buffering maximum buffers, -1 when not listed
};

constexpr int kRenderFormatMaxVisuals = 999;

// One RENDER picture format of a display.
struct RenderFormatInfo {
  uint32_t formatId;
  uint8_t type;  // 1 = direct
  uint8_t depth;
  uint16_t screen;  // the screen under which its visuals were listed
  uint32_t colormap;
  uint8_t redBits, greenBits, blueBits, alphaBits;
  uint8_t redShift, greenShift, blueShift, alphaShift;
  uint32_t visualIds[kRenderFormatMaxVisuals + 1];  // ended by 0
};

// The table of a screen's visuals; owned by the caller (xvisualFreeArray). NULL or an error.
const char *xvisualBuildHeadVisuals(Display *display, int screen, VisualRecord **array, int *count);
int xvisualGetInfo(Display *display, int screen, uint32_t visualId, XVisualInfo *info);
// Static Xlib Visuals, overwritten by the next call of the same function.
Visual *xvisualXlibVisualById(uint32_t visualId);
Visual *xvisualXlibVisual(const VisualRecord *record);
void xvisualSetMasks(VisualRecord *record, uint32_t red, uint32_t green, uint32_t blue);
const char *xvisualClassName(unsigned visualClass);

void xvisualCopy(const VisualRecord *source, VisualRecord *destination);
VisualRecord *xvisualCopyArray(const VisualRecord *array, int count);
void xvisualFreeContents(VisualRecord *record);
void xvisualFreeArray(VisualRecord *array, int count);
bool xvisualEqual(const VisualRecord *a, const VisualRecord *b);
bool xvisualIdsContiguous(const VisualRecord *array, int count);
VisualRecord *xvisualFindById(VisualRecord *array, int count, uint32_t visualId);
// How far the candidate is from the wanted visual (lower is closer; 1000000 or more is
// unusable). Mode 1 tolerates a different overlay layer.
uint32_t xvisualDistance(const VisualRecord *wanted, const VisualRecord *candidate, int mode);
// "PseudoColor 8 bit (#33, ...)" (temporary string).
const char *xvisualDescribe(const VisualRecord *record);
// Writes or removes SERVER_OVERLAY_VISUALS and the XDCCC properties of a meta screen's
// visuals on the window. NULL or an error text.
const char *xvisualSetProperties(Display *display, Window window, const VisualRecord *array, int count);
void xvisualDeleteStdColormaps(Display *display, int screen);
// The RENDER picture formats (malloc'ed; NULL without RENDER or on failure).
RenderFormatInfo *xvisualQueryRenderFormats(Display *display, int *major, int *minor, int *count);
void xvisualSetWindowName(Display *display, Window window, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The items of the record's XDCCC_LINEAR_RGB_CORRECTION entry in property format 8, 16 or 32
// (values as the property holds them); 0 items when the record has no writable entry.
// *items is malloc'ed; the return is the item count, -1 when out of memory.
long xvisualCorrectionItems(const VisualRecord *record, int format, uint32_t **items);

// --- GL attributes ------------------------------------------------------------------------
// The GLX visual type (GLX_TRUE_COLOR ...) of an X visual class; an unknown class is reported
// as a problem and gives GLX_TRUE_COLOR.
uint32_t xvisualGlxClass(unsigned visualClass);
// Stores the (attribute, value) pairs from first up to end (a pair is read only while both its
// words lie before end) into the record's GL fields; attribute 0 ends the list. Colour sizes
// and unknown attributes are skipped.
void xvisualParseGlxAttributes(const uint32_t *first, const uint32_t *end, VisualRecord *record);
// The value of the first pair with that attribute, 0 when none.
uint32_t xvisualPairValue(uint32_t attribute, const uint32_t *pairs, int pairCount);
// The walk over a GetVisualConfigs reply's data: visuals configs of properties values each in
// wordCount words. A property count below 18 or more values than words leaves every record
// untouched (logged; returns 0). The first config of a visual fills its record with the given
// GLX version code. Returns 1 when the reply was walked.
int xvisualApplyVisualConfigs(const uint32_t *words, uint64_t wordCount, uint32_t visuals, uint32_t properties,
                              uint16_t glVersion, VisualRecord *records, int count);
// The walk over a GetFBConfigs reply's data: configs configs of pairs (attribute, value) pairs.
// A config naming a GL-capable record whose visual type, alpha, double buffer, stencil and
// depth match stores all its pairs there. Returns 0 (logged) when the counts exceed the words.
int xvisualApplyFbConfigs(const uint32_t *words, uint64_t wordCount, uint32_t configs, uint32_t pairs,
                          VisualRecord *records, int count);
// Reads the GL attributes of the screen's records from the display's GLX extension (nothing
// without GLX or when the server does not answer).
void xvisualReadGlAttributes(Display *display, int screen, VisualRecord *records, int count);
// The visual-config (short form: 38 values per GL-capable record, *propertyCount 10) or
// FB-config list (long form: 43 pairs per GL-capable record, *propertyCount 43) of the records,
// in array order, in a scratch block released with xvisualFreeConfigs; NULL when out of memory.
uint32_t *xvisualGlxConfigs(const VisualRecord *array, int count, bool shortForm, int *configCount,
                            int *propertyCount);
void xvisualFreeConfigs(uint32_t *block);
// Fills the capabilities of one head by a GL context on its real server. 1 when they are
// usable (possibly only the defaults), 0 when the GLX exchange failed.
int xvisualQueryGlx(Display *display, int screen, GlCapabilities *caps);
