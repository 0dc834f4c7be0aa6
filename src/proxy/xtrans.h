// Declarations of the X transport layer compiled in xtrans.c (prefix _X11Trans).
#pragma once

#ifndef X11_t
#define X11_t 1
#endif
#ifndef TRANS_CLIENT
#define TRANS_CLIENT 1
#endif
#ifndef TRANS_SERVER
#define TRANS_SERVER 1
#endif

extern "C" {
#include <X11/Xtrans/Xtrans.h>
}
// Xtrans.h pulls in <X11/Xos.h>, which defines index and rindex as macros; they would break
// every later header that uses those words (std::variant::index ...).
#undef index
#undef rindex

extern "C" {
int xtransGetAddressLength(XtransConnInfo connection);
void xtransSetAddressLength(XtransConnInfo connection, int length);
int xtransMakeAllListeners(const char *port, int *count, XtransConnInfo **listeners);
}
