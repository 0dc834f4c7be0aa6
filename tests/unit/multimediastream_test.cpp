// Streams with real sinks: command sinks (cat, shell sinks that exit, sleep, ignore SIGTERM or
// dump their environment and descriptors, ffmpeg) on the threaded, buffered and direct paths,
// shared children, broken pipes, bounded stops, the signal dispositions, and the OSS seam.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/soundcard.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conversions/conversion.h"
#include "conversions/multimedia.h"
#include "conversions/ossaudio.h"
#include "support/fd.h"
#include "support/logging.h"
#include "support/orders.h"
#include "support/threadlib.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char &c : bytes) c = char(random());
  return bytes;
}

void writeBytes(MultimediaStream *stream, const std::string &bytes, unsigned repeat = 1) {
  MultimediaFrame *frame = multimediaNewFrame(stream, bytes.data(), bytes.size());
  ASSERT_NE(frame, nullptr);
  multimediaWriteFrame(frame, repeat);
  multimediaReleaseFrame(frame);
}

// A profile statement whose value keeps its blanks, quotes and dollars.
std::string statement(const std::string &name, const std::string &value) {
  std::string text = name + "=\"";
  for (char c : value) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + "\"\n";
}

bool alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

struct sigaction dispositionOf(int signal) {
  struct sigaction now {};
  sigaction(signal, nullptr, &now);
  return now;
}

class StreamTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!threadlibDefaultPool) {
      ASSERT_EQ(threadlibInitDefaultPool(8), nullptr);
    }
  }
  void SetUp() override {
    char pattern[] = "/tmp/mmstreamXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    setenv("XMULTIMEDIA_PROFILES", (dir + "/profiles").c_str(), 1);
    setenv("TMPDIR", dir.c_str(), 1);
    multimediaClearProfiles();
    saved = {multimediaStartTimeoutUs, multimediaStopWaitMs, multimediaKillWaitMs, fdWriteAllWaitMs};
  }
  void TearDown() override {
    while (multimediaStreams) multimediaFreeStream(multimediaStreams);
    EXPECT_EQ(multimediaCommandCount(), 0);
    multimediaClearProfiles();
    multimediaStartTimeoutUs = saved[0], multimediaStopWaitMs = saved[1], multimediaKillWaitMs = saved[2];
    fdWriteAllWaitMs = saved[3];
    unsetenv("TMPDIR");
    std::filesystem::remove_all(dir);
  }
  void load(const std::string &text) {
    std::ofstream(dir + "/profiles", std::ios::binary | std::ios::trunc) << text;
    multimediaClearProfiles();
    const char *error = multimediaLoadProfiles();
    ASSERT_EQ(error, nullptr) << error;
  }
  MultimediaStream *open(const std::string &spec, const char *contentType = nullptr, unsigned flags = 2) {
    MultimediaStream *stream = nullptr;
    const char *error = multimediaOpenStream(spec.c_str(), contentType, flags, &stream);
    EXPECT_EQ(error, nullptr) << error;
    return stream;
  }
  MultimediaStream *started(const std::string &spec, const char *contentType = nullptr, unsigned flags = 2) {
    MultimediaStream *stream = open(spec, contentType, flags);
    if (!stream) return nullptr;
    const char *error = multimediaStartStream(stream);
    EXPECT_EQ(error, nullptr) << error;
    return stream;
  }
  // Entries of the test's temporary directory other than the profile file and sink outputs.
  int leftovers() {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
      count += entry.path().filename().string().rfind("mm", 0) == 0;
    return count;
  }
  std::string dir;
  std::vector<unsigned> saved;
};

// 10 MiB through cat on each path, in 64 KiB frames, the buffered one also with pauses; a
// repeated frame arrives three times back to back.
TEST_F(StreamTest, CatReceivesEverythingOnEveryPath) {
  const std::string data = randomBytes(10 << 20, 1);
  struct Case {
    const char *name, *settings;
    bool pauses;
  } cases[] = {{"threaded", "MWTwriteThreaded=1", false},
               {"buffered", "MWTwriteBuffered=1", false},
               {"pausing", "MWTwriteBuffered=1", true},
               {"direct", "MWTwriteThreaded=0", false}};
  std::string profiles;
  for (const Case &c : cases)
    profiles += std::string("Name=") + c.name + "\n" + c.settings + "\n" + statement("MWTwriteCmd", "cat > '" + dir + "/" + c.name + "'");
  load(profiles);
  for (const Case &c : cases) {
    MultimediaStream *stream = started(c.name);
    ASSERT_NE(stream, nullptr) << c.name;
    for (size_t at = 0; at < data.size(); at += 65536) {
      writeBytes(stream, data.substr(at, 65536));
      if (c.pauses && at % (1 << 20) == 0) {
        ordersRunFor(20);  // the flush timer runs meanwhile
      }
    }
    std::string tail = randomBytes(1000, 2);
    writeBytes(stream, tail, 3);
    const char *closed = multimediaCloseStream(stream);
    EXPECT_EQ(closed, nullptr) << c.name << ": " << (closed ? closed : "");
    std::string got = fileText(dir + "/" + c.name);
    EXPECT_EQ(got.size(), data.size() + 3000) << c.name;
    EXPECT_TRUE(got == data + tail + tail + tail) << c.name;
    multimediaFreeStream(stream);
  }
  EXPECT_EQ(leftovers(), 0);
}

// The child's environment and descriptors; FIFO and log are private and gone after the close.
TEST_F(StreamTest, ChildEnvironmentAndDescriptors) {
  setenv("DISPLAY", ":4711", 1);
  load("Name=MWTdefaultSettings\nMyDefault=d1\nName=Env\n" +
       statement("MWTwriteCmd", "env > '" + dir + "/env.'$MWTwritePid; ls /proc/self/fd > '" + dir +
                                    "/fds.'$MWTwritePid; cat > /dev/null"));
  MultimediaStream *other = started("Env MWTdescription_en=other");  // its FIFOs must not leak
  MultimediaStream *stream = started("Env MWTdescription_en=\"the client's text\"");
  ASSERT_TRUE(stream && other);
  MultimediaStreamSide *side = stream->writeSide;
  struct stat info {};
  ASSERT_EQ(stat(side->fifo1, &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(side->logFile, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::string fifo = side->fifo1, log = side->logFile;
  pid_t pid = side->childPid;
  writeBytes(stream, "x");
  EXPECT_EQ(multimediaCloseStream(stream), nullptr);
  EXPECT_EQ(multimediaCloseStream(other), nullptr);
  EXPECT_NE(access(fifo.c_str(), F_OK), 0);
  EXPECT_NE(access(log.c_str(), F_OK), 0);
  // Both streams run the same command: each child writes files named by its own pid.
  std::string env = fileText(dir + "/env." + std::to_string(pid));
  for (std::string line : {std::string("DISPLAY=:4711"), "MWTwritePipe=" + fifo, std::string("MWTwritePipe2="),
                           "MWTwritePid=" + std::to_string(pid), std::string("MWTlogTarget="),
                           std::string("MyDefault=d1"), std::string("MWTdescription_en=the client's text")})
    EXPECT_NE(env.find("\n" + line + "\n"), std::string::npos) << line << "\n" << env;
  EXPECT_EQ(fileText(dir + "/fds." + std::to_string(pid)), "0\n1\n2\n3\n");
  EXPECT_EQ(leftovers(), 0);
}

// A child that fails before opening FIFO 2 ends the start at once with its exit text; one
// that never opens it times out; a sink's error exit after EOF is the close's text.
TEST_F(StreamTest, StartAndCloseFailures) {
  multimediaStartTimeoutUs = 200000;
  multimediaStopWaitMs = 300;
  multimediaKillWaitMs = 300;
  load("Name=Exit\nMWTwritePipes=2\n" + statement("MWTwriteCmd", "echo broken sink >&2; exit 3") +
       "Name=Sleep\nMWTwritePipes=2\n" + statement("MWTwriteCmd", "sleep 30") + "Name=Late\n" +
       statement("MWTwriteCmd", "cat > '" + dir + "/late'; exit 3"));
  MultimediaStream *stream = open("Exit");
  auto start = Clock::now();
  const char *error = multimediaStartStream(stream);
  ASSERT_NE(error, nullptr);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(std::string(error), "Exit exited with code 3: broken sink");
  EXPECT_EQ(stream->users, 0);

  stream = open("Sleep");
  error = multimediaStartStream(stream);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Timeout reached when executing: sleep 30 (No such device or address)");

  stream = started("Late");
  writeBytes(stream, "tail");
  error = multimediaCloseStream(stream);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Late exited with code 3: ");
  EXPECT_EQ(fileText(dir + "/late"), "tail");
  EXPECT_EQ(leftovers(), 0);
}

// With standard input closed, descriptor 0 is the first free one: a FIFO end that gets it is
// a real descriptor, written and closed like any other.
TEST_F(StreamTest, FifoOnDescriptorZero) {
  load("Name=Cat\n" + statement("MWTwriteCmd", "cat > '" + dir + "/zero'"));
  MultimediaStream *first = started("Cat");  // the engine's own wake-up pipe exists from now on
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(multimediaCloseStream(first), nullptr);
  int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  close(0);
  MultimediaStream *stream = open("Cat");
  const char *error = multimediaStartStream(stream);
  int fifoFd = stream->writeSide->fifo1Fd;
  if (!error) writeBytes(stream, "on zero");
  const char *closed = error ? nullptr : multimediaCloseStream(stream);
  bool zeroClosed = fcntl(0, F_GETFD) < 0;
  dup2(saved, 0);
  close(saved);
  ASSERT_EQ(error, nullptr) << error;
  EXPECT_EQ(fifoFd, 0);
  EXPECT_EQ(closed, nullptr) << closed;
  EXPECT_TRUE(zeroClosed);
  EXPECT_EQ(stream->writeSide->fifo1Fd, -1);
  EXPECT_EQ(fileText(dir + "/zero"), "on zero");
}

// Two streams on one two-pipe command share one child: the stream without a content type
// writes into FIFO 2, the other into FIFO 1; each arrives whole and in order. The first close
// leaves the child, the second ends it.
TEST_F(StreamTest, TwoPipeSinkIsShared) {
  load("Name=Two\nMWTwritePipes=2\nMWTwriteThreaded=1\n" +
       statement("MWTwriteCmd", "cat \"$MWTwritePipe2\" > '" + dir + "/two' & cat > '" + dir + "/one'; wait"));
  MultimediaStream *second = started("Two", nullptr);
  MultimediaStream *first = started("Two", "unspecified");
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->writeSide, second->writeSide);
  EXPECT_TRUE(second->useSecondPipe);
  EXPECT_FALSE(first->useSecondPipe);
  pid_t pid = first->writeSide->childPid;
  std::string one, two;
  for (int i = 0; i < 20; i++) {
    std::string a = randomBytes(100000, 10 + i), b = randomBytes(100000, 100 + i);
    writeBytes(first, a);
    writeBytes(second, b);
    one += a, two += b;
  }
  EXPECT_EQ(multimediaCloseStream(first), nullptr);
  EXPECT_TRUE(alive(pid));
  EXPECT_EQ(multimediaCloseStream(second), nullptr);
  EXPECT_FALSE(alive(pid));
  EXPECT_TRUE(fileText(dir + "/one") == one);
  EXPECT_TRUE(fileText(dir + "/two") == two);
  EXPECT_EQ(leftovers(), 0);
  multimediaFreeStream(first);  // the side goes with its last holder, in either order
  multimediaFreeStream(second);
  MultimediaStream *a = open("Two"), *b = open("Two");
  multimediaFreeStream(b);
  multimediaFreeStream(a);
}

// Streams sharing one FIFO write whole frames on every path: the sink receives every frame of
// both streams, each uninterrupted, each stream's frames in order.
TEST_F(StreamTest, SharedFifoFramesNeverInterleave) {
  for (const char *mode : {"MWTwriteBuffered=1", "MWTwriteThreaded=1", "MWTwriteThreaded=0"}) {
    std::string out = dir + "/shared";
    load(std::string("Name=Two\nMWTwritePipes=2\n") + mode + "\n" +
         statement("MWTwriteCmd", "cat \"$MWTwritePipe2\" > '" + out + "' & cat > /dev/null; wait"));
    MultimediaStream *a = started("Two"), *b = started("Two");
    ASSERT_TRUE(a && b) << mode;
    ASSERT_EQ(a->writeSide, b->writeSide);
    ASSERT_TRUE(a->useSecondPipe && b->useSecondPipe);
    // Frames of 200000 bytes, each of one byte value: 'A' + i for a, 'a' + i for b.
    constexpr size_t kFrame = 200000;
    for (int i = 0; i < 20; i++) {
      writeBytes(a, std::string(kFrame, char('A' + i)));
      writeBytes(b, std::string(kFrame, char('a' + i)));
      if (i % 5 == 4) ordersRunFor(5);
    }
    EXPECT_EQ(multimediaCloseStream(a), nullptr) << mode;
    EXPECT_EQ(multimediaCloseStream(b), nullptr) << mode;
    std::string got = fileText(out);
    ASSERT_EQ(got.size(), 40 * kFrame) << mode;
    int nextUpper = 0, nextLower = 0;
    for (size_t at = 0; at < got.size(); at += kFrame) {
      char c = got[at];
      EXPECT_EQ(got.find_first_not_of(c, at), at + kFrame < got.size() ? at + kFrame : std::string::npos)
          << mode << ": frame at " << at << " is cut";
      if (c >= 'a') {
        EXPECT_EQ(c, 'a' + nextLower++) << mode;
      } else {
        EXPECT_EQ(c, 'A' + nextUpper++) << mode;
      }
    }
    multimediaFreeStream(a);
    multimediaFreeStream(b);
    unlink(out.c_str());
  }
  EXPECT_EQ(leftovers(), 0);
}

// A buffered side whose sink does not read yet takes frames without blocking; above 300 MiB
// queued it is not ready, and once the sink reads, the 5 ms flush passes of the loop drain it
// until it is ready again. Nothing is lost.
TEST_F(StreamTest, BufferedBackPressure) {
  std::string gate = dir + "/gate", out = dir + "/count";
  load("Name=Late\nMWTwriteBuffered=1\n" +
       statement("MWTwriteCmd", "while [ ! -e '" + gate + "' ]; do sleep 0.01; done; wc -c > '" + out + "'"));
  MultimediaStream *stream = started("Late");
  ASSERT_NE(stream, nullptr);
  constexpr size_t kFrame = 1 << 20;
  const std::string frame(kFrame, 'x');
  size_t sent = 0;
  while (multimediaStreamReady(stream) && sent < kMultimediaBufferedLimit + 8 * kFrame) {
    writeBytes(stream, frame);
    sent += kFrame;
  }
  EXPECT_FALSE(multimediaStreamReady(stream));
  EXPECT_GT(sent, kMultimediaBufferedLimit);
  EXPECT_LE(sent, kMultimediaBufferedLimit + kFrame);
  // One pass counts the stream above the bound; the loop keeps trying on its timer meanwhile.
  EXPECT_EQ(multimediaFlushBuffered(0), 1);
  ordersRunFor(50);
  EXPECT_FALSE(multimediaStreamReady(stream));
  close(::open(gate.c_str(), O_CREAT | O_WRONLY, 0600));
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (!multimediaStreamReady(stream) && Clock::now() < deadline) ordersRunFor(kMultimediaFlushIntervalMs);
  EXPECT_TRUE(multimediaStreamReady(stream));
  writeBytes(stream, frame);
  sent += kFrame;
  EXPECT_EQ(multimediaCloseStream(stream), nullptr);
  EXPECT_EQ(std::stoull(fileText(out)), sent);
}

// The read side: a path source and a command source give their bytes in reads of at most
// the read size; the command's stop drains and reaps it.
TEST_F(StreamTest, ReadSide) {
  std::ofstream(dir + "/source", std::ios::binary) << "hello world";
  load("Name=File\nMWTreadSize=4\nMWTreadPath=" + dir + "/source\n" + "Name=Cmd\nMWTreadSize=4\n" +
       statement("MWTreadCmd", "printf 'hello world'; exec sleep 30"));
  for (const char *name : {"File", "Cmd"}) {
    MultimediaStream *stream = started(name, nullptr, kMultimediaRead);
    ASSERT_NE(stream, nullptr) << name;
    std::string got;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (got.size() < 11 && Clock::now() < deadline) {
      const uint8_t *data;
      long length = -1;
      const char *error = multimediaRead(stream, &data, &length);
      ASSERT_EQ(error, nullptr) << name << ": " << error;
      ASSERT_GE(length, 0);
      EXPECT_LE(length, 4);
      got.append(reinterpret_cast<const char *>(data), size_t(length));
      if (length == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(got, "hello world") << name;
    pid_t pid = stream->readSide->childPid;
    auto start = Clock::now();
    EXPECT_EQ(multimediaCloseStream(stream), nullptr) << name;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << name;
    EXPECT_FALSE(alive(pid));
    multimediaFreeStream(stream);
  }
  EXPECT_EQ(leftovers(), 0);
}

// A sink that stops reading fails only its own stream with "Broken pipe"; SIGPIPE stays ignored.
TEST_F(StreamTest, BrokenPipeFailsOnlyItsStream) {
  load("Name=Head\n" + statement("MWTwriteCmd", "head -c 1000 > /dev/null") + "Name=Cat\n" +
       statement("MWTwriteCmd", "cat > '" + dir + "/cat'"));
  MultimediaStream *head = started("Head", nullptr, 6), *cat = started("Cat", nullptr, 6);
  ASSERT_TRUE(head && cat);
  std::string sent;
  for (int i = 0; i < 40; i++) {
    std::string chunk = randomBytes(65536, unsigned(i));
    writeBytes(head, chunk);
    writeBytes(cat, chunk);
    sent += chunk;
    EXPECT_EQ(dispositionOf(SIGPIPE).sa_handler, SIG_IGN);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const char *error = multimediaCloseStream(head);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Broken pipe in Head stream");
  EXPECT_EQ(multimediaCloseStream(cat), nullptr);
  EXPECT_TRUE(fileText(dir + "/cat") == sent);
}

// Twelve streams closed in shuffled order, a start failure reported in between, and the SIGCHLD
// disposition of before the first afterwards.
TEST_F(StreamTest, TwelveStreamsRestoreTheDisposition) {
  struct sigaction mine {};
  mine.sa_handler = [](int) {};
  sigemptyset(&mine.sa_mask);
  struct sigaction before {};
  sigaction(SIGCHLD, &mine, &before);
  std::string profiles = "Name=Exit\nMWTwritePipes=2\n" + statement("MWTwriteCmd", "echo gone >&2; exit 3");
  for (int i = 0; i < 12; i++) profiles += "Name=C" + std::to_string(i) + "\n" + statement("MWTwriteCmd", "cat > /dev/null");
  load(profiles);
  std::vector<MultimediaStream *> streams;
  for (int i = 0; i < 12; i++) streams.push_back(started("C" + std::to_string(i), nullptr, 6));
  EXPECT_EQ(multimediaCommandCount(), 12);
  EXPECT_EQ(dispositionOf(SIGCHLD).sa_handler, multimediaOnChildExit);
  std::shuffle(streams.begin(), streams.end(), std::mt19937(5));
  for (size_t i = 0; i < streams.size(); i++) {
    writeBytes(streams[i], "data");
    EXPECT_EQ(multimediaCloseStream(streams[i]), nullptr);
    if (i == 6) {
      const char *error = multimediaStartStream(open("Exit"));
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(std::string(error), "Exit exited with code 3: gone");
    }
  }
  EXPECT_EQ(multimediaCommandCount(), 0);
  EXPECT_EQ(dispositionOf(SIGCHLD).sa_handler, mine.sa_handler);
  sigaction(SIGCHLD, &before, nullptr);
}

// A sink that ignores SIGTERM and reads nothing, with 50 frames queued on a threaded side:
// the close returns in bounded time and the child is reaped.
TEST_F(StreamTest, StuckSinkIsBounded) {
  fdWriteAllWaitMs = 1000;
  multimediaStopWaitMs = 500;
  multimediaKillWaitMs = 500;
  load("Name=Stuck\nMWTwriteThreaded=1\n" + statement("MWTwriteCmd", "trap '' TERM; sleep 60"));
  MultimediaStream *stream = started("Stuck");
  ASSERT_NE(stream, nullptr);
  pid_t pid = stream->writeSide->childPid;
  std::string frame = randomBytes(65536, 3);
  for (int i = 0; i < 50; i++) writeBytes(stream, frame);
  auto start = Clock::now();
  const char *error = multimediaCloseStream(stream);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error).rfind("Writing to Stuck failed: ", 0), 0u) << error;
  EXPECT_FALSE(alive(pid));
  EXPECT_EQ(leftovers(), 0);
}

// Converters for the ordering test: uneven conversion times, and one conversion that yields
// nothing (the frame is skipped, the others still leave in order).
MultimediaFrame *slowConvert(void *, MultimediaFrame *frame) {
  int index = static_cast<const char *>(frame->data)[0] - 'a';
  std::this_thread::sleep_for(std::chrono::milliseconds((9 - index) * 7));
  if (index == 3) {
    multimediaReleaseFrame(frame);
    return nullptr;
  }
  return frame;
}

TEST_F(StreamTest, ThreadedFramesLeaveInOrder) {
  load("Name=File\nMWTwriteThreaded=1\nMWTwritePath=" + dir + "/file\n");
  close(::open((dir + "/file").c_str(), O_CREAT | O_WRONLY, 0600));
  FrameConverterConvert identity = conversionTable[0].convert;
  conversionTable[0].convert = slowConvert;
  MultimediaStream *stream = started("File");
  for (char c = 'a'; c < 'k'; c++) writeBytes(stream, std::string(1, c));
  EXPECT_EQ(multimediaCloseStream(stream), nullptr);
  conversionTable[0].convert = identity;
  EXPECT_EQ(fileText(dir + "/file"), "abcefghij");
}

// Off takes no reference; a stream not ready is one whose threaded task is busy.
TEST_F(StreamTest, OffAndReadiness) {
  load("Name=Off\nMWTwriteOff=1\n");
  MultimediaStream *stream = started("Off");
  MultimediaFrame *frame = multimediaNewFrame(stream, "x", 1);
  multimediaWriteFrame(frame, 1);
  EXPECT_EQ(frame->referenceCount, 1);
  EXPECT_TRUE(multimediaStreamReady(stream));
  multimediaReleaseFrame(frame);
}

// The OSS seam: formats, channels, rate answers, sources and levels.
struct FakeOss {
  static inline std::vector<std::pair<unsigned long, int>> calls;
  static inline int answerRate = 0;
  static int open(const char *, int) { return dup(2); }
  static int ioctl(int, unsigned long request, int *argument) {
    calls.emplace_back(request, *argument);
    if (request == SNDCTL_DSP_SPEED && answerRate) *argument = answerRate;
    return 0;
  }
};

std::vector<std::string> problems;
void captureLog(LogChannel *, const char *, int, const char *message) { problems.emplace_back(message); }

TEST_F(StreamTest, OssSeam) {
  EXPECT_EQ(ossaudioSourceMask("mic cd"), 0x180);
  EXPECT_EQ(ossaudioSourceMask("line-in"), 0x10000);
  EXPECT_EQ(ossaudioLevel(50), 0x3232);
  EXPECT_EQ(ossaudioLevel(200), 0x6464);
  EXPECT_EQ(ossaudioFormat("audio/pcm8"), 64);
  EXPECT_EQ(ossaudioFormat("audio/pcm16"), -1);
  ossaudioSeam = {FakeOss::open, FakeOss::ioctl};
  char name[] = "multimediastream_test", *argv[] = {name, nullptr};
  logInit(1, argv, "", "");
  LogOutputHook hook = logOutputHook;
  logOutputHook = captureLog;
  load("Name=Dsp\nMWTpath=/dev/fake-dsp\n");
  MultimediaStream *stream = open("Dsp MWTaudioChannels=2");
  const char *error = multimediaStartStream(stream);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Unsupported OSS format unspecified for Dsp MWTaudioChannels=2");
  FakeOss::calls.clear();
  FakeOss::answerRate = 48000;
  stream = open("Dsp MWTaudioChannels=2 MWTaudioSampleRate=44100 MWTcontentType=audio/pcm16le");
  problems.clear();
  EXPECT_EQ(multimediaStartStream(stream), nullptr);
  std::vector<std::pair<unsigned long, int>> expected = {
      {SNDCTL_DSP_SETFMT, AFMT_S16_LE}, {SNDCTL_DSP_CHANNELS, 2}, {SNDCTL_DSP_SPEED, 44100}};
  EXPECT_EQ(FakeOss::calls, expected);
  bool logged = false;
  for (const std::string &line : problems) logged |= line.find("Exact audio sample rate is 48000") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_EQ(multimediaCloseStream(stream), nullptr);
  // A reading stream sets its sources and level first.
  FakeOss::calls.clear();
  load("Name=MWTdefaultSettings\n" + statement("MWTreadAudioPorts", "mic cd") + "MWTreadAudioVolume=50\nName=Dsp\nMWTpath=/dev/fake-dsp\n");
  stream = open("Dsp MWTaudioChannels=1 MWTcontentType=audio/pcm8", nullptr, 1);
  EXPECT_EQ(multimediaStartStream(stream), nullptr);
  ASSERT_GE(FakeOss::calls.size(), 2u);
  EXPECT_EQ(FakeOss::calls[0], std::make_pair((unsigned long)SOUND_MIXER_WRITE_RECSRC, 0x180));
  EXPECT_EQ(FakeOss::calls[1], std::make_pair((unsigned long)SOUND_MIXER_WRITE_RECLEV, 0x3232));
  multimediaCloseStream(stream);
  logOutputHook = hook;
  ossaudioSeam = ossaudioSystemSeam;
}

bool haveFfmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

// ffmpeg as a real sink: 50 rgb24 frames of 64x48 on the threaded side (8 workers) arrive
// whole and in order, none lost at the close.
TEST_F(StreamTest, FfmpegFrameMd5) {
  if (!haveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  std::string out = dir + "/md5";
  load("Name=Ff\nMWTwriteThreaded=1\n" +
       statement("MWTwriteCmd", "ffmpeg -v error -f rawvideo -pix_fmt rgb24 -s 64x48 -i - -f framemd5 '" + out + "'"));
  MultimediaStream *stream = started("Ff");
  ASSERT_NE(stream, nullptr);
  std::vector<std::string> frames;
  for (int i = 0; i < 50; i++) {
    frames.push_back(randomBytes(64 * 48 * 3, unsigned(1000 + i)));
    writeBytes(stream, frames.back());
  }
  EXPECT_EQ(multimediaCloseStream(stream), nullptr);
  // The same frames through ffmpeg from a file give the reference list.
  std::string raw = dir + "/raw", reference = dir + "/reference";
  {
    std::ofstream file(raw, std::ios::binary);
    for (const std::string &frame : frames) file << frame;
  }
  std::string command = "ffmpeg -v error -f rawvideo -pix_fmt rgb24 -s 64x48 -i '" + raw + "' -f framemd5 '" + reference + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  auto md5s = [](const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '#') lines.push_back(line.substr(line.rfind(',') + 1));
    return lines;
  };
  std::vector<std::string> got = md5s(fileText(out)), want = md5s(fileText(reference));
  EXPECT_EQ(got.size(), 50u);
  EXPECT_EQ(got, want);
}

}  // namespace
