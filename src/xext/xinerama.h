// The XINERAMA extension: the heads of the meta screens shown to clients as Xinerama screens.
// Every request is answered by the proxy from its own meta screens and heads; nothing reaches
// a real server. The head helpers serve GLX as well.
#pragma once

#include <cstdint>

#include "proxy/xproxy.h"
#include "support/rect.h"
#include "xext/extrequest.h"

struct Head;
struct MetaScreen;

// The n-th head (from 0) of the meta screen, or of all meta screens one after another in list
// order when metaScreen is NULL; NULL when there are fewer heads. A meta screen's heads are
// walked last to first while the environment's "XineramaOrdering" is "reverse" (any case),
// read at each call.
Head *xineramaGetHead(MetaScreen *metaScreen, uint32_t n);
// That head's area in its meta screen; NULL when there is no such head. The pointer is the
// head's own rectangle.
const Rect *xineramaGetHeadArea(MetaScreen *metaScreen, uint32_t n);
// The heads of the meta screen, of all meta screens for NULL; 0 when there are none.
uint32_t xineramaCountHeads(MetaScreen *metaScreen);
// 1 when some head's area differs from the meta screen's own area, 0 when every head covers
// it whole or there is no head (the first meta screen for NULL).
int xineramaIsActive(MetaScreen *metaScreen);

// The request rows (for tests and diagnostics).
extern const ExtRequestTable xineramaTable;

// ===== set-up =====
// Registers "XINERAMA" without events and errors, marks it provided by the proxy, writes its
// rows and its reset. NULL or an error text after which the record is cleared and the
// extension is not offered.
const char *xineramaSetup(ExtensionRecord *record);
// ===== end of set-up =====
