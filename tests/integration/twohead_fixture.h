// The core request harness (corerequests_fixture.h: an Xvfb whose two screens are the two heads
// of one meta screen, the proxy's root windows, and a fake client in the byte order of the test
// parameter) with what the tests of the frame, the query handlers and the routing helpers add:
// handlers of their own, answers with the requests they wrote, raw requests and the log.
#pragma once

#include "corerequests_fixture.h"
#include "rawclient_fixture.h"

// The log lines written since the fixture's set-up (channels Xhint, warning, Xclient, Xerror,
// problem and step).
std::vector<std::string> &twoHeadLogLines();
bool twoHeadLogged(const std::string &part);

// A request handler that writes the request to the server as it is (a header and whole
// 32-bit words, swapped for a client of the other byte order): for requests whose errors a
// test wants from the server.
void twoHeadPassOn(uint8_t *request, uint32_t length);

// Run in both byte orders: the parameter is most significant byte first.
class TwoHeadTest : public corerequests::CoreRequestTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override;
  // Runs once the harness stands, before the first request.
  virtual void installHandlers() {}

  // The one reply or error the request brings (a test failure when it brings another count);
  // written receives the number of requests the handler wrote to the server.
  RawBytes answer(const RawBytes &request, uint32_t *written = nullptr);
  uint32_t requestsSent() const;
  // Whether a log line since the set-up holds the text (the step channel included).
  bool logged(const std::string &part) const { return twoHeadLogged(part); }

  // Set before SetUp (in the test's constructor): the test relay runs in front of the Xvfb with
  // these options, and the heads are opened through it.
  std::vector<std::string> relayOptions;
  corerequests::HarnessOptions options() const override {
    corerequests::HarnessOptions o;
    o.relayOptions = relayOptions;
    return o;
  }
  RawRequest request() const { return RawRequest(big()); }
};
