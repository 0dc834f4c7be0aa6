// Host access lists, the host file, and hostile input to the authorization protocols.
#include <gtest/gtest.h>

#include <unistd.h>

#include <rpc/rpc.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#define HASXDMAUTH 1
#include <X11/Xdmcp.h>
}

#include "proxy/access.h"
#include "proxy/conndis.h"
#include "proxy/securerpc.h"

namespace {

class AccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    accessFreeAll();
    char templateText[] = "/tmp/tarvo-access-XXXXXX";
    ASSERT_NE(mkdtemp(templateText), nullptr);
    dir = templateText;
    accessSetHostFileTemplate((dir + "/X%s.hosts").c_str());
    accessResetHosts("7");
  }
  void TearDown() override {
    secureRpc = &secureRpcPlatform;
    accessFreeAll();
    accessSetHostFileTemplate(nullptr);
    std::filesystem::remove_all(dir);
  }
  std::vector<std::string> hostList() {
    std::vector<std::string> out;
    for (const HostEntry *e = accessHostList(); e; e = e->next)
      out.push_back(std::to_string(e->family) + ":" +
                    std::string(reinterpret_cast<const char *>(e->address()), e->length));
    return out;
  }
  std::string dir;
};

// Hostile data arrives in exactly sized heap buffers, so a read beyond it is caught.
std::unique_ptr<uint8_t[]> exactCopy(const std::string &data) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[data.size() ? data.size() : 1]);
  memcpy(copy.get(), data.data(), data.size());
  return copy;
}

std::string ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return std::string{char(a), char(b), char(c), char(d)}; }

TEST_F(AccessTest, HostFileGivesItsList) {
  std::string longLine(300, 'a');
  std::ofstream(dir + "/X7.hosts") << "# a comment\n"
                                   << "LOCAL:\n"
                                   << "inet:127.0.0.3\n"
                                   << "si:localuser:#0\n"
                                   << "si:nosuchtype:x\n"
                                   << "nis:unix.5@example\n"
                                   << "bob@example\n"
                                   << longLine << "\n"
                                   << "127.0.0.4\n"
                                   << "no.such.host.invalid\n";
  accessResetHosts("7");
  std::vector<std::string> expected = {"0:" + ipv4(127, 0, 0, 4),
                                       "254:bob@example",
                                       "254:unix.5@example",
                                       std::string("5:localuser\0#0", 14),
                                       "0:" + ipv4(127, 0, 0, 3),
                                       "252:"};
  EXPECT_EQ(hostList(), expected);
  // A display text too long for a path reads no file.
  accessResetHosts(std::string(5000, '7').c_str());
  EXPECT_TRUE(hostList().empty());
}

TEST_F(AccessTest, ListHostsGivesNewestFirstPadded) {
  ASSERT_EQ(accessAddHost(nullptr, 0, 4, reinterpret_cast<const uint8_t *>("\x0a\x01\x02\x03")), 0);
  std::string si("localuser\0#0", 12);
  ASSERT_EQ(accessAddHost(nullptr, 5, 12, reinterpret_cast<const uint8_t *>(si.data())), 0);
  ASSERT_EQ(accessAddHost(nullptr, 254, 3, reinterpret_cast<const uint8_t *>("a@b")), 0);
  uint8_t *data = nullptr;
  int count = 0, length = 0, enabled = 0;
  ASSERT_EQ(accessListHosts(&data, &count, &length, &enabled), 0);
  std::unique_ptr<uint8_t, decltype(&free)> guard(data, free);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(enabled, 1);
  ASSERT_EQ(length, 8 + 16 + 8);
  uint16_t l;
  EXPECT_EQ(data[0], 254);
  memcpy(&l, data + 2, 2);
  EXPECT_EQ(l, 3);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(data + 4), 4), std::string("a@b\0", 4));
  EXPECT_EQ(data[8], 5);
  memcpy(&l, data + 10, 2);
  EXPECT_EQ(l, 12);
  EXPECT_EQ(data[24], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(data + 28), 4), "\x0a\x01\x02\x03");
  // A repeated entry is not added twice; an empty list gives no data.
  ASSERT_EQ(accessAddHost(nullptr, 254, 3, reinterpret_cast<const uint8_t *>("a@b")), 0);
  EXPECT_EQ(hostList().size(), 3u);
  accessResetHosts("7");
  ASSERT_EQ(accessListHosts(&data, &count, &length, &enabled), 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(count, 0);
}

TEST_F(AccessTest, HostChangesCheckFamiliesAndAddresses) {
  AccessClient client{};
  accessSetDefeated(1);  // the client passes the local-client test
  struct Case {
    int family;
    std::string address;
    int error;
    uint32_t errorValue;
  } cases[] = {
      {0, ipv4(10, 0, 0, 1), 0, 0},
      {0, std::string(6, 'x'), 2, 6},
      {0, "", 2, 0},
      {1, "abcd", 2, 4},
      {2, "abcd", 2, 4},
      {3, "abcd", 2, 3},
      {256, "", 2, 256},
      {252, "", 0, 0},
      {254, "", 0, 0},
      {5, "localuser", 2, 9},                                  // no NUL
      {5, std::string("\0value", 6), 2, 6},                    // empty type
      {5, std::string(300, 't') + std::string("\0x", 2), 2, 302},  // unknown 300-byte type
      {5, std::string("hostname\0", 9) + std::string(1024, 'h'), 0, 0},
      {5, std::string("hostname\0", 9) + std::string(1025, 'h'), 2, 1034},
      {5, std::string("hostname\0a..b", 13), 2, 13},
      {5, std::string("hostname\0a-.b", 13), 2, 13},
      {5, std::string("hostname\0-ab", 12), 2, 12},
      {5, std::string("hostname\0a-b.c:d", 16), 0, 0},
      {5, std::string("localuser\0#0x0", 14), 0, 0},
      {5, std::string("localuser\0#", 11), 2, 11},
      {5, std::string("localgroup\0no-such-group-here", 29), 2, 29},
      {5, std::string("localuser\0", 10), 2, 10},
  };
  for (const Case &c : cases) {
    client.errorValue = 0;
    auto bytes = exactCopy(c.address);
    EXPECT_EQ(accessAddHost(&client, c.family, static_cast<int>(c.address.size()), bytes.get()), c.error)
        << c.family << " " << c.address.size();
    EXPECT_EQ(client.errorValue, c.errorValue) << c.family << " " << c.address.size();
  }
  // Removing: the same checks; an entry that is not there is no error.
  auto bytes = exactCopy(ipv4(10, 0, 0, 1));
  EXPECT_EQ(accessRemoveHost(&client, 0, 4, bytes.get()), 0);
  EXPECT_EQ(accessRemoveHost(&client, 0, 4, bytes.get()), 0);
  EXPECT_EQ(accessRemoveHost(&client, 0, 3, bytes.get()), 2);
}

TEST_F(AccessTest, AuthorizationNamesAndMitDataOfAnyLength) {
  struct Case {
    std::string name;
    std::string data;
    const char *reason;
  } cases[] = {
      {"", "", "No protocol specified\n"},
      {std::string(17, 'M'), "x", "Protocol not supported by server\n"},
      {std::string(65535, 'M'), "x", "Protocol not supported by server\n"},
      {"MIT-MAGIC-COOKIE-1", "", "Invalid MIT-MAGIC-COOKIE-1 key"},
      {"MIT-MAGIC-COOKIE-1", std::string(65535, 'c'), "Invalid MIT-MAGIC-COOKIE-1 key"},
      {"SUN-DES-1", "abc", "Secure RPC authorization not initialized"},
  };
  for (const Case &c : cases) {
    auto name = exactCopy(c.name);
    auto data = exactCopy(c.data);
    EXPECT_STREQ(accessClientAuthorized(nullptr, static_cast<uint16_t>(c.name.size()),
                                        reinterpret_cast<const char *>(name.get()),
                                        static_cast<uint16_t>(c.data.size()), data.get()),
                 c.reason)
        << c.name.size();
  }
  // A cookie of the longest length is kept and found.
  std::string big(65535, 'c');
  auto data = exactCopy(big);
  ASSERT_EQ(accessAddAuthorization(18, "MIT-MAGIC-COOKIE-1", 65535, data.get()), 1);
  AccessClient client{};
  EXPECT_EQ(accessClientAuthorized(&client, 18, "MIT-MAGIC-COOKIE-1", 65535, data.get()), nullptr);
  EXPECT_GT(client.authorizationId, 0u);
  uint16_t nameLength = 0, dataLength = 0;
  const char *name = nullptr;
  const uint8_t *found = nullptr;
  ASSERT_EQ(accessAuthorizationFromID(client.authorizationId, &nameLength, &name, &dataLength, &found), 1);
  EXPECT_EQ(dataLength, 65535);
}

TEST_F(AccessTest, XdmDataOfHostileLengths) {
  const uint8_t entry[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0, 9, 10, 11, 12, 13, 14, 15};
  ASSERT_EQ(accessAddAuthorization(19, "XDM-AUTHORIZATION-1", 16, entry), 1);
  const uint8_t badKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 1, 9, 10, 11, 12, 13, 14, 15};
  EXPECT_EQ(accessAddAuthorization(19, "XDM-AUTHORIZATION-1", 16, badKey), 0);
  EXPECT_EQ(accessAddAuthorization(19, "XDM-AUTHORIZATION-1", 12, entry), 0);
  for (size_t length : {0, 8, 16, 23, 24, 32, 65528}) {
    std::string garbage(length, '\x5a');
    auto data = exactCopy(garbage);
    const char *reason = nullptr;
    EXPECT_EQ(accessXdmCookieCheck(static_cast<uint16_t>(length), data.get(), nullptr, &reason), kAuthIdNone);
    ASSERT_NE(reason, nullptr) << length;
    if (length != 24)
      EXPECT_STREQ(reason, "Bad XDM authorization key length") << length;
    else
      EXPECT_STREQ(reason, "Invalid XDM-AUTHORIZATION-1 key (failed key comparison)");
  }
  // fromID gives rho and key; remove by them.
  uint16_t nameLength = 0, dataLength = 0;
  const char *name = nullptr;
  const uint8_t *found = nullptr;
  uint32_t id = 1;  // ids run on across tests: find this entry's
  while (id < 100000 && !accessAuthorizationFromID(id, &nameLength, &name, &dataLength, &found)) id++;
  ASSERT_STREQ(name, "XDM-AUTHORIZATION-1");
  ASSERT_EQ(dataLength, 16);
  EXPECT_EQ(memcmp(found, entry, 16), 0);
  EXPECT_EQ(accessXdmCookieRemove(16, entry), 1);
  EXPECT_EQ(accessXdmCookieRemove(16, entry), 0);
}

TEST_F(AccessTest, XdmAuthenticationValidatorAndAdderCheckLengths) {
  accessXdmAuthenticationInit("0x00112233445566778899", 22);
  for (int length : {7, 9, 4000}) {
    std::string garbage(static_cast<size_t>(length), '\x11');
    auto data = exactCopy(garbage);
    EXPECT_EQ(accessXdmAuthValidator(ACCEPT, data.get(), length), 0) << length;
  }
  // Request packets carry rho wrapped; an Accept with rho + 1 wrapped validates.
  uint8_t *wrapped = nullptr;
  int wrappedLength = 0;
  accessXdmAuthGenerator(REQUEST, nullptr, 0, &wrapped, &wrappedLength);
  ASSERT_EQ(wrappedLength, 8);
  XdmAuthKeyRec key{{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}}, rho;
  XdmcpUnwrap(wrapped, key.data, rho.data, 8);
  free(wrapped);
  XdmcpIncrementKey(&rho);
  uint8_t accept[8];
  XdmcpWrap(rho.data, key.data, accept, 8);
  EXPECT_EQ(accessXdmAuthValidator(ACCEPT, accept, 8), 1);
  std::string twelve(12, '\0');
  auto data = exactCopy(twelve);
  EXPECT_EQ(accessXdmAuthAdder(19, "XDM-AUTHORIZATION-1", 12, data.get()), 0);
  // An 8-byte key from the manager (first byte 0 once unwrapped) is added with the manager's rho.
  uint8_t plainKey[8] = {0, 1, 2, 3, 4, 5, 6, 7}, sent[8];
  XdmcpWrap(plainKey, key.data, sent, 8);
  EXPECT_EQ(accessXdmAuthAdder(19, "XDM-AUTHORIZATION-1", 8, sent), 1);
}

// A fake Secure RPC that authenticates every DES credential as one net name.
const char *fakeNetname = "unix.1000@example";
int fakeAuthenticate(const opaque_auth *, const opaque_auth *, char *netname, size_t size) {
  snprintf(netname, size, "%s", fakeNetname);
  return AUTH_OK;
}
int fakeMakeCredentials(const char *netname, uint8_t **data, size_t *length) {
  *length = strlen(netname);
  *data = static_cast<uint8_t *>(malloc(*length));
  memcpy(*data, netname, *length);
  return 1;
}
const SecureRpc fakeRpc = {fakeAuthenticate, fakeMakeCredentials};

std::string desCredentials(int flavour) {
  char buffer[256];
  XDR xdr;
  xdrmem_create(&xdr, buffer, sizeof buffer, XDR_ENCODE);
  char credential[] = "credential", verifier[] = "verifier";
  opaque_auth c{flavour, credential, sizeof credential}, v{AUTH_DES, verifier, sizeof verifier};
  xdr_opaque_auth(&xdr, &c);
  xdr_opaque_auth(&xdr, &v);
  std::string out(buffer, xdr_getpos(&xdr));
  XDR_DESTROY(&xdr);
  return out;
}

TEST_F(AccessTest, SunDesThroughTheSeam) {
  secureRpc = &fakeRpc;
  accessSetDefeated(1);
  AccessClient client{};
  ASSERT_EQ(accessAddHost(&client, 254, 17, reinterpret_cast<const uint8_t *>("unix.1000@example")), 0);
  std::string good = desCredentials(AUTH_DES);
  auto data = exactCopy(good);
  EXPECT_EQ(accessClientAuthorized(&client, 9, "SUN-DES-1", static_cast<uint16_t>(good.size()), data.get()), nullptr);
  EXPECT_NE(client.authorizationId, 0u);
  EXPECT_EQ(client.authorizationId, accessSunDesToID(0, nullptr));
  fakeNetname = "unix.1001@example";
  EXPECT_STREQ(accessClientAuthorized(&client, 9, "SUN-DES-1", static_cast<uint16_t>(good.size()), data.get()),
               "Principal \"unix.1001@example\" is not authorized to connect");
  fakeNetname = "unix.1000@example";
  struct Case {
    std::string data;
    const char *reason;
  } cases[] = {
      {"", "Unable to authenticate secure RPC client (why=1)"},
      {"abc", "Unable to authenticate secure RPC client (why=1)"},
      {std::string(65535, '\xff'), "Unable to authenticate secure RPC client (why=1)"},
      {desCredentials(AUTH_UNIX), "Unable to authenticate secure RPC client (why=5)"},
      {good.substr(0, good.size() - 4), "Unable to authenticate secure RPC client (why=3)"},
  };
  for (const Case &c : cases) {
    auto bytes = exactCopy(c.data);
    EXPECT_STREQ(accessClientAuthorized(&client, 9, "SUN-DES-1", static_cast<uint16_t>(c.data.size()), bytes.get()),
                 c.reason)
        << c.data.size();
  }
  // The platform's Secure RPC authenticates nobody.
  secureRpc = &secureRpcPlatform;
  EXPECT_STREQ(accessClientAuthorized(&client, 9, "SUN-DES-1", static_cast<uint16_t>(good.size()), data.get()),
               "Unable to authenticate secure RPC client (why=7)");
}

TEST(ConndisTest, ParsesDisplayNames) {
  struct Case {
    const char *name;
    bool parses;
    const char *protocol;
    const char *host;
    int display;
    int screen;
    const char *fullName;
  } cases[] = {
      {":0", true, "local", "", 0, 0, ":0.0"},
      {":12.3", true, "local", "", 12, 3, ":12.3"},
      {"otherhost:5", true, "tcp", "otherhost", 5, 0, "otherhost:5.0"},
      {"tcp/127.0.0.1:7.1", true, "tcp", "127.0.0.1", 7, 1, "127.0.0.1:7.1"},
      {"unix/:9", true, "unix", "", 9, 0, ":9.0"},
      {"", false, nullptr, nullptr, 0, 0, nullptr},
      {"host", false, nullptr, nullptr, 0, 0, nullptr},
      {":", false, nullptr, nullptr, 0, 0, nullptr},
      {":x", false, nullptr, nullptr, 0, 0, nullptr},
      {":1.", false, nullptr, nullptr, 0, 0, nullptr},
      {":1.2.3", false, nullptr, nullptr, 0, 0, nullptr},
      {":-1", false, nullptr, nullptr, 0, 0, nullptr},
      {"::1", false, nullptr, nullptr, 0, 0, nullptr},
      {":99999999999", false, nullptr, nullptr, 0, 0, nullptr},
      {":1 ", false, nullptr, nullptr, 0, 0, nullptr},
  };
  for (const Case &c : cases) {
    char *fullName = nullptr, *protocol = nullptr, *host = nullptr;
    int display = -1, screen = -1;
    XtransConnInfo result = conndisConnectDisplay(c.name, &fullName, &protocol, &host, &display, &screen, nullptr,
                                                  nullptr, nullptr, nullptr, 1);
    if (!c.parses) {
      EXPECT_EQ(result, nullptr) << c.name;
      continue;
    }
    ASSERT_EQ(result, CONNDIS_PARSED) << c.name;
    EXPECT_STREQ(protocol, c.protocol) << c.name;
    EXPECT_STREQ(host, c.host) << c.name;
    EXPECT_EQ(display, c.display) << c.name;
    EXPECT_EQ(screen, c.screen) << c.name;
    EXPECT_STREQ(fullName, c.fullName) << c.name;
    free(fullName);
    free(protocol);
    free(host);
  }
}

}  // namespace
