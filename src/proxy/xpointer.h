// Pointer crossing between heads: every head has a rectangle in one physical plane (units of
// 1/10000 mm); when the real pointer leaves a head, the head beyond that edge in the plane
// takes it at the matching physical place.
#pragma once

#include <cstdint>

#include <X11/Xlib.h>

// Sentinels of the search boxes: minus and plus infinity.
constexpr int32_t kPointerMinusInfinity = int32_t(0x80000001u);
constexpr int32_t kPointerPlusInfinity = 0x7ffffffe;

// Results of xpointerCross besides 0 (inside), 1 (touching) and 2 + distance.
constexpr uint32_t kPointerUnreachable = 0xffffffffu;  // -1
constexpr uint32_t kPointerOwnHead = 0xfffffffeu;      // -2: own head, no crossing offered
// Every distance result stays below this value.
constexpr uint32_t kPointerResultLimit = 0xfffffffeu;

// One per head (inside the head record). Positions in 1/10000 mm, truncated toward zero; the
// rectangle's ends lie strictly between the sentinels.
struct HeadPointerArea {
  uint8_t disabled;  // the head takes no pointer
  uint8_t wrapX;     // the pointer wraps horizontally when no head lies beyond a left/right edge
  uint8_t wrapY;     // likewise vertically
  int32_t x, y;
  int32_t width, height;  // >= 0
  int32_t pointerX, pointerY;
  uint32_t pointerValue;  // travels with the pointer position to the destination
  int32_t destinationX, destinationY;
  uint32_t destinationValue;
};

// Stores the rectangle given in millimetres; values are clamped so that the rectangle stays
// strictly inside the sentinels.
void xpointerSetHeadRect(HeadPointerArea *area, Display *display, int screen, double x, double y, double width,
                         double height);
// The pointer at a pixel position relative to the head's origin; the destination follows it.
void xpointerSetHeadPosition(HeadPointerArea *area, Display *display, int screen, int pixelX, int pixelY);
// The crossing of the pointer of `from` to `candidate`: 0 inside, 1 touching, 2 + distance
// (below kPointerResultLimit), kPointerUnreachable or kPointerOwnHead. Sets the candidate's
// destination on every result but -1 and the -2 standing for the own head's -1.
uint32_t xpointerCross(HeadPointerArea *from, HeadPointerArea *candidate);
// The destination in pixels relative to the head's origin; returns y. A screen reporting 0 mm
// gives 0.
int xpointerToPixels(const HeadPointerArea *area, Display *display, int screen, int *x, int *y);

// The screen sizes the conversions use; the Xlib macros unless a test replaces them.
struct PointerScreenSize {
  int64_t widthPixels, heightPixels, widthMM, heightMM;
};
using XpointerScreenSizeFn = PointerScreenSize (*)(Display *display, int screen);
extern XpointerScreenSizeFn xpointerScreenSize;
