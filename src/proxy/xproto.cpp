// The X protocol streams of the proxy.
#include "proxy/xproto.h"

// ===== Protocol helpers: reader state, names, X error log, sizes, sequence search =====
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "proxy/xcore.h"
#include "proxy/xscreen.h"
#include "support/wirewords.h"
#include "support/logging.h"
#include "support/strings.h"

uint64_t xprotoBigRequestMaximum = 0xffffffffu;
uint64_t xprotoSetupTimeoutMs = 60000;
int xprotoTraceAuthorization = 0;
int xprotoLogXErrors = 0;

void xprotoCloseWithReason(ProtocolReader *reader, const char *reason) {
  // The first reason holds; a pause (stopped without a reason) takes one.
  if (reader->bytesNeeded == kReaderStopped && reader->stopReason[0]) return;
  reader->bytesNeeded = kReaderStopped;
  strCopy(reader->stopReason, reason ? reason : "", sizeof reader->stopReason);
}

uint64_t xprotoBigRequestLength(const uint8_t *request, uint32_t available, int swapped) {
  if (available < 8) return 0;
  uint64_t length = uint64_t(wireGet32(request + 4, swapped)) * 4;
  if (length > available || length < 8) return 0;
  return length;
}

const char *xprotoRequestName(unsigned major, unsigned minor) { return xcoreRequestName(major, minor); }

const char *xprotoRequestLabel(const uint8_t *request) {
  static char label[255];
  bool big = request[2] == 0 && request[3] == 0;
  ClientConnection *client = xproxyCurrentClient;
  snprintf(label, sizeof label, "%s%s #%u", big ? "big " : "", xprotoRequestName(request[0], request[1]),
           client ? client->sequence : 0);
  return label;
}

const char *xprotoErrorName(uint8_t code) {
  const char *name = proxyState.errorNames[code];
  return name ? name : "?";
}

void xprotoLogXError(const uint8_t *error, const char *format, ...) {
  ClientConnection *client = xproxyCurrentClient;
  if (xprotoLogXErrors) {
    va_list args;
    va_start(args, format);
    std::string text = strTempVprintf(format, args);
    va_end(args);
    uint32_t sequence = error[2] | error[3] << 8;
    LOG(logChannelXerror, "X error %s in %s %u from %s to %s", text.c_str(), xprotoRequestName(error[10], error[8]),
        sequence, xproxyCurrentDisplayConnection ? "X server" : "(NULL)", xscreenClientName(client));
  }
  if (client) client->errorCount++;
}

uint64_t xprotoImageBytes(uint32_t width, uint32_t height, int format, uint32_t depth, uint32_t planeMask,
                          uint32_t bitsPerPixel, uint32_t scanlinePad) {
  if (scanlinePad == 0) return 0;
  uint64_t bits = uint64_t(bitsPerPixel) * width;
  uint64_t line = (bits + scanlinePad - 1) / scanlinePad * scanlinePad / 8;
  uint64_t bytes = line * height;
  if (format == 1) {
    uint32_t depthMask = depth >= 32 ? 0xffffffffu : (1u << depth) - 1;
    bytes *= uint32_t(__builtin_popcount(planeMask & depthMask));
  }
  return bytes;
}

uint32_t xprotoReadCard32MSB(const uint8_t *p) { return wireGet32(p, 1); }

void xprotoWriteCard32MSB(uint8_t *p, uint32_t value) {
  p[0] = uint8_t(value >> 24), p[1] = uint8_t(value >> 16), p[2] = uint8_t(value >> 8), p[3] = uint8_t(value);
}

// ----- Sequence numbers and units of server input -----

int xprotoSeqDiff(uint16_t a, uint16_t b) {
  int d = int(a) - int(b);
  if (d < 0) return int(b) - int(a) < 32768 ? d : d + 65536;
  return d < 32768 ? d : d - 65536;
}

uint64_t xprotoUnitLength(const uint8_t *unit, int swapped) {
  if (unit[0] == 1 || unit[0] == 35) return 32 + 4 * uint64_t(wireGet32(unit + 4, swapped));
  return 32;
}

namespace {
int findUnit(bool wantError, uint16_t sequence, const uint8_t *data, uint64_t length, int swapped,
             const uint8_t **unit, uint64_t *unitLength) {
  uint64_t position = 0;
  while (length - position >= 32) {
    const uint8_t *at = data + position;
    uint64_t n = xprotoUnitLength(at, swapped);
    if (n > length - position) break;  // incomplete
    if ((wantError ? at[0] == 0 : at[0] == 1) && wireGet16(at + 2, swapped) == sequence) {
      *unit = at;
      *unitLength = n;
      return 1;
    }
    position += n;
  }
  *unit = data + position;
  *unitLength = 0;
  return 0;
}

}  // namespace

int xprotoFindEvent(uint16_t sequence, const uint8_t *data, uint64_t length, int swapped, const uint8_t **unit,
                    uint64_t *unitLength) {
  return findUnit(false, sequence, data, length, swapped, unit, unitLength);
}

int xprotoFindError(uint16_t sequence, const uint8_t *data, uint64_t length, int swapped, const uint8_t **unit,
                    uint64_t *unitLength) {
  return findUnit(true, sequence, data, length, swapped, unit, unitLength);
}

// ===== end of protocol helpers =====

// ===== Request encoders =====
#include <bit>
#include <cstring>

namespace {


// Reserves a request of length bytes through the sink; its body (byte 4 on), or NULL.
uint8_t *reserve(const RequestSink *sink, uint8_t opcode, uint8_t dataByte, uint32_t length) {
  if (!sink || !sink->begin) return nullptr;
  uint8_t *request = sink->begin(sink->context, opcode, dataByte, length);
  return request ? request + 4 : nullptr;
}

// A request whose body is one 32-bit id.
int encodeOneId(const RequestSink *sink, uint8_t opcode, uint32_t id) {
  uint8_t *body = reserve(sink, opcode, 0, 8);
  if (!body) return 0;
  wirePut32(body, id);
  return 1;
}

void putValues(uint8_t *at, const uint32_t *values, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) wirePut32(at + 4 * i, values[i]);
}

}  // namespace

uint32_t xprotoGCValueList(uint32_t mask, const XGCValues *values, uint32_t *out) {
  if (!values) return 0;
  const uint32_t fields[23] = {
      uint32_t(values->function),           uint32_t(values->plane_mask),
      uint32_t(values->foreground),         uint32_t(values->background),
      uint32_t(values->line_width),         uint32_t(values->line_style),
      uint32_t(values->cap_style),          uint32_t(values->join_style),
      uint32_t(values->fill_style),         uint32_t(values->fill_rule),
      uint32_t(values->tile),               uint32_t(values->stipple),
      uint32_t(values->ts_x_origin),        uint32_t(values->ts_y_origin),
      uint32_t(values->font),               uint32_t(values->subwindow_mode),
      uint32_t(values->graphics_exposures), uint32_t(values->clip_x_origin),
      uint32_t(values->clip_y_origin),      uint32_t(values->clip_mask),
      uint32_t(values->dash_offset),        uint32_t(int32_t(static_cast<signed char>(values->dashes))),
      uint32_t(values->arc_mode)};
  uint32_t n = 0;
  for (uint32_t bit = 0; bit < 23; bit++)
    if (mask & (1u << bit)) out[n++] = fields[bit];
  return n;
}

uint32_t xprotoWindowValueList(uint32_t mask, const XSetWindowAttributes *attributes, uint32_t *out) {
  if (!attributes) return 0;
  const XSetWindowAttributes &a = *attributes;
  // Xlib's record keeps save-under, event mask and do-not-propagate before override-redirect.
  const uint32_t fields[15] = {uint32_t(a.background_pixmap),     uint32_t(a.background_pixel),
                               uint32_t(a.border_pixmap),         uint32_t(a.border_pixel),
                               uint32_t(a.bit_gravity),           uint32_t(a.win_gravity),
                               uint32_t(a.backing_store),         uint32_t(a.backing_planes),
                               uint32_t(a.backing_pixel),         uint32_t(a.override_redirect),
                               uint32_t(a.save_under),            uint32_t(a.event_mask),
                               uint32_t(a.do_not_propagate_mask), uint32_t(a.colormap),
                               uint32_t(a.cursor)};
  uint32_t n = 0;
  for (uint32_t bit = 0; bit < 15; bit++)
    if (mask & (1u << bit)) out[n++] = fields[bit];
  return n;
}

int xprotoEncodeCreateWindow(const RequestSink *sink, uint32_t window, uint32_t parent, int16_t x, int16_t y,
                             uint16_t width, uint16_t height, uint16_t borderWidth, uint8_t depth, uint16_t windowClass,
                             uint32_t visual, uint32_t mask, const XSetWindowAttributes *attributes) {
  uint32_t values[15];
  mask &= 0x7fff;
  uint32_t n = xprotoWindowValueList(mask, attributes, values);
  if (!attributes) mask = 0;
  uint8_t *body = reserve(sink, 1, depth, 32 + 4 * n);
  if (!body) return 0;
  wirePut32(body, window);
  wirePut32(body + 4, parent);
  wirePut16(body + 8, uint16_t(x));
  wirePut16(body + 10, uint16_t(y));
  wirePut16(body + 12, width);
  wirePut16(body + 14, height);
  wirePut16(body + 16, borderWidth);
  wirePut16(body + 18, windowClass);
  wirePut32(body + 20, visual);
  wirePut32(body + 24, mask);
  putValues(body + 28, values, n);
  return 1;
}

int xprotoEncodeChangeWindowAttributes(const RequestSink *sink, uint32_t window, uint32_t mask,
                                       const XSetWindowAttributes *attributes) {
  uint32_t values[15];
  mask &= 0x7fff;
  uint32_t n = xprotoWindowValueList(mask, attributes, values);
  if (!attributes) mask = 0;
  uint8_t *body = reserve(sink, 2, 0, 12 + 4 * n);
  if (!body) return 0;
  wirePut32(body, window);
  wirePut32(body + 4, mask);
  putValues(body + 8, values, n);
  return 1;
}

int xprotoEncodeSetEventMask(const RequestSink *sink, uint32_t window, uint32_t eventMask) {
  uint8_t *body = reserve(sink, 2, 0, 16);
  if (!body) return 0;
  wirePut32(body, window);
  wirePut32(body + 4, 0x800);
  wirePut32(body + 8, eventMask);
  return 1;
}

int xprotoEncodeDestroyWindow(const RequestSink *sink, uint32_t window) { return encodeOneId(sink, 4, window); }

int xprotoEncodeMapWindow(const RequestSink *sink, uint32_t window) { return encodeOneId(sink, 8, window); }

int xprotoEncodeConfigureWindow(const RequestSink *sink, uint32_t window, uint16_t mask, const uint32_t *values) {
  if (!values) mask = 0;
  uint32_t n = uint32_t(std::popcount(unsigned(mask)));
  uint8_t *body = reserve(sink, 12, 0, 12 + 4 * n);
  if (!body) return 0;
  wirePut32(body, window);
  wirePut16(body + 4, mask);
  wirePut16(body + 6, 0);
  putValues(body + 8, values, n);
  return 1;
}

int xprotoEncodeResizeWindow(const RequestSink *sink, uint32_t window, uint32_t width, uint32_t height) {
  uint8_t *body = reserve(sink, 12, 0, 20);
  if (!body) return 0;
  wirePut32(body, window);
  wirePut16(body + 4, 0x000c);
  wirePut16(body + 6, 0);
  wirePut32(body + 8, width);
  wirePut32(body + 12, height);
  return 1;
}

int xprotoEncodeAllowEvents(const RequestSink *sink, uint8_t mode, uint32_t time) {
  uint8_t *body = reserve(sink, 35, mode, 8);
  if (!body) return 0;
  wirePut32(body, time);
  return 1;
}

int xprotoEncodeUngrabServer(const RequestSink *sink) { return reserve(sink, 37, 0, 4) != nullptr; }

int xprotoEncodeCreatePixmap(const RequestSink *sink, uint32_t pixmap, uint32_t drawable, uint16_t width,
                             uint16_t height, uint8_t depth) {
  uint8_t *body = reserve(sink, 53, depth, 16);
  if (!body) return 0;
  wirePut32(body, pixmap);
  wirePut32(body + 4, drawable);
  wirePut16(body + 8, width);
  wirePut16(body + 10, height);
  return 1;
}

int xprotoEncodeFreePixmap(const RequestSink *sink, uint32_t pixmap) { return encodeOneId(sink, 54, pixmap); }

int xprotoEncodeCreateGC(const RequestSink *sink, uint32_t gc, uint32_t drawable, uint32_t mask,
                         const XGCValues *values) {
  uint32_t list[23];
  mask &= 0x7fffff;
  uint32_t n = xprotoGCValueList(mask, values, list);
  if (!values) mask = 0;
  uint8_t *body = reserve(sink, 55, 0, 16 + 4 * n);
  if (!body) return 0;
  wirePut32(body, gc);
  wirePut32(body + 4, drawable);
  wirePut32(body + 8, mask);
  putValues(body + 12, list, n);
  return 1;
}

int xprotoEncodeFreeGC(const RequestSink *sink, uint32_t gc) { return encodeOneId(sink, 60, gc); }

int xprotoEncodeCopyArea(const RequestSink *sink, uint32_t source, uint32_t destination, uint32_t gc, int16_t sourceX,
                         int16_t sourceY, uint16_t width, uint16_t height, int16_t destinationX, int16_t destinationY) {
  uint8_t *body = reserve(sink, 62, 0, 28);
  if (!body) return 0;
  wirePut32(body, source);
  wirePut32(body + 4, destination);
  wirePut32(body + 8, gc);
  wirePut16(body + 12, uint16_t(sourceX));
  wirePut16(body + 14, uint16_t(sourceY));
  wirePut16(body + 16, uint16_t(destinationX));
  wirePut16(body + 18, uint16_t(destinationY));
  wirePut16(body + 20, width);
  wirePut16(body + 22, height);
  return 1;
}

int xprotoEncodePutImage(const RequestSink *sink, uint32_t drawable, uint32_t gc, const XImage *image, int16_t x,
                         int16_t y) {
  if (!image || image->height <= 0) return 1;
  if (image->bytes_per_line < 0 || image->width < 0 || image->width > 0xffff || image->height > 0xffff) return 0;
  const uint64_t bytesPerLine = uint64_t(image->bytes_per_line);
  // XYPixmap data is plane after plane, each plane height x bytes per line.
  const uint64_t planes = image->format == XYPixmap && image->depth > 0 ? uint64_t(image->depth) : 1;
  const uint64_t rowBytes = bytesPerLine * planes;
  uint64_t rowsPerChunk = rowBytes ? kPutImageChunkBytes / rowBytes : kPutImageChunkBytes;
  if (rowsPerChunk == 0) rowsPerChunk = 1;  // a longer line goes out alone, in the big form
  const uint64_t height = uint64_t(image->height);
  const auto *data = reinterpret_cast<const uint8_t *>(image->data);
  for (uint64_t first = 0; first < height; first += rowsPerChunk) {
    uint64_t rows = height - first < rowsPerChunk ? height - first : rowsPerChunk;
    uint64_t dataBytes = rowBytes * rows;
    uint64_t length = 24 + ((dataBytes + 3) & ~uint64_t(3));
    if (length > 0xfffffff0u) return 0;
    uint8_t *body = reserve(sink, 72, uint8_t(image->format), uint32_t(length));
    if (!body) return 0;
    wirePut32(body, drawable);
    wirePut32(body + 4, gc);
    wirePut16(body + 8, uint16_t(image->width));
    wirePut16(body + 10, uint16_t(rows));
    wirePut16(body + 12, uint16_t(x));
    wirePut16(body + 14, uint16_t(int64_t(y) + int64_t(first)));
    body[16] = uint8_t(image->xoffset);
    body[17] = uint8_t(image->depth);
    wirePut16(body + 18, 0);
    uint8_t *out = body + 20;
    uint64_t chunkPlaneBytes = bytesPerLine * rows;
    for (uint64_t plane = 0; plane < planes; plane++) {
      if (data && chunkPlaneBytes) memcpy(out, data + plane * bytesPerLine * height + first * bytesPerLine, chunkPlaneBytes);
      else memset(out, 0, chunkPlaneBytes);
      out += chunkPlaneBytes;
    }
    memset(out, 0, ((dataBytes + 3) & ~uint64_t(3)) - dataBytes);
  }
  return 1;
}

int xprotoEncodeCreateColormap(const RequestSink *sink, uint32_t colormap, uint32_t window, uint32_t visual,
                               uint8_t alloc) {
  uint8_t *body = reserve(sink, 78, alloc, 16);
  if (!body) return 0;
  wirePut32(body, colormap);
  wirePut32(body + 4, window);
  wirePut32(body + 8, visual);
  return 1;
}

int xprotoEncodeFreeColormap(const RequestSink *sink, uint32_t colormap) { return encodeOneId(sink, 79, colormap); }

int xprotoEncodeCreateCursor(const RequestSink *sink, uint32_t cursor, uint32_t source, uint32_t mask, uint16_t x,
                             uint16_t y, uint16_t foreRed, uint16_t foreGreen, uint16_t foreBlue, uint16_t backRed,
                             uint16_t backGreen, uint16_t backBlue) {
  uint8_t *body = reserve(sink, 93, 0, 32);
  if (!body) return 0;
  wirePut32(body, cursor);
  wirePut32(body + 4, source);
  wirePut32(body + 8, mask);
  wirePut16(body + 12, foreRed);
  wirePut16(body + 14, foreGreen);
  wirePut16(body + 16, foreBlue);
  wirePut16(body + 18, backRed);
  wirePut16(body + 20, backGreen);
  wirePut16(body + 22, backBlue);
  wirePut16(body + 24, x);
  wirePut16(body + 26, y);
  return 1;
}

int xprotoEncodeFreeCursor(const RequestSink *sink, uint32_t cursor) { return encodeOneId(sink, 95, cursor); }
// ===== end of request encoders =====
