// Messages the proxy writes itself: X errors, the failed setup, replies from its own data and
// core requests towards the real servers.
#include "proxy/core11g.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proxy/korvanparser.h"
#include "proxy/main.h"
#include "proxy/xcore.h"
#include "proxy/xproto.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "support/logging.h"
#include "xclient/xutilh.h"
#include "xclient/ximage.h"
#include "xclient/xtarget.h"

uint8_t core11GShmMajorOpcode;

namespace {

constexpr const char *kSource = "Proxy/core11G.c";


uint32_t padded(uint32_t n) { return (n + 3) & ~3u; }

// Reserves a request and returns its body (byte 4 on), or NULL.
uint8_t *begin(DisplayConnection *connection, uint8_t opcode, uint8_t dataByte, uint32_t length) {
  if (!connection) return nullptr;
  uint8_t *request = xproxyBeginRequest(connection, opcode, dataByte, length);
  return request ? request + 4 : nullptr;
}

// A reply buffer of 32 + extra bytes, zeroed; nothing when the size does not fit the protocol.
bool makeReply(std::vector<uint8_t> &reply, uint64_t extra) {
  if (extra > 0x3ffffffcull * 4) return false;
  try {
    reply.assign(32 + padded(uint32_t(extra)), 0);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

void core11GSendError(uint8_t code, uint32_t badValue, const uint8_t *request, uint32_t requestLength,
                      uint16_t sequence, const char *detail, ClientConnection *client) {
  uint8_t major = request && requestLength >= 1 ? request[0] : 0;
  uint8_t minor = request && requestLength >= 2 ? request[1] : 0;
  bool big = request && requestLength >= 4 && wireGet16(request + 2) == 0;
  const char *name = proxyState.errorNames[code] ? proxyState.errorNames[code] : "?";
  char value[16];
  snprintf(value, sizeof value, badValue < 1000 ? "%u" : "0x%x", badValue);
  logWrite(logChannelXerror, kSource, __LINE__,
           logFormat("X error %s %s%s%s%s detected in %s%s #%u (%u bytes) by %s", name, value, detail ? " (" : "",
                     detail ? detail : "", detail ? ")" : "", big ? "big " : "", xcoreRequestName(major, minor),
                     unsigned(sequence), requestLength, xscreenClientName(client)));
  if (!client) return;
  uint8_t error[32] = {};
  error[1] = code;
  wirePut16(error + 2, sequence);
  wirePut32(error + 4, badValue);
  // Byte 1 of a core request is a data byte, not a minor opcode.
  wirePut16(error + 8, major < 128 ? 0 : minor);
  error[10] = major;
  mainWriteInSequence(error, 32, "bbsis", client);
  client->errorCount++;
}

void core11GSendSetupFailed(ClientConnection *client, const char *reason) {
  if (!client || !client->transport) return;
  size_t length = reason ? strlen(reason) : 0;
  if (length > 255) length = 255;  // the length is one byte
  uint32_t total = 8 + padded(uint32_t(length));
  auto *out = reinterpret_cast<uint8_t *>(malloc(total));
  if (!out) return;
  memset(out, 0, total);
  out[0] = 0;
  out[1] = uint8_t(length);
  wirePut16(out + 2, 11);
  wirePut16(out + 4, 0);
  wirePut16(out + 6, uint16_t(padded(uint32_t(length)) / 4));
  if (length) memcpy(out + 8, reason, length);
  xscreenCopySwapped(out, total, "bbsss", client);
  free(out);
}

int core11GSendConnectionSetup(DisplayConnection *connection, const char *name, uint32_t nameLength,
                               const char *data, uint32_t dataLength) {
  if (!connection || nameLength > 0xffff || dataLength > 0xffff) return 0;
  uint32_t total = 12 + padded(nameLength) + padded(dataLength);
  auto *out = reinterpret_cast<uint8_t *>(outbufferReserve(&connection->output, total));
  if (!out) return 0;
  memset(out, 0, total);
  out[0] = std::endian::native == std::endian::little ? 'l' : 'B';
  wirePut16(out + 2, 11);
  wirePut16(out + 4, 0);
  wirePut16(out + 6, uint16_t(nameLength));
  wirePut16(out + 8, uint16_t(dataLength));
  if (nameLength) memcpy(out + 12, name, nameLength);
  if (dataLength) memcpy(out + 12 + padded(nameLength), data, dataLength);
  // The setup takes sequence 0 of the map, under request key 0; requests count from 1.
  if (SequenceMapPage *first = connection->pages) {
    SequenceMapPage *last = first->prev ? first->prev : first;
    SequenceMapEntry &entry = last->entries[connection->requestsSent & (kSequenceMapEntries - 1)];
    entry.clientSequence = uint16_t(connection->owner ? connection->owner->sequence : 0);
    entry.requestKey = 0;
  }
  connection->lastWrittenSequence = connection->requestsSent;
  return 1;
}

int core11GGetWindowAttributes(Display *display, Window window, XWindowAttributes *attributes) {
  XWindowAttributes local;
  xtargetArmErrorTrap(display);
  const char *failure =
      ximageWindowAttributesWithin(display, window, xtargetSyncLimitMs, attributes ? attributes : &local);
  xtargetDisarmErrorTrap();
  if (failure) LOG(logChannelXhint, "XGetWindowAttributes(window=0x%lx) failed: %s", static_cast<unsigned long>(window),
                   failure);
  return failure ? 0 : 1;
}

// ----- Replies --------------------------------------------------------------------------------

int core11GAllocColorReply(ClientConnection *client, const XColor *color) {
  if (!client || !color) return 0;
  uint8_t reply[32] = {};
  wirePut16(reply + 2, uint16_t(client->sequence));
  wirePut16(reply + 8, color->red);
  wirePut16(reply + 10, color->green);
  wirePut16(reply + 12, color->blue);
  wirePut32(reply + 16, uint32_t(color->pixel));
  mainSendReply(84, 0, reply, 32, "bbsissssi", client);
  return 1;
}

int core11GAllocNamedColorReply(ClientConnection *client, const XColor *exact, const XColor *visual) {
  if (!client || !exact || !visual) return 0;
  uint8_t reply[32] = {};
  wirePut16(reply + 2, uint16_t(client->sequence));
  wirePut32(reply + 8, uint32_t(visual->pixel));
  wirePut16(reply + 12, exact->red);
  wirePut16(reply + 14, exact->green);
  wirePut16(reply + 16, exact->blue);
  wirePut16(reply + 18, visual->red);
  wirePut16(reply + 20, visual->green);
  wirePut16(reply + 22, visual->blue);
  mainSendReply(85, 0, reply, 32, "bbsiissssss", client);
  return 1;
}

int core11GAllocColorCellsReply(const uint32_t *pixels, uint32_t pixelCount, const uint32_t *masks,
                                uint32_t maskCount) {
  ClientConnection *client = xproxyCurrentClient;
  if (!client || pixelCount > 0xffff || maskCount > 0xffff) return 0;
  std::vector<uint8_t> reply;
  if (!makeReply(reply, 4 * (uint64_t(pixelCount) + maskCount))) return 0;
  wirePut16(&reply[2], uint16_t(client->sequence));
  wirePut16(&reply[8], uint16_t(pixelCount));
  wirePut16(&reply[10], uint16_t(maskCount));
  if (pixelCount) memcpy(&reply[32], pixels, 4 * size_t(pixelCount));
  if (maskCount) memcpy(&reply[32 + 4 * size_t(pixelCount)], masks, 4 * size_t(maskCount));
  mainSendReply(86, 0, reply.data(), uint32_t(reply.size()), "bbsissI", client);
  return 1;
}

int core11GGetKeyboardMappingReply(ClientConnection *client, uint16_t sequence, const uint32_t *keysyms,
                                   uint8_t keysymsPerKeycode, uint32_t rowsGiven, uint32_t rowsAsked) {
  if (!client) return 0;
  const uint32_t perRow = keysymsPerKeycode;
  std::vector<uint8_t> reply;
  if (!makeReply(reply, 4ull * perRow * rowsAsked)) return 0;
  wirePut16(&reply[2], sequence);
  reply[1] = keysymsPerKeycode;
  uint32_t rows = rowsGiven < rowsAsked ? rowsGiven : rowsAsked;  // never more than asked
  if (!keysyms) rows = 0;
  bool shift = perRow > 4 && !(configRecord.workarounds & kWorkaroundNoNoXKB);
  auto *out = reinterpret_cast<uint32_t *>(&reply[32]);
  for (uint32_t r = 0; r < rows; r++) {
    uint32_t *row = out + size_t(r) * perRow;
    memcpy(row, keysyms + size_t(r) * perRow, 4 * size_t(perRow));
    if (!shift) continue;
    bool extra = false;
    for (uint32_t k = 4; k < perRow; k++) extra = extra || row[k] != 0;
    // Keysyms from the fifth on move over the third and fourth; the last two keep theirs.
    if (extra) memmove(row + 2, row + 4, 4 * size_t(perRow - 4));
  }
  mainSendReply(101, 0, reply.data(), uint32_t(reply.size()), "bbsI", client);
  return 1;
}

namespace {

// A reply of 32 bytes and data: byte 1, the sequence, a 32-bit or 16-bit field at byte 8 (by
// the layout's choice) and the data padded to 4.
int sendDataReply(ClientConnection *client, uint8_t opcode, uint8_t byte1, uint16_t sequence, uint32_t word8,
                  bool word8Is16, const uint8_t *data, uint32_t length, WireLayout layout) {
  if (!client) return 0;
  std::vector<uint8_t> reply;
  if (!makeReply(reply, length)) return 0;
  reply[1] = byte1;
  wirePut16(&reply[2], sequence);
  if (word8Is16)
    wirePut16(&reply[8], uint16_t(word8));
  else
    wirePut32(&reply[8], word8);
  if (length && data) memcpy(&reply[32], data, length);
  mainSendReply(opcode, 0, reply.data(), uint32_t(reply.size()), layout, client);
  return 1;
}

}  // namespace

int core11GListExtensionsReply(ClientConnection *client, uint8_t count, const uint8_t *names, uint32_t length) {
  if (!client) return 0;
  return sendDataReply(client, 99, count, client->replySequence, 0, false, names, length, "bbsi");
}

int core11GListHostsReply(ClientConnection *client, uint16_t sequence, uint8_t mode, uint16_t count,
                          const uint8_t *entries, uint32_t length) {
  return sendDataReply(client, 110, mode, sequence, count, true, entries, length, "H-34");
}

int core11GGetImageReply(ClientConnection *client, uint16_t sequence, uint32_t visual, uint8_t depth,
                         const uint8_t *data, uint32_t length) {
  return sendDataReply(client, 73, depth, sequence, visual, false, data, length, "bbsii");
}

// ----- Requests -------------------------------------------------------------------------------

void core11GGrabPointer(DisplayConnection *connection, uint8_t ownerEvents, uint32_t window, uint16_t eventMask,
                        uint8_t pointerMode, uint8_t keyboardMode, uint32_t confineTo, uint32_t cursor) {
  uint8_t *body = begin(connection, 26, ownerEvents, 24);
  if (!body) return;
  wirePut32(body, window);
  wirePut16(body + 4, eventMask);
  body[6] = pointerMode;
  body[7] = keyboardMode;
  wirePut32(body + 8, confineTo);
  wirePut32(body + 12, cursor);
  wirePut32(body + 16, 0);
}

uint8_t *core11GUngrabPointer(DisplayConnection *connection) {
  uint8_t *body = begin(connection, 27, 0, 8);
  if (!body) return nullptr;
  wirePut32(body, 0);
  return body - 4;
}

void core11GUngrabButton(DisplayConnection *connection, uint8_t button, uint32_t window, uint16_t modifiers) {
  uint8_t *body = begin(connection, 29, button, 12);
  if (!body) return;
  wirePut32(body, window);
  wirePut16(body + 4, modifiers);
  wirePut16(body + 6, 0);
}

void core11GGrabKeyboard(DisplayConnection *connection, uint8_t ownerEvents, uint32_t window, uint8_t pointerMode,
                         uint8_t keyboardMode) {
  uint8_t *body = begin(connection, 31, ownerEvents, 16);
  if (!body) return;
  wirePut32(body, window);
  wirePut32(body + 4, 0);
  body[8] = pointerMode;
  body[9] = keyboardMode;
  wirePut16(body + 10, 0);
}

uint8_t *core11GUngrabKeyboard(DisplayConnection *connection) {
  uint8_t *body = begin(connection, 32, 0, 8);
  if (!body) return nullptr;
  wirePut32(body, 0);
  return body - 4;
}

void core11GUngrabKey(DisplayConnection *connection, uint8_t key, uint32_t window, uint16_t modifiers) {
  uint8_t *body = begin(connection, 34, key, 12);
  if (!body) return;
  wirePut32(body, window);
  wirePut16(body + 4, modifiers);
  wirePut16(body + 6, 0);
}

int core11GGrabServer(DisplayConnection *connection) { return begin(connection, 36, 0, 4) != nullptr; }

void core11GQueryPointer(DisplayConnection *connection, uint32_t window) {
  if (uint8_t *body = begin(connection, 38, 0, 8)) wirePut32(body, window);
}

void core11GWarpPointer(DisplayConnection *connection, uint32_t window, int16_t x, int16_t y) {
  uint8_t *body = begin(connection, 41, 0, 24);
  if (!body) return;
  memset(body, 0, 20);
  wirePut32(body + 4, window);
  wirePut16(body + 16, uint16_t(x));
  wirePut16(body + 18, uint16_t(y));
}

void core11GSetInputFocus(DisplayConnection *connection, uint8_t revertTo, uint32_t focus) {
  uint8_t *body = begin(connection, 42, revertTo, 12);
  if (!body) return;
  wirePut32(body, focus);
  wirePut32(body + 4, 0);
}

void core11GMoveResizeWindow(DisplayConnection *connection, uint32_t window, int32_t x, int32_t y, uint32_t width,
                             uint32_t height) {
  uint8_t *body = begin(connection, 12, 0, 28);
  if (!body) return;
  wirePut32(body, window);
  wirePut16(body + 4, 15);
  wirePut16(body + 6, 0);
  wirePut32(body + 8, uint32_t(x));
  wirePut32(body + 12, uint32_t(y));
  wirePut32(body + 16, width);
  wirePut32(body + 20, height);
}

void core11GMoveWindow(DisplayConnection *connection, uint32_t window, int32_t x, int32_t y) {
  uint8_t *body = begin(connection, 12, 0, 20);
  if (!body) return;
  wirePut32(body, window);
  wirePut16(body + 4, 3);
  wirePut16(body + 6, 0);
  wirePut32(body + 8, uint32_t(x));
  wirePut32(body + 12, uint32_t(y));
}

void core11GChangeGC(DisplayConnection *connection, uint32_t gc, uint32_t mask, const XGCValues *values) {
  uint32_t list[23];
  mask &= 0x7fffff;
  uint32_t count = xprotoGCValueList(mask, values, list);
  if (!values) mask = 0;
  uint8_t *body = begin(connection, 56, 0, 12 + 4 * count);
  if (!body) return;
  wirePut32(body, gc);
  wirePut32(body + 4, mask);
  for (uint32_t i = 0; i < count; i++) wirePut32(body + 8 + 4 * i, list[i]);
}

void core11GStoreColor(DisplayConnection *connection, uint32_t colormap, uint32_t pixel, uint16_t red,
                       uint16_t green, uint16_t blue) {
  uint8_t *body = begin(connection, 89, 0, 20);
  if (!body) return;
  wirePut32(body, colormap);
  wirePut32(body + 4, pixel);
  wirePut16(body + 8, red);
  wirePut16(body + 10, green);
  wirePut16(body + 12, blue);
  body[14] = 7;
  body[15] = 0;
}

int core11GGetImage(DisplayConnection *connection, uint8_t format, uint32_t drawable, int16_t x, int16_t y,
                    uint16_t width, uint16_t height, uint32_t planeMask) {
  uint8_t *body = begin(connection, 73, format, 20);
  if (!body) return 0;
  wirePut32(body, drawable);
  wirePut16(body + 4, uint16_t(x));
  wirePut16(body + 6, uint16_t(y));
  wirePut16(body + 8, width);
  wirePut16(body + 10, height);
  wirePut32(body + 12, planeMask);
  return 1;
}

void core11GShmPutImage(DisplayConnection *connection, uint32_t drawable, uint32_t gc, uint16_t totalWidth,
                        uint16_t totalHeight, uint16_t sourceX, uint16_t sourceY, uint16_t width, uint16_t height,
                        int16_t destinationX, int16_t destinationY, uint8_t depth, uint8_t format,
                        uint8_t sendEvent, uint32_t segment, uint32_t offset) {
  if (!core11GShmMajorOpcode) return;
  uint8_t *body = begin(connection, core11GShmMajorOpcode, 3, 40);
  if (!body) return;
  wirePut32(body, drawable);
  wirePut32(body + 4, gc);
  wirePut16(body + 8, totalWidth);
  wirePut16(body + 10, totalHeight);
  wirePut16(body + 12, sourceX);
  wirePut16(body + 14, sourceY);
  wirePut16(body + 16, width);
  wirePut16(body + 18, height);
  wirePut16(body + 20, uint16_t(destinationX));
  wirePut16(body + 22, uint16_t(destinationY));
  body[24] = depth;
  body[25] = format;
  body[26] = sendEvent;
  body[27] = 0;
  wirePut32(body + 28, segment);
  wirePut32(body + 32, offset);
}
