// Display names, X id texts and the grab test of a connection.
#pragma once

#include <X11/Xlib.h>

const char *xmiscLocalDisplayPart(Display *display);
const char *xmiscQualifiedDisplayName(Display *display);
int xmiscDisplayNumber(Display *display);
int xrcDisplayNumber(const char *displayName);
const char *xmiscIdText(unsigned id);
XID xmiscResourceBase(Display *display);
XID xmiscResourceMask(Display *display);
int xmiscIsImpervious(Display *display);
