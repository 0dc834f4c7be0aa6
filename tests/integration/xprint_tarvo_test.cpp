// XpExtension through the tarvo executable on the test relay (-emulate XPRINT, its version
// raised, every event followed by a SendEvent copy) in front of a two-screen Xvfb joined into one
// meta screen; the relay's log is the witness of what reached the server.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

constexpr uint8_t kGetInputFocus = 43;
constexpr uint8_t kQueryVersion = 0, kGetPrinterList = 1, kCreateContext = 2, kSetContext = 3, kGetContext = 4,
                  kGetContextScreen = 6, kStartJob = 7, kSelectInput = 15, kGetAttributes = 17,
                  kSetAttributes = 18, kGetOneAttribute = 19, kGetPageDimensions = 21, kQueryScreens = 22,
                  kSetImageResolution = 23, kGetImageResolution = 24;

struct Codes {
  uint8_t major = 0, firstEvent = 0, firstError = 0;
};

Codes queryPrint(RawClient &c) {
  const std::string name = "XpExtension";
  RawRequest q(c.big());
  q.b(98).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).align();
  RawBytes answer;
  Codes codes;
  if (c.roundTrip(q.done(), answer).empty() && answer[0] == 1 && answer[8]) codes = {answer[9], answer[10], answer[11]};
  return codes;
}

// Sends GetInputFocus and reads up to its reply: the errors and events before it.
std::vector<RawBytes> messagesUntilSync(RawClient &c) {
  std::vector<RawBytes> out;
  if (!c.send(RawRequest(c.big()).b(kGetInputFocus).b(0).s(1).done()).empty()) return out;
  for (;;) {
    RawBytes message;
    if (!c.read(message).empty()) return out;
    if (message[0] == 1 && rawGet16(message, 2, c.big()) == c.sequence()) return out;
    out.push_back(message);
  }
}

// Printers of a GetPrinterList reply as (name, description), read in the client's order.
std::vector<std::pair<std::string, std::string>> printers(const RawBytes &reply, bool big) {
  std::vector<std::pair<std::string, std::string>> out;
  uint32_t count = rawGet32(reply, 8, big);
  size_t at = 32;
  auto text = [&](std::string &into) {
    if (at + 4 > reply.size()) return false;
    size_t length = rawGet32(reply, at, big);
    if (length > reply.size() - at - 4) return false;
    into.assign(reply.begin() + long(at) + 4, reply.begin() + long(at + 4 + length));
    at += 4 + ((length + 3) & ~size_t(3));
    return true;
  };
  for (uint32_t k = 0; k < count; k++) {
    std::pair<std::string, std::string> entry;
    if (!text(entry.first) || !text(entry.second)) break;
    out.push_back(entry);
  }
  return out;
}

class PrintOnRelay : public ::testing::TestWithParam<char> {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  void SetUp() override {
    XvfbOptions options;
    options.screens.assign(2, "800x600x24");
    options.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(options), "");
    relayLog = xrelayTempDir() + "/relay.log";
    ASSERT_EQ(relay.start(xvfb.displayName(),
                          {"-emulate", "XPRINT", "-version", "XPRINT=1.1", "-sent-event", "-log", relayLog}),
              "");
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", relay.displayName() + ".0", "tags", "anyScreen"};
    ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");
    ASSERT_EQ(c.connect(tarvo.displayNumber(), GetParam()), "");
    print = queryPrint(c);
    ASSERT_NE(print.major, 0);
  }

  RawRequest request(uint8_t minor) {
    RawRequest r(c.big());
    r.b(print.major).b(minor).s(0);
    return r;
  }
  RawBytes reply(const RawBytes &bytes) {
    RawBytes answer;
    EXPECT_EQ(c.roundTrip(bytes, answer), "");
    return answer;
  }
  // The last request of that minor the relay answered (bytes as the proxy sent them).
  std::vector<unsigned char> lastLogged(uint8_t minor) {
    std::vector<unsigned char> found;
    for (auto &bytes : xrelayAnsweredSince(xrelayReadFile(relayLog), 0))
      if (bytes.size() >= 4 && bytes[0] == print.major && bytes[1] == minor) found = bytes;
    return found;
  }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string relayLog;
  TarvoProcess tarvo;
  RawClient c;
  Codes print;
};

TEST_P(PrintOnRelay, ContextsJobsAndAttributesInTheClientsTerms) {
  bool big = c.big();
  RawBytes version = reply(request(kQueryVersion).done());
  ASSERT_EQ(version[0], 1);
  EXPECT_EQ(rawGet16(version, 8, big), 1u);
  EXPECT_EQ(rawGet16(version, 10, big), 0u);
  RawClient direct;  // the relay itself speaks 1.1
  ASSERT_EQ(direct.connect(std::stoi(relay.displayName().substr(1)), 'l'), "");
  RawBytes relayVersion;
  RawBytes versionRequest = RawRequest(false).b(queryPrint(direct).major).b(kQueryVersion).s(0).done();
  ASSERT_EQ(direct.roundTrip(versionRequest, relayVersion), "");
  EXPECT_EQ(rawGet16(relayVersion, 10, false), 1u);

  RawBytes list = reply(request(kGetPrinterList).i(0).i(0).done());
  ASSERT_EQ(list[0], 1);
  auto listed = printers(list, big);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0], std::make_pair(std::string("relay-printer-a"), std::string("First printer of the test relay")));
  EXPECT_EQ(listed[1].first, "relay-printer-b");

  // The context reaches the server translated and comes back as the client's.
  uint32_t context = c.idBase() + 1;
  const std::string printer = "relay-printer-a";
  RawBytes create = request(kCreateContext).i(context).i(uint32_t(printer.size())).i(0).text(printer).align().done();
  ASSERT_EQ(c.send(create), "");
  ASSERT_EQ(c.send(request(kSetContext).i(context).done()), "");
  EXPECT_TRUE(messagesUntilSync(c).empty());
  uint32_t serverContext = xrelayCard32(lastLogged(kCreateContext), 4);
  EXPECT_NE(serverContext, 0u);
  EXPECT_NE(serverContext, context);
  EXPECT_EQ(xrelayCard32(lastLogged(kSetContext), 4), serverContext);
  RawBytes current = reply(request(kGetContext).done());
  ASSERT_EQ(current[0], 1);
  EXPECT_EQ(rawGet32(current, 8, big), context);

  // The meta screen's root, for the context and for every screen the server lists.
  RawBytes screen = reply(request(kGetContextScreen).i(context).done());
  ASSERT_EQ(screen[0], 1);
  EXPECT_EQ(rawGet32(screen, 8, big), c.rootWindow());
  RawBytes screens = reply(request(kQueryScreens).done());
  ASSERT_EQ(screens[0], 1);
  uint32_t count = rawGet32(screens, 8, big);
  ASSERT_EQ(count, 2u);
  ASSERT_GE(screens.size(), 32u + 4 * count);
  for (uint32_t k = 0; k < count; k++) EXPECT_EQ(rawGet32(screens, 32 + 4 * k, big), c.rootWindow()) << k;

  // PrintNotify carries the client's context; the copy another client "sent" keeps the server's.
  ASSERT_EQ(c.send(request(kSelectInput).i(context).i(1).done()), "");
  ASSERT_EQ(c.send(request(kStartJob).b(1).pad(3).done()), "");
  std::vector<RawBytes> events = messagesUntilSync(c);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0][0], print.firstEvent);
  EXPECT_EQ(events[0][1], 1);
  EXPECT_EQ(rawGet32(events[0], 4, big), context);
  EXPECT_EQ(events[1][0], print.firstEvent | 0x80);
  EXPECT_EQ(rawGet32(events[1], 4, big), serverContext);

  // An unknown context: XPrintBadContext with the value the server saw.
  uint32_t unknown = c.idBase() + 9;
  ASSERT_EQ(c.send(request(kSetContext).i(unknown).done()), "");
  std::vector<RawBytes> errors = messagesUntilSync(c);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0][0], 0);
  EXPECT_EQ(errors[0][1], print.firstError);
  uint32_t seen = xrelayCard32(lastLogged(kSetContext), 4);
  EXPECT_NE(seen, unknown);
  EXPECT_EQ(rawGet32(errors[0], 4, big), seen);
  EXPECT_EQ(errors[0][10], print.major);

  // Attributes arrive whole and read back.
  const std::string attributes = "job-name: hello\ncopy-count: 2\n";
  ASSERT_EQ(c.send(request(kSetAttributes)
                       .i(context)
                       .i(uint32_t(attributes.size()))
                       .b(1)
                       .b(1)
                       .pad(2)
                       .text(attributes)
                       .align()
                       .done()),
            "");
  EXPECT_TRUE(messagesUntilSync(c).empty());
  std::vector<unsigned char> logged = lastLogged(kSetAttributes);
  ASSERT_GE(logged.size(), 16 + attributes.size());
  EXPECT_EQ(xrelayCard32(logged, 4), serverContext);
  EXPECT_EQ(std::string(logged.begin() + 16, logged.begin() + 16 + long(attributes.size())), attributes);
  RawBytes all = reply(request(kGetAttributes).i(context).b(1).pad(3).done());
  ASSERT_EQ(all[0], 1);
  ASSERT_EQ(rawGet32(all, 8, big), attributes.size());
  EXPECT_EQ(std::string(all.begin() + 32, all.begin() + 32 + long(attributes.size())), attributes);
  const std::string name = "copy-count";
  RawBytes one =
      reply(request(kGetOneAttribute).i(context).i(uint32_t(name.size())).b(1).pad(3).text(name).align().done());
  ASSERT_EQ(one[0], 1);
  ASSERT_EQ(rawGet32(one, 8, big), 1u);
  EXPECT_EQ(one[32], '2');

  // Replies of 16-bit fields in the client's order.
  RawBytes page = reply(request(kGetPageDimensions).i(context).done());
  ASSERT_EQ(page[0], 1);
  EXPECT_EQ(rawGet16(page, 8, big), 2550u);
  EXPECT_EQ(rawGet16(page, 18, big), 3150u);
  RawBytes previous = reply(request(kSetImageResolution).i(context).s(600).s(0).done());
  ASSERT_EQ(previous[0], 1);
  EXPECT_EQ(previous[1], 1);
  EXPECT_EQ(rawGet16(previous, 8, big), 300u);
  RawBytes resolution = reply(request(kGetImageResolution).i(context).done());
  EXPECT_EQ(rawGet16(resolution, 8, big), 600u);
  c.close();
  EXPECT_EQ(tarvo.stop(), 0) << tarvo.output();
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, PrintOnRelay, ::testing::Values('l', 'B'));

}  // namespace
