// Display names, X id texts and the grab test of a connection.
#pragma once

#include <X11/Xlib.h>

#include "xclient/idtext.h"  // xmiscIdText

const char *xmiscLocalDisplayPart(Display *display);
const char *xmiscQualifiedDisplayName(Display *display);
int xmiscDisplayNumber(Display *display);
int xrcDisplayNumber(const char *displayName);
XID xmiscResourceBase(Display *display);
XID xmiscResourceMask(Display *display);
int xmiscIsImpervious(Display *display);
