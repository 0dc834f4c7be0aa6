// SUN_ALLPLANES: drawing on all planes, replicated on every head.
#include "xext/allplanes.h"

const char *allplanesInit(ExtensionRecord *) { return "not available yet"; }
