// Extension initialisation by name: the table of the extensions the proxy knows, with each
// one's default version and set-up, and the initialisation of one ExtensionRecord from it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proxy/xproxy.h"
#include "xext/ext.h"

struct ServerDisplay;

// One known extension. The set-up is an ExtensionInit (xext/ext.h): it registers the record,
// writes its rows and returns NULL, or returns an error text.
struct ExtensionTableRow {
  const char *name;         // matched exactly, case-sensitive
  uint16_t defaultVersion;  // version code (major * 64 + minor) used when the caller passes 0
  ExtensionInit setup;      // every row has one
};

// The known extensions in lookup order. Plain data: tests replace a row's set-up and put the
// saved row back afterwards.
constexpr size_t kXproxyExtensionTableSize = 25;
extern ExtensionTableRow xproxyExtensionTable[kXproxyExtensionTableSize];

// Initialises the record of major opcode `major` for the extension `name`. version 0 takes the
// table's default; firstEvent and firstError are the real server's codes (0 for an extension
// the proxy adds itself). NULL when the configuration switches the extension off; otherwise
// the record, named when the set-up succeeded, empty when the name is unknown or the set-up
// failed (then its rows are given back to the core's defaults).
ExtensionRecord *xproxyInitExtension(const char *name, uint16_t version, uint8_t major, uint8_t firstEvent,
                                     uint8_t firstError);
// 1 when the real display lists the extension of the record's name, else 0.
int xproxyHasExtension(const ExtensionRecord *record, const ServerDisplay *display);
