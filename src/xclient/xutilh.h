// Xlib's <X11/Xutil.h>, and the Xlib headers that use its region type, with that type renamed.
//
// Xutil.h declares `typedef struct _XRegion *Region`, which collides with our own Region
// (xclient/region.h). Every file that needs Xutil.h includes this header instead: Xlib's type is
// XlibRegion here. The headers below include Xutil.h themselves and mention Region in their
// declarations, so they are renamed here too; include them through this header as well (once
// Xutil.h is in, their own include of it does nothing and their `Region` would be ours).
#pragma once

#define Region XlibRegion
#include <X11/Xutil.h>
#include <X11/extensions/shape.h>
#include <X11/extensions/Xrender.h>
#undef Region
