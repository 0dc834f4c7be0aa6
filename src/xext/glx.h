// The GLX extension: set-up, versions and extension strings (glx.cpp); context tags, contexts,
// GLX resources and MakeCurrent (glxcontext.cpp).
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"
#include "xext/extrequest.h"

// ===== set-up =====
// Registers the record and writes the extension's rows: NULL, or an error text after which the
// record is cleared and the extension is not offered.
const char *glxInitExtension(ExtensionRecord *record);
// ===== end of set-up =====

// ===== context rows =====
// The row of a request on contexts, tags, GLX drawables or MakeCurrent (glxcontext.cpp); NULL
// for a minor it does not serve. The set-up writes it, under its gate, in place of the default.
const ExtRequestRow *glxContextRow(uint8_t minor);
// The row of a request creating, querying or destroying contexts, GLX drawables or configuration
// lists (glxrequests.cpp); NULL for a minor it does not serve. glxContextRow falls through to it.
const ExtRequestRow *glxRequestRow(uint8_t minor);
// The rows of the screen's GLX strings and of the client-information requests (glxstrings.cpp);
// NULL for another minor.
const ExtRequestRow *glxStringsRow(uint8_t minor);
// Frees the tag table when there is one and clears its words in ProxyState (the extension's
// reset calls it before it clears the record).
void glxFreeTagTable();
// Installs the free and destroy-on-server routines of the GLX resource types (contexts, GLX
// pixmaps, pbuffers) and the client-closing step of the tags; the set-up calls it.
void glxInitContexts();
// The rows of the two vendor-private requests and of the GLSL object requests (glxvendor.cpp);
// NULL for another minor.
const ExtRequestRow *glxVendorRow(uint8_t minor);
// The SGIX FBConfig forms of context and GLX pixmap creation (a vendor request, its fields from
// byte 12), checked as GLXCreateNewContext and GLXCreatePixmap are; the servers get
// GLXCreateContext, respectively GLXCreateGLXPixmap, with the head's visual (glxrequests.cpp).
void glxCreateContextWithConfig(uint8_t *request, uint32_t length);
void glxCreateGlxPixmapWithConfig(uint8_t *request, uint32_t length);
// GLXCreateContextAttribs, checked as GLXCreateNewContext is; its attribute pairs must fill the
// request. The servers get it with the head's FBConfig; a Lumora head gets the pairs
// (glxrequests.cpp).
void glxCreateContextAttribs(uint8_t *request, uint32_t length, uint8_t *);
// The FBConfig list of a screen, answered by the proxy (glxrequests.cpp).
void glxGetFBConfigs(uint8_t *request, uint32_t length, uint8_t *);
// The rows of GLXRender and GLXRenderLarge (glxrender.cpp); NULL for another minor.
const ExtRequestRow *glxRenderRow(uint8_t minor);
// Frees the client's unfinished GLXRenderLarge commands (its closing step calls it).
void glxFreeLargeCommands(ClientConnection *client);
// The row of a single operation (minors 101-202, glxsingle.cpp); NULL for a minor it does not
// serve.
const ExtRequestRow *glxSingleRow(uint8_t minor);
// The reply handler of the single operations: the client's sequence number; for those served on
// every head, the reply of any head but the reply head dropped (through the reply callback keyed
// by the minor, whose argument is the Head); the reply written with the minor's layout. Rows of
// other files whose minors lie in 101-202 may use it when their copies push such callbacks.
void glxSingleReply(uint8_t *reply, uint32_t length);
// The context of the current client's tag; NULL for a tag beyond the table or another client's.
struct GlxContextRecord;
GlxContextRecord *glxTagContext(uint32_t tag);
// ===== end of context rows =====

// ===== versions and extension strings =====
struct GlCapabilities;
struct MetaScreen;
struct Head;
// One head's contribution to the versions: its GL version code (from its GL_VERSION text,
// capped at 1.3 for a head served by its real server and at 2.1, text included, for one served
// inside the proxy), the meta screen's lowest code and text, the meta screen's capabilities
// intersected with the head's, and the record's version lowered to the meta screen's GLX
// version. Logged on the step channel.
void glxAdjustVersion(ExtensionRecord *record, Head *head, GlCapabilities *caps, int direct);
// Add a name to the GL, respectively GLX, extension string of every meta screen (once).
void glxAddGlExtensionAll(const char *name);
void glxAddGlxExtensionAll(const char *name);
// Removes a name from the GLX extension string of the meta screen, or of every one for NULL.
void glxRemoveGlxExtension(const char *name, MetaScreen *screen);
// Whether the GL library inside the proxy serves a head of the screen (NULL: no): its requests
// may then wait for the library longer than a turn, and yield it (miscRunYielding).
bool glxScreenServedInside(const MetaScreen *screen);
// How the set-up learns what a head's real server offers (replaceable for tests): 1 with the
// capabilities filled, 0 when the server has no usable GLX.
using GlxHeadQuery = int (*)(struct _XDisplay *display, int screen, GlCapabilities *caps);
extern GlxHeadQuery glxQueryHead;
// ===== end of versions and extension strings =====
