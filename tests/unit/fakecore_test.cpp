// The fake core harness itself: what later handler tests rely on.
#include <gtest/gtest.h>

#include "fakecore.h"
#include "proxy/clientconnection.h"
#include "proxy/resource.h"
#include "proxy/window.h"
#include "proxy/xproxy.h"

namespace {

class FakeCoreTest : public ::testing::TestWithParam<bool> {};

TEST_P(FakeCoreTest, RequestsReachTheirRowsAndAnswersTheClient) {
  FakeCore core;
  core.addScreen(320, 200);
  FakeClient &c = core.addClient(GetParam());
  struct Case {
    uint8_t major, minor;
  } cases[] = {{120, 0}, {200, 3}};
  for (const Case &k : cases) {
    core.send(c, FakeMessage(c.big).b(k.major).b(k.minor).s(0).i(0x1234).done());
    auto messages = core.messages(c);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0][0], 0);  // an error
    EXPECT_EQ(messages[0][1], 1);  // BadRequest
    EXPECT_EQ(c.u16(messages[0], 2), c.client->sequence);
    EXPECT_EQ(messages[0][10], k.major);
  }
}

TEST_P(FakeCoreTest, RoundTripsAreCapturedAndAnswered) {
  FakeCore core;
  core.addScreen(320, 200, 2);
  EXPECT_EQ(core.heads().size(), 2u);
  FakeClient &c = core.addClient(GetParam(), 2);
  static int answered;
  answered = 0;
  for (size_t connection = 0; connection < 2; connection++) {
    ASSERT_NE(xproxySendNoOpRequest(
                  c.client->displays[connection], [](uint8_t *, uintptr_t n) { answered += int(n); }, 1,
                  [](uintptr_t) {}),
              0u);
    EXPECT_EQ(answered, int(connection));
    auto requests = core.serverRequests(c, connection);  // answered as it is seen
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0][0], 43);
    EXPECT_EQ(answered, int(connection) + 1);
  }
  // A window of the client goes with its close.
  {
    FakeCore::Current current(c);
    ASSERT_NE(windowCreate(c.id(5), core.root(), 0, 0, 10, 10, 0, 0, 0), nullptr);
  }
  core.closeClient(c);
  EXPECT_EQ(resourceLookupWindow(c.id(5)), nullptr);
  EXPECT_EQ(core.root()->firstChild, nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, FakeCoreTest, ::testing::Values(false, true));

}  // namespace
