// The entry points of a GL library that the proxy renders with: one pointer per function,
// named as the function and typed with its published prototype (Mesa's GL headers). Each holds
// the library's own function or the plug-in loader's stand-in (pluginStub), so every entry may
// be called; the stand-in writes nothing and returns 0, so callers zero what they read back.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>
#include <GL/glxext.h>

// 609 entries, in the order the loader first looks them up (xext/glxdirectload.cpp). The
// members are written by scripts/gltable from that list and the headers above; the few
// placeholders no library exports are typed void (*)().
struct GlFunctionTable {
#include "xext/glfunctions.inc"
};
