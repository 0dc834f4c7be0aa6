// Multimedia profiles, client specifications and the opening, start, writing and closing of
// streams.
#include "conversions/multimedia.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "conversions/conversion.h"
#include "support/host.h"
#include "support/logging.h"

namespace {

// A pair list as "key=value;" texts.
std::string pairsText(const char *list) {
  std::string text;
  const char *cursor = list, *key, *value;
  while (multimediaNextPair(&cursor, &key, &value)) text += std::string(key) + "=" + value + ";";
  return text;
}

std::string profilePairs(const char *name) {
  const MultimediaProfile *profile = multimediaFindProfile(name);
  return profile ? pairsText(profile->pairs) : "(none)";
}

class MultimediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/multimediaXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    profiles = dir + "/profiles";
    setenv("XMULTIMEDIA_PROFILES", profiles.c_str(), 1);
    multimediaClearProfiles();
  }
  void TearDown() override {
    while (multimediaStreams) multimediaFreeStream(multimediaStreams);
    multimediaClearProfiles();
    unsetenv("XMULTIMEDIA_PROFILES");
    std::string command = "rm -rf '" + dir + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  // Writes the profile file and loads it afresh; the load's result ("" on success).
  std::string load(const std::string &text) {
    std::ofstream(profiles, std::ios::binary | std::ios::trunc) << text;
    multimediaClearProfiles();
    const char *error = multimediaLoadProfiles();
    return error ? error : "";
  }
  std::string dir, profiles;
};

// The profile file's edges: conditions, the remembered false line, names and aliases cut, includes.
TEST_F(MultimediaTest, ProfileFileEdges) {
  std::string longName(70, 'n'), longAlias(50, 'a');
  ASSERT_EQ(load("Name=MWTdefaultSettings\nFeature=1\nNoFeature=0\n"
                 "Name=Cond\n"
                 "Linux:MWTwriteCmd=run\n"
                 "Other:MWTwritePath=/x after=1\n"
                 "Feature:kept=1 NoFeature:dropped=1 alsoDropped=1 Linux:judged=1\n"
                 "Other:x=1 Alias=condAlias\n"
                 "last=1\n"
                 "Name=Inc\nstart=1 Cond NoSuchProfile end=1\n"
                 "Name=" + longName + "\nAlias=" + longAlias + "\n"
                 "Name=Two\nAlias=First\nAlias=Second\nk=two\n"
                 "Name=Three\nAlias=x\nAlias=y\nAlias=z\nk=three\n"
                 "Name=First\nk=first\n"),
            "");
  struct Case {
    const char *profile;
    const char *pairs;
  } cases[] = {
      {"Cond", "MWTwriteCmd=run;kept=1;judged=1;last=1;"},
      {"condalias", "MWTwriteCmd=run;kept=1;judged=1;last=1;"},
      {"Inc", "start=1;MWTwriteCmd=run;kept=1;judged=1;last=1;end=1;"},
      {"second", "k=two;"},
      {"Z", "k=three;"},  // a third alias replaces the second
      {"y", "(none)"},
      {"first", "k=first;"},  // a name match beats Two's alias
  };
  for (const Case &c : cases) EXPECT_EQ(profilePairs(c.profile), c.pairs) << c.profile;
  EXPECT_NE(multimediaFindProfile(longName.substr(0, 59).c_str()), nullptr);
  EXPECT_EQ(multimediaFindProfile(longName.c_str()), nullptr);
  const MultimediaProfile *cut = multimediaFindProfile(longAlias.substr(0, 39).c_str());
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(strlen(cut->name), 59u);
  EXPECT_EQ(multimediaFindProfile(longAlias.c_str()), nullptr);
  EXPECT_EQ(multimediaFindProfile("Second"), multimediaFindProfile("Two"));
}

TEST_F(MultimediaTest, Settings) {
  ASSERT_EQ(load("Name=Plain\nk=v\n"), "");
  struct Case {
    const char *key, *value;
  } builtIn[] = {{"MWTreadSize", "100000"}, {"linux", "1"}, {"LINUX", "1"}, {"unknownKey", ""},
                 {"MWTlibName", "MMLib"}, {"mwtwritetimeout", "60000s"}, {"MWTprofilesCount", "1"}};
  for (const Case &c : builtIn) EXPECT_STREQ(multimediaGetSetting(c.key), c.value) << c.key;
  EXPECT_STREQ(multimediaGetSetting("MWTprofilesPath"), profiles.c_str());

  ASSERT_EQ(load("Name=Defaults\nAlias=MWTdefaultSettings\nmwtreadsize=5\nLinux=0\n"), "");
  EXPECT_STREQ(multimediaGetSetting("MWTreadSize"), "5");
  EXPECT_STREQ(multimediaGetSetting("Linux"), "0");
  EXPECT_STREQ(multimediaGetSetting("MWTlibVersion"), "1.0");

  multimediaClearProfiles();
  unsetenv("XMULTIMEDIA_PROFILES");
  EXPECT_EQ(multimediaGetSetting("MWTprofilesPath"), nullptr);
  const char *error = multimediaLoadProfiles();
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error, "Environment variable XMULTIMEDIA_PROFILES not set - Be sure to start the wrapper script");
}

// A failed load leaves nothing behind; the next load reads each profile once. A false condition
// is remembered by the full line number, not one that wraps at 65536.
TEST_F(MultimediaTest, FailedLoadStartsAfresh) {
  std::string good = "Name=A\na=1\nName=B\nb=1\nName=C\n";
  std::string broken = good + "c=" + std::string(5000, 'x') + "\n";
  EXPECT_NE(load(broken), "");
  EXPECT_EQ(multimediaProfileCount, 0u);
  EXPECT_EQ(multimediaFindProfile("A"), nullptr);
  std::ofstream(profiles, std::ios::binary | std::ios::trunc) << good << "c=1\n";
  ASSERT_EQ(multimediaLoadProfiles(), nullptr);
  EXPECT_EQ(multimediaProfileCount, 3u);
  EXPECT_EQ(profilePairs("A") + profilePairs("B") + profilePairs("C"), "a=1;b=1;c=1;");
  EXPECT_EQ(multimediaLoadProfiles(), nullptr);  // read once
  EXPECT_EQ(multimediaProfileCount, 3u);

  std::string text = "Name=Far\nOff:x=1\n";  // the false condition is on line 2
  for (int line = 3; line < 65538; line++) text += "#\n";
  text += "kept=1\n";  // line 65538, which is 2 in 16 bits
  ASSERT_EQ(load(text), "");
  EXPECT_EQ(profilePairs("Far"), "kept=1;");
}

TEST_F(MultimediaTest, CyclesAndLongExpansionsAreRefused) {
  struct Case {
    const char *file, *refusedName;
  } cases[] = {
      {"Name=A\nA=\n", "A"},
      {"Name=A\nx=1 B=\nName=B\nA=\n", "A"},
      {"Name=A\nMWTname=A\n", "A"},
      {"Name=A\nMWTname=B\nName=B\nmwtname=a\n", "A"},
      {"Name=A\nAlias=Other\nB=\nName=B\nOTHER=\n", "A"},
  };
  for (const Case &c : cases) {
    std::string error = load(c.file);
    EXPECT_NE(error.find(std::string("'") + c.refusedName + "'"), std::string::npos) << c.file << ": " << error;
    EXPECT_EQ(multimediaProfileCount, 0u);
  }
  // 5000 bytes through an include; 4000 alone fit.
  std::string big = "Name=Big\nk=" + std::string(4000, 'v') + "\nName=Small\nj=" + std::string(996, 'w') + "\n";
  ASSERT_EQ(load(big), "");
  std::string error = load(big + "Name=Both\nBig Small\n");
  EXPECT_NE(error.find("'Both'"), std::string::npos) << error;
  EXPECT_EQ(multimediaProfileCount, 0u);
}

TEST_F(MultimediaTest, ClientSpecifications) {
  const char *refused[] = {"MWTwriteCmd=x", "mwtwritecmd=x", "MWTreadCmd=x", "MWTPATH=/tmp/v",
                           "MWTwritePath=/tmp/v", "mwtreadpath=/tmp/v", "LD_PRELOAD=x", "PATH=/x",
                           "MWTwriteCmd", "MWTwriteOff", "Linux:MWTwriteCmd=x", "Name MWTreadSize=1",
                           "", "   ", "MWTwriteBuffered=1"};
  for (const char *spec : refused) {
    const char *error = multimediaCheckClientSpec(spec);
    ASSERT_NE(error, nullptr) << spec;
    EXPECT_EQ(std::string(error), std::string("Invalid multimedia stream '") + spec + "'");
  }
  const char *allowed[] = {"Profile", "Profile Other", "MWTname=Profile", "mwtname=x",
                           "MWTdescription_en=\"my film\"", "MWTCONTENTTYPE=audio/pcm8", "MWTaudioChannels=2",
                           "mwtaudiosamplerate=44100", "MWTaudioBalance=50", "A MWTdescription_en=d B"};
  for (const char *spec : allowed) EXPECT_EQ(multimediaCheckClientSpec(spec), nullptr) << spec;
}

// Every key of the engine but the six a client may give is refused, in any spelling of its case.
TEST_F(MultimediaTest, EngineKeysAreRefusedInAnyCase) {
  const char *keys[] = {"MWTreadSize", "MWTreadInterval", "MWTreadThreaded", "MWTwriteThreaded",
                        "MWTwriteBuffered", "MWTreadCmd", "MWTwriteCmd", "MWTwritePipes", "MWTreadPipes",
                        "MWTreadNeedsSigTerm", "MWTwriteNeedsSigTerm", "MWTreadPath", "MWTwritePath", "MWTpath",
                        "MWTwriteOff", "MWTreadAudioPorts", "MWTwriteAudioPorts", "MWTreadAudioVolume",
                        "MWTwriteAudioVolume", "MWTblockSize", "MWTwriteDirect", "MWTencoder", "MWTdefaultSettings"};
  for (const char *key : keys) {
    std::string lower(key), upper(key);
    for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    for (const std::string &spelling : {std::string(key), lower, upper})
      for (const std::string &spec : {spelling + "=1", "Profile " + spelling})
        EXPECT_NE(multimediaCheckClientSpec(spec.c_str()), nullptr) << spec;
  }
}

// Profiles that did not go through a load's cycle check still cannot recurse without end.
TEST_F(MultimediaTest, ApplyingBoundsItsDepth) {
  ASSERT_EQ(multimediaProfileLine("Name", "Loop", 1, nullptr), nullptr);
  ASSERT_EQ(multimediaProfileLine("MWTwritePath", "/dev/null", 2, nullptr), nullptr);
  ASSERT_EQ(multimediaProfileLine("MWTname", "loop", 3, nullptr), nullptr);
  MultimediaStream *stream = nullptr;
  const char *error = multimediaOpenStream("Loop", nullptr, 2, &stream);
  EXPECT_STREQ(error, "Invalid multimedia stream 'Loop'");
  EXPECT_EQ(stream, nullptr);
}

TEST_F(MultimediaTest, LogNamesTheRefusedKey) {
  static std::string seen;
  char name[] = "multimedia_test", *argv[] = {name, nullptr};
  logInit(1, argv, "", "");
  logEnableChannel(logChannelXerror);
  LogOutputHook saved = logOutputHook;
  logOutputHook = [](LogChannel *, const char *, int, const char *text) { seen += text; };
  seen.clear();
  multimediaCheckClientSpec("Profile LD_PRELOAD=/x.so");
  logOutputHook = saved;
  EXPECT_NE(seen.find("LD_PRELOAD"), std::string::npos) << seen;
}

TEST_F(MultimediaTest, ParseSpecAndSpecValue) {
  char *list = multimediaParseSpec("a b=1 c=\"two words\" ");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(pairsText(list), "a=;b=1;c=two words;");
  free(list);
  EXPECT_EQ(multimediaParseSpec(" \t "), nullptr);
  char *value = multimediaSpecValue("KEY", "key=1 other=2 Key=3");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "3");
  free(value);
  EXPECT_EQ(multimediaSpecValue("none", "key=1"), nullptr);
}

TEST_F(MultimediaTest, OpenFailures) {
  ASSERT_EQ(load("Name=Sink\nMWTwritePath=/dev/null\nName=Huge\nk=" + std::string(3000, 'h') + "\n"), "");
  MultimediaStream *stream = reinterpret_cast<MultimediaStream *>(1);
  struct Case {
    const char *spec;
    unsigned flags;
    std::string error;
  } cases[] = {
      {"Sink", 0, "Invalid multimedia stream option 0x0"},
      {"Sink", 4, "Invalid multimedia stream option 0x4"},
      {"nosuch", 2, "No multimedia sink 'nosuch' in " + std::string(hostName()) + ":" + profiles},
      {"nosuch", 1, "No multimedia source 'nosuch' in " + std::string(hostName()) + ":" + profiles},
      {"   ", 2, "Invalid multimedia stream '   '"},
      {"Sink Huge Huge", 2, "Invalid multimedia stream 'Sink Huge Huge'"},  // beyond the environment block
  };
  for (const Case &c : cases) {
    const char *error = multimediaOpenStream(c.spec, nullptr, c.flags, &stream);
    EXPECT_EQ(error ? error : "", c.error) << c.spec;
    EXPECT_EQ(stream, nullptr);
  }
  EXPECT_EQ(multimediaStreams, nullptr);
}

// What the environment block holds, overrides, description and defaults of an open.
TEST_F(MultimediaTest, OpenAppliesProfiles) {
  ASSERT_EQ(load("Name=Base\nMWTwritePath=/base MWTwriteThreaded=0 env=1\n"
                 "Name=Named\nMWTname=Base MWTcontentType=video/x named=1\n"),
            "");
  MultimediaStream *stream = nullptr;
  ASSERT_EQ(multimediaOpenStream("Named NoSuch MWTwritePath=/tmp/later MWTdescription_en=film", nullptr, 6, &stream),
            nullptr);
  ASSERT_NE(stream, nullptr);
  std::string block(stream->environment, stream->environmentLength + 1);
  EXPECT_EQ(pairsText(block.c_str()),
            "MWTwritePath=/base;MWTwriteThreaded=0;env=1;MWTcontentType=video/x;named=1;"
            "MWTwritePath=/tmp/later;MWTdescription_en=film;");
  EXPECT_STREQ(stream->writeSide->path, "/tmp/later");
  EXPECT_EQ(stream->writeSide->method, kMultimediaMethodPath);
  EXPECT_EQ(stream->writeSide->threaded, 1);  // flag 4 makes an unthreaded, unbuffered side threaded
  EXPECT_STREQ(stream->description, "film");
  EXPECT_STREQ(stream->specification, "Named NoSuch MWTwritePath=/tmp/later MWTdescription_en=film");
  EXPECT_STREQ(stream->contentType, "video/x");
  EXPECT_EQ(stream->audioBalance, 101);
  EXPECT_FALSE(stream->readSide->present);
  EXPECT_EQ(stream->writeConverter, &conversionTable[0]);
  EXPECT_EQ(conversionSelect("image/none", stream), std::string("film does not support content type: image/none"));
  EXPECT_EQ(multimediaStreams, stream);
}

TEST_F(MultimediaTest, StreamsOnOnePathShareTheSink) {
  std::string sink = dir + "/sink", other = dir + "/other";
  ASSERT_EQ(load("Name=S\nMWTwritePath=" + sink + "\nName=T\nMWTwritePath=" + other + "\n"), "");
  MultimediaStream *a = nullptr, *b = nullptr, *c = nullptr;
  ASSERT_EQ(multimediaOpenStream("S", nullptr, 2, &a), nullptr);
  ASSERT_EQ(multimediaOpenStream("S", nullptr, 2, &b), nullptr);
  ASSERT_EQ(multimediaOpenStream("T", nullptr, 2, &c), nullptr);
  EXPECT_EQ(a->writeSide, b->writeSide);
  EXPECT_NE(a->writeSide, c->writeSide);
  EXPECT_EQ(a->writeSide->sharers, 1);
  EXPECT_TRUE(multimediaStreams == a && a->next == b && b->next == c && a->previous == c);
  // The first owner goes first: the side stays with the sharer.
  multimediaFreeStream(a);
  EXPECT_EQ(b->writeSide->sharers, 0);
  EXPECT_EQ(multimediaStreams, b);
  EXPECT_EQ(b->previous, c);
}

std::string fileText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(MultimediaStream *stream, const char *text) {
  MultimediaFrame *frame = multimediaNewFrame(stream, text, strlen(text));
  ASSERT_NE(frame, nullptr);
  multimediaWriteFrame(frame, 1);
  multimediaReleaseFrame(frame);
}

TEST_F(MultimediaTest, StartWriteAndClose) {
  std::string sink = dir + "/sink";
  ASSERT_EQ(load("Name=S\nMWTwritePath=" + sink + "\nName=R\nMWTreadPath=" + sink +
                 "\nName=Off\nMWTwriteOff=1\n"),
            "");
  close(open(sink.c_str(), O_CREAT | O_WRONLY, 0600));
  MultimediaStream *a = nullptr, *b = nullptr, *reader = nullptr, *off = nullptr;
  ASSERT_EQ(multimediaOpenStream("S", nullptr, 6, &a), nullptr);
  ASSERT_EQ(multimediaOpenStream("S", nullptr, 6, &b), nullptr);
  ASSERT_EQ(multimediaOpenStream("R", nullptr, 1, &reader), nullptr);
  ASSERT_EQ(multimediaOpenStream("Off", nullptr, 2, &off), nullptr);
  writeText(a, "before start;");  // not started: dropped
  ASSERT_EQ(multimediaStartStream(a), nullptr);
  ASSERT_EQ(multimediaStartStream(b), nullptr);
  EXPECT_EQ(a->writeSide->started, 2);
  writeText(a, "one;");
  writeText(b, "two;");
  writeText(reader, "read side only;");
  ASSERT_EQ(multimediaStartStream(off), nullptr);
  writeText(off, "off;");
  EXPECT_EQ(multimediaCloseStream(a), nullptr);
  EXPECT_EQ(a->writeBuffer.fd, -1);
  writeText(a, "after close;");
  writeText(b, "three;");
  EXPECT_EQ(multimediaCloseStream(b), nullptr);
  EXPECT_EQ(multimediaCloseStream(off), nullptr);
  EXPECT_EQ(a->writeSide->started, 0);
  EXPECT_EQ(fileText(sink), "one;two;three;");
  EXPECT_EQ(conversionTable[0].users, 0u);

  MultimediaStream *missing = nullptr;
  std::string nowhere = dir + "/no/such/dir";
  ASSERT_EQ(multimediaOpenStream(("MWTwritePath=" + nowhere).c_str(), nullptr, 2, &missing), nullptr);
  const char *error = multimediaStartStream(missing);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Can't open '" + nowhere + "' for MWTwritePath=" + nowhere +
                                    ": No such file or directory");
}

// A sink whose reader has gone fails the stream with a text naming the write.
TEST_F(MultimediaTest, BrokenSinkFailsTheStream) {
  signal(SIGPIPE, SIG_IGN);
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(load("Name=F\nMWTwritePath=" + fifo + "\n"), "");
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  MultimediaStream *stream = nullptr;
  ASSERT_EQ(multimediaOpenStream("F", nullptr, 2, &stream), nullptr);
  ASSERT_EQ(multimediaStartStream(stream), nullptr);
  writeText(stream, "abc");
  char got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 3);
  close(reader);
  writeText(stream, "lost");
  const char *error = multimediaStreamError(stream);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::string(error), "Broken pipe in F stream");
  EXPECT_NE(multimediaCloseStream(stream), nullptr);
}

}  // namespace
