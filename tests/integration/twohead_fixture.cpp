#include "twohead_fixture.h"

#include <algorithm>

#include "proxy/clientconnection.h"
#include "proxy/xcoreframe.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "xext/byteswap.h"

namespace {
std::vector<std::string> lines;
void keepLine(LogChannel *, const char *, int, const char *message) { lines.emplace_back(message); }
}  // namespace

std::vector<std::string> &twoHeadLogLines() { return lines; }
bool twoHeadLogged(const std::string &part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) { return l.find(part) != l.npos; });
}

void twoHeadPassOn(uint8_t *request, uint32_t length) {
  if (xproxyCurrentClient->reader.swapped) byteswapByFormat("bbsI", request, request + length);
  xcoreFrameForwardOnce(request, length);
}

void TwoHeadTest::SetUp() {
  bigOrder = GetParam();
  CoreRequestTest::SetUp();
  if (HasFatalFailure()) return;
  logEnableChannel(logChannelStep);
  lines.clear();
  logOutputHook = keepLine;  // the harness puts logEmit back at its tear-down
  installHandlers();
}

RawBytes TwoHeadTest::answer(const RawBytes &request, uint32_t *written) {
  uint32_t before = requestsSent();
  send(request);
  if (written) *written = requestsSent() - before;
  std::vector<RawBytes> m = messages();
  EXPECT_EQ(m.size(), 1u);
  return m.empty() ? RawBytes(32, 0xee) : m[0];
}

uint32_t TwoHeadTest::requestsSent() const { return connection->requestsSent; }
