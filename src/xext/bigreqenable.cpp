// The BigReqEnable writer and the proxy's BIG-REQUESTS maximum.
#include "xext/bigreqenable.h"

#include "proxy/xproto.h"

void bigreqLowerMaximum(uint32_t units) {
  uint64_t bytes = 4 * uint64_t(units);
  if (bytes < xprotoBigRequestMaximum) xprotoBigRequestMaximum = bytes;
}

int bigreqWriteEnable(const RequestSink *sink, uint8_t major) {
  return sink && sink->begin && sink->begin(sink->context, major, 0, 4) != nullptr;
}
