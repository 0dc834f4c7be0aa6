// Extension initialisation by name.
#include "proxy/xproxyext.h"

ExtensionTableRow xproxyExtensionTable[kXproxyExtensionTableSize] = {};

ExtensionRecord *xproxyInitExtension(const char *, uint16_t, uint8_t, uint8_t, uint8_t) { return nullptr; }

int xproxyHasExtension(const ExtensionRecord *, const ServerDisplay *) { return 0; }
