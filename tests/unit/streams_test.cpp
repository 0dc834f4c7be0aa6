// Request cutting: the connection setup and requests of a fake client built in memory, every
// case in both byte orders and fed whole as well as one byte at a time.
#include <gtest/gtest.h>

#include "proxy/connections.h"
#include "proxy/streams.h"
#include "proxy/xproto.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "proxy/access.h"
#include "proxy/xproxy.h"
#include "support/orders.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Handled {
  uint32_t key;
  Bytes bytes;
};
std::vector<Handled> handled;
std::string stopWith;  // a handler's stop reason ("" = none)
bool stopPause = false;
uint32_t stopAtKey = 0xffffffff;

void recordRequest(uint8_t *request, uint32_t length) {
  handled.push_back({uint32_t(request[0] | request[1] << 8), Bytes(request, request + (length ? length : 4))});
  uint32_t key = request[0] | request[1] << 8;
  if (key == stopAtKey) {
    xprotoCloseWithReason(&xproxyCurrentClient->reader, stopPause ? nullptr : stopWith.c_str());
    if (!stopPause) xprotoCloseWithReason(&xproxyCurrentClient->reader, "second reason");
  }
}

// A message in one byte order.
struct Msg {
  bool big;
  Bytes d;
  Msg &b(unsigned v) { d.push_back(uint8_t(v)); return *this; }
  Msg &s(unsigned v) { return big ? b(v >> 8).b(v) : b(v).b(v >> 8); }
  Msg &i(uint32_t v) { return big ? s(v >> 16).s(v & 0xffff) : s(v & 0xffff).s(v >> 16); }
  Msg &pad(size_t n) { d.insert(d.end(), n, 0x55); return *this; }
};

Bytes request(bool big, uint8_t major, uint8_t data, uint32_t words) {
  Msg m{big, {}};
  m.b(major).b(data).s(words);
  m.pad(words ? words * 4 - 4 : 0);
  return m.d;
}

Bytes bigRequest(bool big, uint8_t major, uint32_t words, size_t bodyBytes) {
  Msg m{big, {}};
  m.b(major).b(0).s(0).i(words).pad(bodyBytes);
  return m.d;
}

// Grants an empty authorization, refuses any other.
const char *grantEmpty(ClientConnection *, uint16_t nameLength, const char *, uint16_t, const uint8_t *) {
  return nameLength ? "Protocol not supported by server" : nullptr;
}

class Cutter : public ::testing::TestWithParam<std::tuple<bool, bool>> {
 protected:
  void SetUp() override {
    ordersInit();
    saved.reset(new RequestHandler[kRequestKeys]);
    memcpy(saved.get(), proxyState.requestHandlers, sizeof proxyState.requestHandlers);
    for (auto &h : proxyState.requestHandlers) h = recordRequest;
    handled.clear();
    stopWith.clear();
    stopPause = false;
    stopAtKey = 0xffffffff;
    client = static_cast<ClientConnection *>(calloc(1, sizeof(ClientConnection)));
    client->fd = -1;
    client->reader.bytesNeeded = 4;
    client->reader.swapped = big();
    xproxyCurrentClient = client;
    xprotoAccessCheck = grantEmpty;
    xprotoBigRequestMaximum = 0xffffffffu;
  }
  void TearDown() override {
    memcpy(proxyState.requestHandlers, saved.get(), sizeof proxyState.requestHandlers);
    xproxyCurrentClient = nullptr;
    bufferFree(&client->input);
    outbufferFree(&client->output);
    free(client);
    xprotoAccessCheck = xproxyCheckClientAccess;
  }
  bool big() const { return std::get<0>(GetParam()); }
  bool bytewise() const { return std::get<1>(GetParam()); }

  // Feeds the bytes whole or one at a time; the first close reason, or "".
  std::string feed(const Bytes &bytes) {
    size_t step = bytewise() ? 1 : bytes.size();
    for (size_t at = 0; at < bytes.size(); at += step) {
      size_t n = std::min(step, bytes.size() - at);
      EXPECT_TRUE(bufferAppend(bytes.data() + at, uint32_t(n), &client->input));
      if (const char *reason = xprotoProcessInput(&client->reader, &client->input)) return reason;
    }
    return "";
  }

  std::unique_ptr<RequestHandler[]> saved;
  ClientConnection *client = nullptr;
};

TEST_P(Cutter, SetupWaitsForTwelveBytesAndReadsLengthsInClientOrder) {
  client->reader.bytesNeeded = 0;
  Msg setup{big(), {}};
  setup.b(big() ? 'B' : 'l').b(0).s(11).s(0).s(5).s(3).s(0);
  Bytes whole = setup.d;
  whole.insert(whole.end(), {'a', 'b', 'c', 'd', 'e', 0, 0, 0, 1, 2, 3, 0});
  // Eleven bytes (or any part of the name and data) wait.
  Bytes part(whole.begin(), whole.end() - 1);
  EXPECT_EQ(feed(part), "");
  EXPECT_EQ(client->reader.bytesNeeded, 0u);
  EXPECT_EQ(client->input.length, part.size());
  // Complete: judged (an unknown authorization protocol is refused), the data overwritten.
  EXPECT_NE(feed(Bytes{whole.back()}), "");
  EXPECT_EQ(client->reader.swapped, big() ? 1 : 0);
  EXPECT_EQ(uint8_t(client->input.data[20]), 0xAA);
  // Twelve bytes with empty authorization are a whole setup.
  bufferFree(&client->input);
  client->reader = {};
  Msg empty{big(), {}};
  empty.b(big() ? 'B' : 'l').b(0).s(11).s(0).s(0).s(0).s(0);
  EXPECT_EQ(feed(empty.d), "");
  EXPECT_EQ(client->reader.bytesNeeded, 4u);
  EXPECT_EQ(client->input.length, 0u);
}

TEST_P(Cutter, SetupRefusals) {
  struct Case {
    uint8_t order;
    unsigned major, minor;
    std::string reason;
  } cases[] = {
      {'X', 11, 0, "Invalid byte order 88 in X connection setup (size=12)"},
      {0, 11, 0, "Invalid byte order 0 in X connection setup (size=12)"},
      {'L', 11, 0, "Invalid byte order 76 in X connection setup (size=12)"},
      {uint8_t(big() ? 'B' : 'l'), 11, 1, "X protocol version mismatch"},
      {uint8_t(big() ? 'B' : 'l'), 10, 0, "X protocol version mismatch"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.reason);
    bufferFree(&client->input);
    client->reader = {};
    Msg setup{big(), {}};
    setup.b(c.order).b(0).s(c.major).s(c.minor).s(0).s(0).s(0);
    // Byte-wise feeding reports the order at 12 bytes, too.
    EXPECT_EQ(feed(setup.d), c.reason);
  }
}

TEST_P(Cutter, HalfSentMaximalAuthorizationWaitsInBoundedMemory) {
  client->reader.bytesNeeded = 0;
  Msg setup{big(), {}};
  setup.b(big() ? 'B' : 'l').b(0).s(11).s(0).s(0xffff).s(0xffff).s(0).pad(65536);
  EXPECT_EQ(feed(setup.d), "");
  EXPECT_EQ(client->reader.bytesNeeded, 0u);
  EXPECT_LE(client->input.capacity, 4u << 20);
}

TEST_P(Cutter, RequestsAreCutOnceWhateverTheSplit) {
  Bytes stream;
  auto add = [&](const Bytes &r) { stream.insert(stream.end(), r.begin(), r.end()); };
  add(request(big(), 1, 2, 3));        // key 0x0201, 12 bytes
  add(request(big(), 43, 0, 1));       // 4 bytes
  add(request(big(), 18, 0, 0xffff));  // 262140 bytes: the buffer grows
  add(request(big(), 200, 7, 2));
  EXPECT_EQ(feed(stream), "");
  ASSERT_EQ(handled.size(), 4u);
  EXPECT_EQ(handled[0].key, 0x0201u);
  EXPECT_EQ(handled[0].bytes.size(), 12u);
  EXPECT_EQ(handled[1].key, 43u);
  EXPECT_EQ(handled[2].bytes.size(), 262140u);
  EXPECT_EQ(handled[3].key, 200u | 7u << 8);
  EXPECT_EQ(client->sequence, 4u);
  EXPECT_EQ(client->input.length, 0u);
}

TEST_P(Cutter, ARequestRunningPastTheBytesWaits) {
  Bytes r = request(big(), 5, 0, 4);
  EXPECT_EQ(feed(Bytes(r.begin(), r.end() - 2)), "");
  EXPECT_TRUE(handled.empty());
  EXPECT_EQ(feed(Bytes(r.end() - 2, r.end())), "");
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0].bytes, r);
}

TEST_P(Cutter, ZeroLengthWithoutBigRequests) {
  Bytes stream = request(big(), 9, 0, 0);
  Bytes next = request(big(), 10, 0, 2);
  stream.insert(stream.end(), next.begin(), next.end());
  EXPECT_EQ(feed(stream), "");
  ASSERT_EQ(handled.size(), 2u);
  EXPECT_EQ(handled[0].key, 9u);
  EXPECT_EQ(handled[1].key, 10u);
  EXPECT_EQ(handled[1].bytes, next);
}

TEST_P(Cutter, BigRequestLengths) {
  client->bigRequests = 1;
  xprotoBigRequestMaximum = 4096;
  struct Case {
    uint32_t words;
    size_t body;      // bytes fed after the 8-byte header
    bool served;
    bool nextServed;  // the request after it
  } cases[] = {
      {0, 0, false, true},          {1, 0, false, true},           {2, 0, true, true},
      {1024, 4088, true, true},     {1025, 4092, false, true},     {0x40000000, 1000, false, false},
      {0x40000001, 1000, false, false}, {0xffffffff, 1000, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words);
    handled.clear();
    client->reader.skip = 0;
    bufferFree(&client->input);
    uint32_t errors = client->errorCount;
    Bytes stream = bigRequest(big(), 77, c.words, c.body);
    Bytes next = request(big(), 3, 0, 2);
    stream.insert(stream.end(), next.begin(), next.end());
    EXPECT_EQ(feed(stream), "");
    size_t expected = (c.served ? 1 : 0) + (c.nextServed ? 1 : 0);
    ASSERT_EQ(handled.size(), expected);
    if (c.served) {
      EXPECT_EQ(handled[0].bytes.size(), size_t(c.words) * 4 - 4);
      EXPECT_EQ(handled[0].bytes[2] | handled[0].bytes[3], 0);  // marked big
    }
    if (c.nextServed) {
      EXPECT_EQ(handled.back().key, 3u);
    }
    (void)errors;
    // Refused bytes are never buffered.
    EXPECT_LT(client->input.length, 300u * 1024);
  }
}

TEST_P(Cutter, StopsConsumeExactlyTheRequest) {
  struct Case {
    bool bigForm;
    bool pause;
  } cases[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  for (const Case &c : cases) {
    handled.clear();
    bufferFree(&client->input);
    client->reader.bytesNeeded = 4;
    client->bigRequests = c.bigForm;
    stopAtKey = 113;  // KillClient
    stopWith = "client killed";
    stopPause = c.pause;
    Bytes stream = c.bigForm ? bigRequest(big(), 113, 3, 4) : request(big(), 113, 0, 0);
    Bytes next = request(big(), 3, 0, 2);
    stream.insert(stream.end(), next.begin(), next.end());
    for (uint8_t byte : stream) bufferAppendByte(byte, &client->input);
    const char *reason = xprotoProcessInput(&client->reader, &client->input);
    if (c.pause)
      EXPECT_EQ(reason, nullptr);
    else
      EXPECT_STREQ(reason, "client killed");  // the second reason did not replace it
    EXPECT_EQ(client->input.length, next.size());
    EXPECT_EQ(handled.size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Cutter,
                         ::testing::Combine(::testing::Values(false, true), ::testing::Values(false, true)));

TEST(XprotoHelpers, ImageBytesAndMsbWords) {
  EXPECT_EQ(xprotoImageBytes(100, 10, 2, 24, ~0u, 32, 32), 4000u);
  EXPECT_EQ(xprotoImageBytes(9, 1, 2, 1, 1, 1, 32), 4u);
  EXPECT_EQ(xprotoImageBytes(10, 2, 1, 8, 0x0f, 1, 8), 2u * 2 * 4);
  EXPECT_EQ(xprotoImageBytes(10, 10, 2, 24, ~0u, 32, 0), 0u);
  EXPECT_EQ(xprotoImageBytes(65535, 65535, 2, 32, ~0u, 32, 32), 65535ull * 65535 * 4);  // beyond 2^32
  uint8_t word[4];
  xprotoWriteCard32MSB(word, 0x01020304);
  EXPECT_EQ(word[0], 1);
  EXPECT_EQ(word[3], 4);
  EXPECT_EQ(xprotoReadCard32MSB(word), 0x01020304u);
}

}  // namespace
