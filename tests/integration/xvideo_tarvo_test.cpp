// XVideo through the tarvo executable, on the test relay that fakes adaptors behind Xvfb's
// XVideo (-xv): xvinfo prints through tarvo what it prints through the relay, visual ids of
// tarvo's own; on two heads the adaptors both heads can match, each port reaching every head
// as that head's matching port, one grab reply per client and AlreadyGrabbed for another client.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "rawclient_fixture.h"
#include "tarvo_fixture.h"
#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

namespace {

class XvideoThroughTarvo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tarvoBlockSignals(); }

  void start(int screens, const std::vector<std::string> &adaptors) {
    XvfbOptions options;
    options.screens.assign(size_t(screens), "320x240x24");
    options.extraArguments = {"-nolisten", "tcp"};
    ASSERT_EQ(xvfb.start(options), "");
    relayLog = xrelayTempDir() + "/relay.log";
    std::vector<std::string> relayOptions{"-log", relayLog};
    for (const std::string &a : adaptors) relayOptions.insert(relayOptions.end(), {"-xv", a});
    ASSERT_EQ(relay.start(xvfb.displayName(), relayOptions), "");
    TarvoOptions tarvoOptions;
    tarvoOptions.arguments = {"screen", relay.displayName() + ".0"};
    if (screens > 1) tarvoOptions.arguments.insert(tarvoOptions.arguments.end(), {"tags", "anyScreen"});
    ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");
  }
  static std::string xvinfo(const std::string &display) {
    return xrelayRun("timeout 10 xvinfo -display " + display + " 2>&1");
  }
  // The lines without the visual ids, and the visual ids.
  static std::string withoutVisuals(const std::string &text, std::set<std::string> *visuals) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
      size_t at = line.find("visualID ");
      if (at != std::string::npos) {
        if (visuals) visuals->insert(line.substr(at + 9));
        continue;
      }
      out += line + "\n";
    }
    return out;
  }
  // The ports of the relay's answered requests of one minor since the log's offset.
  std::vector<uint32_t> relayPorts(uint8_t minor, size_t from) {
    std::vector<uint32_t> ports;
    for (auto &bytes : xrelayAnsweredSince(xrelayReadFile(relayLog), from))
      if (bytes.size() >= 8 && bytes[1] == minor) ports.push_back(xrelayCard32(bytes, 4));
    return ports;
  }
  static uint32_t internAtom(RawClient &c, const std::string &name) {
    RawBytes answer;
    RawRequest r(c.big());
    r.b(16).b(0).s(0).s(uint16_t(name.size())).s(0).text(name).align();
    if (!c.roundTrip(r.done(), answer).empty() || answer[0] != 1) return 0;
    return rawGet32(answer, 8, c.big());
  }

  XvfbServer xvfb;
  XrelayServer relay;
  std::string relayLog;
  TarvoProcess tarvo;
};

TEST_F(XvideoThroughTarvo, XvinfoAsThroughTheRelay) {
  start(1, {"0:17:2:first", "0:21:4:second"});
  std::set<std::string> proxied, ours;
  std::string direct = xvinfo(relay.displayName()), through = xvinfo(tarvo.displayName());
  EXPECT_NE(direct.find("Adaptor #1: \"second\""), std::string::npos) << direct;
  EXPECT_EQ(withoutVisuals(through, &proxied), withoutVisuals(direct, nullptr));
  // Every visual id xvinfo names through tarvo is one of tarvo's visuals.
  std::istringstream info(xrelayRun("timeout 10 xdpyinfo -display " + tarvo.displayName()));
  std::string line;
  while (std::getline(info, line))
    if (line.find("visual id:") != std::string::npos) ours.insert(line.substr(line.find("0x")));
  ASSERT_FALSE(proxied.empty());
  for (const std::string &id : proxied) EXPECT_TRUE(ours.count(id)) << id;
  EXPECT_NE(xvinfo(xvfb.displayName()).find("no adaptors present"), std::string::npos);
}

// Two heads: A 21/2 and B 17/4 on the first, C 17/2, D 17/4 and E 21/2 on the second. A's
// ports take E's, B's take D's (C has too few ports).
TEST_F(XvideoThroughTarvo, PortsOnEveryHeadAndOneGrab) {
  start(2, {"0:21:2:A", "0:17:4:B", "1:17:2:C", "1:17:4:D", "1:21:2:E"});
  std::string shown = xvinfo(tarvo.displayName());
  EXPECT_NE(shown.find("Adaptor #0: \"A\""), std::string::npos) << shown;
  EXPECT_NE(shown.find("port base: 64"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Adaptor #1: \"B\""), std::string::npos) << shown;
  EXPECT_NE(shown.find("port base: 66"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("screen #1"), std::string::npos) << shown;

  for (char order : {'l', 'B'}) {
    SCOPED_TRACE(order);
    RawClient c;
    ASSERT_EQ(c.connect(tarvo.displayNumber(), order), "");
    uint8_t major = c.queryExtension("XVideo");
    ASSERT_NE(major, 0);
    uint32_t brightness = internAtom(c, "XV_BRIGHTNESS");
    ASSERT_NE(brightness, 0u);
    size_t from = xrelayReadFile(relayLog).size();
    ASSERT_EQ(c.send(RawRequest(c.big()).b(major).b(13).s(0).i(69).i(brightness).i(uint32_t(-321)).done()), "");
    ASSERT_EQ(c.send(RawRequest(c.big()).b(major).b(13).s(0).i(64).i(brightness).i(77).done()), "");
    RawBytes answer;
    ASSERT_EQ(c.roundTrip(RawRequest(c.big()).b(major).b(14).s(0).i(69).i(brightness).done(), answer), "");
    ASSERT_EQ(answer[0], 1);
    EXPECT_EQ(rawGet32(answer, 8, c.big()), uint32_t(-321));
    EXPECT_EQ(rawGet16(answer, 2, c.big()), c.sequence());
    EXPECT_EQ(relayPorts(13, from), (std::vector<uint32_t>{69, 325, 64, 326}));
  }

  // A grab: one reply for the client, a GrabPort on each head; another client is refused
  // until the first one closes.
  RawClient first, second;
  ASSERT_EQ(first.connect(tarvo.displayNumber(), 'l'), "");
  ASSERT_EQ(second.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t major = first.queryExtension("XVideo");
  size_t from = xrelayReadFile(relayLog).size();
  RawBytes answer;
  ASSERT_EQ(first.roundTrip(RawRequest(false).b(major).b(3).s(0).i(66).i(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(answer[1], 0);
  EXPECT_EQ(relayPorts(3, from), (std::vector<uint32_t>{66, 322}));
  // Nothing else follows the one reply: the next answer is the next request's.
  ASSERT_EQ(first.roundTrip(RawRequest(false).b(43).b(0).s(1).done(), answer), "");
  EXPECT_EQ(answer[0], 1);
  EXPECT_EQ(rawGet16(answer, 2, false), first.sequence());
  ASSERT_EQ(second.roundTrip(RawRequest(true).b(major).b(3).s(0).i(66).i(0).done(), answer), "");
  ASSERT_EQ(answer[0], 1);
  EXPECT_EQ(answer[1], 2);  // AlreadyGrabbed
  first.close();
  bool grabbed = false;
  for (int k = 0; k < 50 && !grabbed; k++) {
    ASSERT_EQ(second.roundTrip(RawRequest(true).b(major).b(3).s(0).i(66).i(0).done(), answer), "");
    grabbed = answer[0] == 1 && answer[1] == 0;
    if (!grabbed) usleep(100000);
  }
  EXPECT_TRUE(grabbed);
}

// The replies with lists and the events read the same for clients of both byte orders.
TEST_F(XvideoThroughTarvo, RepliesAndEventsInEitherByteOrder) {
  start(1, {"0:17:2:first", "0:21:4:second"});
  auto values = [&](char order) {
    RawClient c;
    if (!c.connect(tarvo.displayNumber(), order).empty()) return std::string("no connection");
    uint8_t major = c.queryExtension("XVideo");
    bool big = c.big();
    uint32_t brightness = internAtom(c, "XV_BRIGHTNESS");
    std::ostringstream out;
    RawBytes a;
    auto ask = [&](RawRequest r) {
      a.clear();
      return c.roundTrip(r.done(), a).empty() && a[0] == 1;
    };
    if (ask(RawRequest(big).b(major).b(2).s(0).i(66)))  // QueryEncodings
      out << "enc " << rawGet16(a, 8, big) << " " << rawGet32(a, 32, big) << " " << rawGet16(a, 38, big) << "x"
          << rawGet16(a, 40, big) << " " << rawGet32(a, 44, big) << "/" << rawGet32(a, 48, big) << " "
          << std::string(a.begin() + 52, a.begin() + 52 + rawGet16(a, 36, big)) << "\n";
    if (ask(RawRequest(big).b(major).b(15).s(0).i(66))) {  // QueryPortAttributes
      out << "attrs " << rawGet32(a, 8, big);
      for (size_t at = 32, k = 0; k < rawGet32(a, 8, big) && at + 16 <= a.size(); k++) {
        uint32_t size = rawGet32(a, at + 12, big);
        out << " " << std::string(reinterpret_cast<const char *>(&a[at + 16])) << " " << int32_t(rawGet32(a, at + 4, big))
            << ".." << int32_t(rawGet32(a, at + 8, big)) << " f" << rawGet32(a, at, big);
        at += 16 + size;
      }
      out << "\n";
    }
    if (ask(RawRequest(big).b(major).b(16).s(0).i(66)))  // ListImageFormats
      out << "formats " << rawGet32(a, 8, big) << " " << std::hex << rawGet32(a, 32, big) << " "
          << rawGet32(a, 160, big) << std::dec << " planes " << int(a[32 + 25]) << "," << int(a[160 + 25]) << "\n";
    if (ask(RawRequest(big).b(major).b(17).s(0).i(66).i(0x32315659).s(320).s(240)))  // QueryImageAttributes
      out << "image " << rawGet32(a, 8, big) << " " << rawGet32(a, 12, big) << " " << rawGet32(a, 32, big) << " "
          << rawGet32(a, 48, big) << "\n";
    if (ask(RawRequest(big).b(major).b(12).s(0).i(66).s(640).s(480).s(300).s(200).b(0).pad(3)))  // QueryBestSize
      out << "best " << rawGet16(a, 8, big) << "x" << rawGet16(a, 10, big) << "\n";
    // PortNotify for the client that selected the port.
    c.send(RawRequest(big).b(major).b(11).s(0).i(66).b(1).pad(3).done());
    c.send(RawRequest(big).b(major).b(13).s(0).i(66).i(brightness).i(uint32_t(-250)).done());
    if (ask(RawRequest(big).b(major).b(14).s(0).i(66).i(brightness)))  // GetPortAttribute
      out << "value " << int32_t(rawGet32(a, 8, big)) << "\n";
    for (const RawBytes &e : c.events())
      out << "event " << int(e[0] & 0x7f) << " port " << rawGet32(e, 8, big) << " value "
          << int32_t(rawGet32(e, 16, big)) << " atom " << (rawGet32(e, 12, big) == brightness) << "\n";
    return out.str();
  };
  std::string little = values('l');
  EXPECT_EQ(values('B'), little);
  EXPECT_NE(little.find("enc 1 1 2048x2048 1/1 XV_IMAGE\n"), std::string::npos) << little;
  EXPECT_NE(little.find("attrs 2 XV_COLORKEY 0..16777215 f3 XV_BRIGHTNESS -1000..1000 f3\n"), std::string::npos)
      << little;
  EXPECT_NE(little.find("formats 2 32595559 32315659 planes 1,3\n"), std::string::npos) << little;
  EXPECT_NE(little.find("image 3 115200 320 76800\n"), std::string::npos) << little;
  EXPECT_NE(little.find("best 300x200\n"), std::string::npos) << little;
  EXPECT_NE(little.find("value -250\n"), std::string::npos) << little;
  EXPECT_NE(little.find(" port 66 value -250 atom 1\n"), std::string::npos) << little;
}

// Xvfb without MIT-SHM: a client's xvShmPutImage reaches each head as an xvPutImage carrying
// the segment's bytes, and the client gets one ShmCompletion; an offset past the segment and a
// segment id that is none are refused with nothing sent.
TEST_F(XvideoThroughTarvo, ShmPutImageWithoutServerShm) {
  XvfbOptions options;
  options.screens.assign(2, "320x240x24");
  options.extraArguments = {"-nolisten", "tcp", "-extension", "MIT-SHM"};
  ASSERT_EQ(xvfb.start(options), "");
  relayLog = xrelayTempDir() + "/relay.log";
  ASSERT_EQ(relay.start(xvfb.displayName(), {"-log", relayLog, "-xv", "0:17:2:A", "-xv", "1:17:2:B"}), "");
  TarvoOptions tarvoOptions;
  tarvoOptions.arguments = {"screen", relay.displayName() + ".0", "tags", "anyScreen"};
  ASSERT_EQ(tarvo.start(relay.displayName(), tarvoOptions), "");

  RawClient c;
  ASSERT_EQ(c.connect(tarvo.displayNumber(), 'B'), "");
  uint8_t xv = c.queryExtension("XVideo"), shm = c.queryExtension("MIT-SHM");
  ASSERT_NE(xv, 0);
  if (shm == 0) GTEST_SKIP() << "tarvo offers no MIT-SHM here";
  constexpr size_t kSize = 200000, kOffset = 4096, kImage = 115200;
  int id = shmget(IPC_PRIVATE, kSize, IPC_CREAT | 0600);
  ASSERT_GE(id, 0);
  auto *memory = static_cast<uint8_t *>(shmat(id, nullptr, 0));
  shmctl(id, IPC_RMID, nullptr);
  ASSERT_NE(memory, reinterpret_cast<uint8_t *>(-1));
  struct Detach {
    uint8_t *m;
    ~Detach() { shmdt(m); }
  } detach{memory};
  for (size_t k = 0; k < kSize; k++) memory[k] = uint8_t(k * 13 + 5);
  uint32_t base = c.idBase(), segment = base + 1, window = base + 2, gc = base + 3;
  ASSERT_EQ(c.send(RawRequest(true).b(shm).b(1).s(0).i(segment).i(uint32_t(id)).b(0).pad(3).done()), "");
  // A window on the first head and a GC.
  ASSERT_EQ(c.send(RawRequest(true).b(1).b(0).s(0).i(window).i(c.rootWindow()).s(10).s(10).s(100).s(80).s(0).s(1)
                       .i(0).i(0).done()),
            "");
  ASSERT_EQ(c.send(RawRequest(true).b(55).b(0).s(0).i(gc).i(window).i(0).done()), "");
  RawBytes answer;
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer), "");
  ASSERT_EQ(answer[0], 1) << "attach or window refused";
  size_t from = xrelayReadFile(relayLog).size();
  auto put = [&](uint32_t seg, uint32_t offset) {
    return RawRequest(true).b(xv).b(19).s(0).i(64).i(window).i(gc).i(seg).i(0x32315659).i(offset).s(0).s(0).s(320)
        .s(240).s(0).s(0).s(100).s(80).s(320).s(240).b(1).pad(3).done();
  };
  ASSERT_EQ(c.send(put(segment, kOffset)), "");
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer), "");
  std::vector<std::vector<unsigned char>> images;
  for (auto &bytes : xrelayAnsweredSince(xrelayReadFile(relayLog), from))
    if (bytes[1] == 18 || bytes[1] == 19) images.push_back(bytes);
  ASSERT_EQ(images.size(), 2u);
  for (size_t k = 0; k < 2; k++) {
    EXPECT_EQ(images[k][1], 18);
    ASSERT_EQ(images[k].size(), 40 + kImage);
    EXPECT_EQ(xrelayCard32(images[k], 4), k == 0 ? 64u : 320u);
    EXPECT_TRUE(std::equal(images[k].begin() + 40, images[k].end(), memory + kOffset)) << k;
  }
  size_t completions = 0;
  for (const RawBytes &e : c.events())
    if (e[0] != 0 && e[0] != 1) {
      completions++;
      EXPECT_EQ(rawGet32(e, 4, true), window);
      EXPECT_EQ(rawGet16(e, 8, true), 19u);
      EXPECT_EQ(e[10], xv);
      EXPECT_EQ(rawGet32(e, 12, true), segment);
      EXPECT_EQ(rawGet32(e, 16, true), kOffset);
    }
  EXPECT_EQ(completions, 1u);

  from = xrelayReadFile(relayLog).size();
  ASSERT_EQ(c.roundTrip(put(segment, uint32_t(kSize - 1000)), answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(answer[1], 2);  // BadValue
  EXPECT_EQ(rawGet32(answer, 4, true), kSize - 1000);
  ASSERT_EQ(c.roundTrip(put(base + 9, kOffset), answer), "");
  EXPECT_EQ(answer[0], 0);
  EXPECT_EQ(rawGet32(answer, 4, true), base + 9);
  ASSERT_EQ(c.roundTrip(RawRequest(true).b(43).b(0).s(1).done(), answer), "");
  for (auto &bytes : xrelayAnsweredSince(xrelayReadFile(relayLog), from)) EXPECT_NE(bytes[1], 18);
}

TEST_F(XvideoThroughTarvo, NoAdaptorWithoutOneOnEveryHead) {
  start(2, {"0:21:2:A", "0:17:4:B"});
  EXPECT_NE(xvinfo(tarvo.displayName()).find("no adaptors present"), std::string::npos);
  std::string log = tarvo.log();
  size_t count = 0;
  for (size_t at = log.find("has no X-Video adaptors"); at != std::string::npos;
       at = log.find("has no X-Video adaptors", at + 1))
    count++;
  EXPECT_EQ(count, 2u) << log;
}

}  // namespace
