// Vendor commands executed inside the proxy, against the recording fake GL library: every served
// code's call and reply, the data of each cut short at the end of an exactly sized heap block
// (no call, one BadLength), counts no reply can carry (BadAlloc, no call), and who answers: the
// reply head only, and only a request that asked for a reply.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fakecore.h"
#include "fakegl.h"
#include "glxdirectfixture.h"
#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/head.h"
#include "proxy/korvanparser.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "xext/extrequest.h"
#include "xext/glx.h"
#include "xext/glxcontext.h"
#include "xext/glxdirect.h"
#include "xext/glxinstance.h"
#include "xext/glxobjects.h"

namespace {

constexpr uint32_t kGl21 = 2 * 64 + 1;
constexpr uint8_t kGlxMajor = 201, kGlxFirstError = 160;
constexpr uint8_t kBadLength = 16, kBadAlloc = 11, kGlxBadContextTag = 4;

struct Data {
  std::vector<uint8_t> bytes;
  Data &u32(uint32_t v) { return raw(&v, 4); }
  Data &i32(int32_t v) { return raw(&v, 4); }
  Data &f32(float v) { return raw(&v, 4); }
  Data &u8(uint8_t v) { return raw(&v, 1); }
  Data &text(const std::string &s) { return raw(s.data(), s.size()); }
  Data &floats(int n) {
    for (int k = 0; k < n; k++) f32(0.5f * float(k));
    return *this;
  }
  Data &raw(const void *p, size_t n) {
    auto *b = static_cast<const uint8_t *>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
};

// One served code: its data (exactly what the code reads), a pattern the call log must show,
// and where its reply carries its count (at byte 12 for values, byte 8 for data replies) with
// the count expected; no reply: at 0.
struct Case {
  uint32_t code;
  Data data;
  const char *calls;
  uint32_t countAt;
  uint32_t count;
};

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      {1293, Data().u32(2).u32(7).u32(8), R"(glAreProgramsResidentNV\(2, 0x)", 12, 2},
      {1294, Data().u32(2).u32(7).u32(8), R"(glDeleteProgramsARB\(2, 0x)", 0, 0},
      {1295, Data().u32(3), R"(glGenProgramsARB\(3, 0x)", 12, 3},
      {1296, Data().u32(0x8620).u32(5).u32(0x8621), R"(glGetProgramParameterfvNV\(0x8620, 5, 0x8621, 0x)", 12, 4},
      {1297, Data().u32(0x8620).u32(5).u32(0x8621), R"(glGetProgramParameterdvNV\(0x8620, 5, 0x8621, 0x)", 12, 4},
      {1298, Data().u32(9).u32(0x8627), R"(glGetProgramivNV\(9, 0x8627, 0x)", 12, 1},
      {1299, Data().u32(9).u32(0x8628), R"(glGetProgramStringNV\(9, 0x8628, 0x)", 12, 1},
      {1300, Data().u32(0x8620).u32(4).u32(0x8630), R"(glGetTrackMatrixivNV\(0x8620, 4, 0x8630, 0x)", 12, 1},
      {1301, Data().u32(3).u32(0x8623), R"(glGetVertexAttribdvARB\(3, 0x8623, 0x)", 12, 1},
      {1302, Data().u32(3).u32(0x8623), R"(glGetVertexAttribfvARB\(3, 0x8623, 0x)", 12, 1},
      {1303, Data().u32(3).u32(0x8623), R"(glGetVertexAttribivARB\(3, 0x8623, 0x)", 12, 1},
      {1304, Data().u32(6), R"(glIsProgramARB\(6\))", 12, 1},
      {1305, Data().u32(0x8620).u32(2), R"(glGetProgramLocalParameterfvARB\(0x8620, 2, 0x)", 12, 4},
      {1306, Data().u32(0x8620).u32(2), R"(glGetProgramLocalParameterdvARB\(0x8620, 2, 0x)", 12, 4},
      {1307, Data().u32(0x8620).u32(0x8627), R"(glGetProgramivARB\(0x8620, 0x8627, 0x)", 12, 1},
      {1308, Data().u32(0x8620).u32(0x8628), R"(glGetProgramStringARB\(0x8620, 0x8628, 0x)", 12, 1},
      {1310, Data().u32(9).u32(3).text("abc"), R"(glGetProgramNamedParameterfvNV\(9, 3, 0x)", 12, 4},
      {1311, Data().u32(9).u32(3).text("abc"), R"(glGetProgramNamedParameterdvNV\(9, 3, 0x)", 12, 4},
      {1328, Data().u32(4).u32(0x8866), R"(glGetQueryObjecti64vEXT\(4, 0x8866, 0x)", 12, 1},
      {1329, Data().u32(4).u32(0x8866), R"(glGetQueryObjectui64vEXT\(4, 0x8866, 0x)", 12, 1},
      {1330, Data().u32(0x400001).i32(0x20DE).u32(1).u32(0x20DC).u32(0x20DD),
       R"(glXBindTexImageEXT\(.*, 4194305, 8414, 0x)", 0, 0},
      {1331, Data().u32(0x400001).i32(0x20DE), R"(glXReleaseTexImageEXT\(.*, 4194305, 8414\))", 0, 0},
      {1422, Data().u32(5), R"(glIsRenderbuffer\(5\))", 12, 1},
      {1423, Data().u32(2), R"(glGenRenderbuffers\(2, 0x)", 12, 2},
      {1424, Data().u32(0x8D41).u32(0x8D42), R"(glGetRenderbufferParameteriv\(0x8D41, 0x8D42, 0x)", 12, 1},
      {1425, Data().u32(5), R"(glIsFramebuffer\(5\))", 12, 1},
      {1426, Data().u32(2), R"(glGenFramebuffers\(2, 0x)", 12, 2},
      {1427, Data().u32(0x8D40), R"(glCheckFramebufferStatus\(0x8D40\))", 12, 1},
      {1428, Data().u32(0x8D40).u32(0x8CE0).u32(0x8CD0),
       R"(glGetFramebufferAttachmentParameteriv\(0x8D40, 0x8CE0, 0x8CD0, 0x)", 12, 1},
      {65536, Data().i32(2), R"(glXSwapIntervalSGI\(2\))", 0, 0},
      {90000, Data().u32(40).u32(0x8B31), R"(glCreateShader\(0x8B31\))", 0, 0},
      {90001, Data().u32(41).u32(1).u32(3).text("abc"), R"(glShaderSource\(41, 1, 0x)", 0, 0},
      {90002, Data().u32(41), R"(glCompileShader\(41\))", 0, 0},
      {90003, Data().u32(41).u32(0x8B81), R"(glGetShaderiv\(41, 0x8B81, 0x)", 12, 1},
      {90004, Data().u32(42), R"(glLinkProgram\(42\))", 0, 0},
      {90005, Data().u32(42).u32(3).u32(0).text("pos").u8(0), R"(glBindAttribLocationARB\(42, 3, "pos"\))", 0, 0},
      {90006, Data().u32(43), R"(glCreateProgram\(\))", 0, 0},
      {90007, Data().u32(42).u32(0x8B82), R"(glGetProgramiv\(42, 0x8B82, 0x)", 12, 1},
      {90008, Data().u32(42).u32(41), R"(glAttachObjectARB\(42, 41\))", 0, 0},
      {90009, Data().u32(42).u32(41), R"(glAttachShader\(42, 41\))", 0, 0},
      {90010, Data().u32(42), R"(glUseProgram\(42\))", 0, 0},
      {90011, Data().u32(42).u32(1).u32(16), R"(glGetActiveUniform\(42, 1, 16, 0x)", 8, 0},
      {90012, Data().u32(42).u32(0).text("col").u8(0), R"(glGetUniformLocation\(42, "col"\))", 12, 1},
      {90013, Data().u32(42).u32(1).u32(16), R"(glGetActiveAttrib\(42, 1, 16, 0x)", 8, 0},
      {90014, Data().u32(42).u32(0).text("col").u8(0), R"(glGetAttribLocation\(42, "col"\))", 12, 1},
      {90015, Data().u32(41).u32(64), R"(glGetShaderInfoLog\(41, 64, 0x)", 8, 0},
      {90016, Data().u32(42).u32(64), R"(glGetProgramInfoLog\(42, 64, 0x)", 8, 0},
      {90017, Data().u32(42), R"(glValidateProgramARB\(42\))", 0, 0},
      {90018, Data().i32(3).u32(2).floats(2), R"(glUniform1fvARB\(3, 2, 0x)", 0, 0},
      {90019, Data().i32(3).u32(2).floats(4), R"(glUniform2fvARB\(3, 2, 0x)", 0, 0},
      {90020, Data().i32(3).u32(2).floats(6), R"(glUniform3fvARB\(3, 2, 0x)", 0, 0},
      {90021, Data().i32(3).u32(2).floats(8), R"(glUniform4fvARB\(3, 2, 0x)", 0, 0},
      {90022, Data().i32(3).u32(2).floats(2), R"(glUniform1ivARB\(3, 2, 0x)", 0, 0},
      {90023, Data().i32(3).u32(2).floats(4), R"(glUniform2ivARB\(3, 2, 0x)", 0, 0},
      {90024, Data().i32(3).u32(2).floats(6), R"(glUniform3ivARB\(3, 2, 0x)", 0, 0},
      {90025, Data().i32(3).u32(2).floats(8), R"(glUniform4ivARB\(3, 2, 0x)", 0, 0},
      {90026, Data().u32(0x404).u32(0x207).i32(1).u32(255), R"(glStencilFuncSeparate\(0x0404, 0x0207, 1, 255\))", 0, 0},
      {90027, Data().u32(0x404).u32(0x1E00).u32(0x1E01).u32(0x1E02),
       R"(glStencilOpSeparate\(0x0404, 0x1E00, 0x1E01, 0x1E02\))", 0, 0},
      {90028, Data().u32(0x404).u32(15), R"(glStencilMaskSeparate\(0x0404, 15\))", 0, 0},
      {90029, Data().u32(42), R"(glDeleteProgram\(42\))", 0, 0},
      {90030, Data().u32(41), R"(glDeleteShader\(41\))", 0, 0},
      {90031, Data().u32(42).u32(41), R"(glDetachShader\(42, 41\))", 0, 0},
      {90032, Data().u32(2), R"(glDisableVertexAttribArrayARB\(2\))", 0, 0},
      {90033, Data().u32(2), R"(glEnableVertexAttribArrayARB\(2\))", 0, 0},
      {90034, Data().u32(42).u32(4), R"(glGetAttachedShaders\(42, 4, 0x)", 12, 0},
      {90035, Data().u32(41).u32(64), R"(glGetShaderSource\(41, 64, 0x)", 12, 0},
      {90036, Data().u32(42).i32(3), R"(glGetUniformfv\(42, 3, 0x)", 12, 0},
      {90037, Data().u32(42).i32(3), R"(glGetUniformiv\(42, 3, 0x)", 12, 0},
      {90038, Data().u32(3).u32(0x8623), R"(glGetVertexAttribdv\(3, 0x8623, 0x)", 12, 1},
      {90039, Data().u32(3).u32(0x8623), R"(glGetVertexAttribfv\(3, 0x8623, 0x)", 12, 1},
      {90040, Data().u32(3).u32(0x8623), R"(glGetVertexAttribiv\(3, 0x8623, 0x)", 12, 1},
      {90041, Data().u32(3).u32(0x8645), R"(glGetVertexAttribPointerv\(3, 0x8645, 0x)", 12, 1},
      {90042, Data().u32(42), R"(glIsProgram\(42\))", 12, 1},
      {90043, Data().u32(41), R"(glIsShader\(41\))", 12, 1},
      {90044, Data().i32(3).f32(0.5f), R"(glUniform1fARB\(3, 0.5\))", 0, 0},
      {90045, Data().i32(3).f32(0.5f).f32(1.5f), R"(glUniform2fARB\(3, 0.5, 1.5\))", 0, 0},
      {90046, Data().i32(3).f32(0.5f).f32(1.5f).f32(2), R"(glUniform3fARB\(3, 0.5, 1.5, 2\))", 0, 0},
      {90047, Data().i32(3).f32(0.5f).f32(1.5f).f32(2).f32(3), R"(glUniform4fARB\(3, 0.5, 1.5, 2, 3\))", 0, 0},
      {90048, Data().i32(3).i32(7), R"(glUniform1iARB\(3, 7\))", 0, 0},
      {90049, Data().i32(3).i32(7).i32(8), R"(glUniform2iARB\(3, 7, 8\))", 0, 0},
      {90050, Data().i32(3).i32(7).i32(8).i32(9), R"(glUniform3iARB\(3, 7, 8, 9\))", 0, 0},
      {90051, Data().i32(3).i32(7).i32(8).i32(9).i32(-1), R"(glUniform4iARB\(3, 7, 8, 9, -1\))", 0, 0},
      {90052, Data().i32(3).u32(1).u32(0x101).floats(4), R"(glUniformMatrix2fvARB\(3, 1, 1, 0x)", 0, 0},
      {90053, Data().i32(3).u32(1).u32(0x100).floats(9), R"(glUniformMatrix3fvARB\(3, 1, 0, 0x)", 0, 0},
      {90054, Data().i32(3).u32(1).u32(1).floats(16), R"(glUniformMatrix4fvARB\(3, 1, 1, 0x)", 0, 0},
      {90055, Data().u32(0x8892).u32(5), R"(glBindBufferARB\(0x8892, 5\))", 0, 0},
      {90056, Data().u32(0x8892).i32(4).u32(0x88E4).u32(1).u32(0xDEADBEEF),
       R"(glBufferDataARB\(0x8892, 4, 0x[0-9a-f]+, 0x88E4\))", 0, 0},
      {90057, Data().u32(0x8892).i32(2).i32(4).u32(1), R"(glBufferSubDataARB\(0x8892, 2, 4, 0x)", 0, 0},
      {90058, Data().u32(1).u32(5), R"(glDeleteBuffers\(1, 0x)", 0, 0},
      {90059, Data().u32(2), R"(glGenBuffers\(2, 0x)", 12, 2},
      {90060, Data().u32(0x8892).u32(0x8764), R"(glGetBufferParameteriv\(0x8892, 0x8764, 0x)", 12, 1},
      {90061, Data().u32(0x8892).u32(0x88BD), R"(glGetBufferPointervARB\(0x8892, 0x88BD, 0x)", 12, 0},
      {90062, Data().u32(0x8892).i32(0).u32(3), R"(glGetBufferSubData\(0x8892, 0, 3, 0x)", 12, 3},
      {90063, Data().u32(5), R"(glIsBuffer\(5\))", 12, 1},
      {90064, Data().u32(0x8892).u32(0x88B8), R"(glMapBuffer\(0x8892, 0x88B8\))", 12, 0},
      {90065, Data().u32(0x8892), R"(glUnmapBuffer\(0x8892\))", 12, 1},
      {90066, Data().u32(2).u32(0).text("oops").u8(0), R"(^$)", 0, 0},
      {90073, Data().u32(44), R"(glDeleteObjectARB\(44\))", 0, 0},
      {90074, Data().u32(44).u32(0x8B80), R"(glGetObjectParameterfvARB\(44, 0x8B80, 0x)", 12, 1},
      {90075, Data().u32(44).u32(0x8B80), R"(glGetObjectParameterivARB\(44, 0x8B80, 0x)", 12, 1},
      {90076, Data().i32(1).i32(9), R"(glLockArraysEXT\(1, 9\))", 0, 0},
      {90077, Data(), R"(glUnlockArraysEXT\(\))", 0, 0},
      {90078, Data().u32(0x8892).i32(0).i32(8).u32(1), R"(glMapBufferRange\(0x8892, 0, 8, 1\))", 12, 0},
      {90079, Data().u32(0x8892).i32(0).i32(8), R"(glFlushMappedBufferRange\(0x8892, 0, 8\))", 0, 0},
  };
  return all;
}

class GlxDirectVendor : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeglReset();
    screen = core.addScreen(1600, 600, 2);
    client = &core.addClient(false);
    heads = core.heads(screen);
    savedMajor = proxyState.ext.glxMajor;
    savedFirstError = proxyState.extensions[kGlxMajor].firstError;
    proxyState.ext.glxMajor = kGlxMajor;
    proxyState.extensions[kGlxMajor].firstError = kGlxFirstError;
    instance = static_cast<GlxLibraryInstance *>(calloc(1, sizeof(GlxLibraryInstance)));
    ASSERT_EQ(glxdirectLoadFunctions(kFakeGlLibrary.c_str(), kGl21, instance), nullptr);
    fakeglTwoSlots(instance, contextHandles, &display);
    fakeglClearLog();
  }
  void TearDown() override {
    proxyState.ext.glxMajor = savedMajor;
    proxyState.extensions[kGlxMajor].firstError = savedFirstError;
    fakeglFreeTwoSlots(instance, display);
  }

  // Executes one command whose request (12-byte header, then the data) fills a heap block of
  // exactly its size; the calls it made. *served: what the executor returned.
  std::string run(uint32_t code, const std::vector<uint8_t> &data, Head *head = nullptr, uint8_t minor = 17,
                  bool *served = nullptr, uint32_t slot = 1) {
    fakeglClearLog();
    size_t size = 12 + data.size();
    std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
    block[0] = kGlxMajor;
    block[1] = minor;
    uint16_t words = uint16_t((size + 3) / 4);
    memcpy(block.get() + 2, &words, 2);
    memcpy(block.get() + 4, &code, 4);
    uint32_t tag = 1;
    memcpy(block.get() + 8, &tag, 4);
    if (!data.empty()) memcpy(block.get() + 12, data.data(), data.size());
    bool result;
    {
      FakeCore::Current current(*client);
      result = glxdirectVendorPrivate(instance, slot, code, block.get() + 12, block.get() + size,
                                      head ? head : heads[0]);
    }
    if (served) *served = result;
    return fakeglLog();
  }
  std::vector<FakeBytes> messages() { return core.messages(*client); }

  FakeCore core;
  MetaScreen *screen = nullptr;
  FakeClient *client = nullptr;
  std::vector<Head *> heads;
  uint8_t savedMajor = 0, savedFirstError = 0;
  char contextHandles[4] = {};
  _XPrivDisplay display = nullptr;
  GlxLibraryInstance *instance = nullptr;
};

TEST_F(GlxDirectVendor, EveryCodeCallsItsFunctionAndAnswersItsCount) {
  std::set<uint32_t> codes;
  for (const Case &c : cases()) {
    SCOPED_TRACE(c.code);
    codes.insert(c.code);
    bool served = false;
    std::string calls = run(c.code, c.data.bytes, nullptr, 17, &served);
    EXPECT_TRUE(served);
    EXPECT_TRUE(std::regex_search(calls, std::regex(c.calls))) << calls;
    std::vector<FakeBytes> got = messages();
    if (c.countAt == 0) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    const FakeBytes &m = got[0];
    ASSERT_GE(m.size(), 32u);
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(client->u32(m, 4), (m.size() - 32) / 4);
    EXPECT_EQ(client->u32(m, c.countAt), c.count);
  }
  EXPECT_EQ(codes.size(), 104u);
}

TEST_F(GlxDirectVendor, ShortDataCallsNothingAndIsOneBadLength) {
  for (const Case &c : cases()) {
    for (size_t cut = 0; cut < c.data.bytes.size(); cut++) {
      SCOPED_TRACE(testing::Message() << c.code << " cut to " << cut);
      std::vector<uint8_t> part(c.data.bytes.begin(), c.data.bytes.begin() + long(cut));
      EXPECT_EQ(run(c.code, part), "");
      std::vector<FakeBytes> got = messages();
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], 0);
      EXPECT_EQ(got[0][1], kBadLength);
    }
  }
}

TEST_F(GlxDirectVendor, CountsNoReplyCanCarryAreBadAllocWithoutACall) {
  struct Big {
    uint32_t code;
    Data data;
  };
  const std::vector<Big> big = {
      {1295, Data().u32(0x40000000)},           {1423, Data().u32(0x40000000)},
      {1426, Data().u32(0x40000000)},           {90059, Data().u32(0x40000000)},
      {90034, Data().u32(42).u32(0x40000000)},  {90011, Data().u32(42).u32(0).u32(0x40000000)},
      {90013, Data().u32(42).u32(0).u32(0x40000000)}, {90015, Data().u32(41).u32(0x40000000)},
      {90016, Data().u32(42).u32(0x40000000)},  {90035, Data().u32(41).u32(0x40000000)},
      {90062, Data().u32(0x8892).u32(0).u32(0x40000000)}, {90015, Data().u32(41).u32(0xFFFFFFFF)},
  };
  for (const Big &b : big) {
    SCOPED_TRACE(b.code);
    EXPECT_EQ(run(b.code, b.data.bytes), "");
    std::vector<FakeBytes> got = messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][0], 0);
    EXPECT_EQ(got[0][1], kBadAlloc);
  }
  // Counts the data must carry are short data instead.
  run(1293, Data().u32(0x40000000).bytes);
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], kBadLength);
}

TEST_F(GlxDirectVendor, OnlyTheReplyHeadAnswersAndOnlyWhenAsked) {
  // Another head of the screen calls the library but sends nothing, errors included.
  EXPECT_NE(run(90059, Data().u32(2).bytes, heads[1]), "");
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(run(90059, Data().bytes, heads[1]), "");
  EXPECT_TRUE(messages().empty());
  // The head tagged for GLX answers instead of the first.
  screen->glxHead = heads[1];
  run(90063, Data().u32(5).bytes, heads[1]);
  EXPECT_EQ(messages().size(), 1u);
  run(90063, Data().u32(5).bytes, heads[0]);
  EXPECT_TRUE(messages().empty());
  screen->glxHead = nullptr;
  // An answering code sent without asking for a reply gets none.
  EXPECT_NE(run(90063, Data().u32(5).bytes, nullptr, 16), "");
  EXPECT_TRUE(messages().empty());
}

TEST_F(GlxDirectVendor, ASlotThatCannotBeMadeCurrentIsBadContextTag) {
  instance->currentTagSlot = 2;
  fakeglSetMakeCurrent(0);
  std::string calls = run(90063, Data().u32(5).bytes);
  EXPECT_EQ(calls.find("glIsBuffer"), std::string::npos) << calls;
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0);
  EXPECT_EQ(got[0][1], kGlxFirstError + kGlxBadContextTag);
  // Made current, the command runs.
  fakeglSetMakeCurrent(1);
  instance->currentTagSlot = 2;
  calls = run(90063, Data().u32(5).bytes);
  EXPECT_NE(calls.find("glXMakeContextCurrent"), std::string::npos) << calls;
  EXPECT_NE(calls.find("glIsBuffer(5)"), std::string::npos) << calls;
  EXPECT_EQ(instance->currentTagSlot, 1u);
  EXPECT_EQ(messages().size(), 1u);
}

// Slot 0 (a tag that is not the client's) never counts as current, even while no slot is: the
// library is not called without a context. A slot whose drawable ended is a current window gone.
TEST_F(GlxDirectVendor, NoCallUnderSlotZeroOrAGoneDrawable) {
  instance->currentTagSlot = 0;
  std::string calls = run(90063, Data().u32(5).bytes, nullptr, 17, nullptr, 0);
  EXPECT_EQ(calls, "");
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], kGlxFirstError + kGlxBadContextTag);
  glxdirectDrawableGone(instance, instance->tagSlots[1].drawDrawable);
  calls = run(90063, Data().u32(5).bytes);
  EXPECT_EQ(calls.find("glIsBuffer"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("glXMakeContextCurrent"), std::string::npos) << calls;
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], kGlxFirstError + 5);  // GLXBadCurrentWindow
}

TEST_F(GlxDirectVendor, UnservedCodesAndNoticesAreLoggedWithoutAnswer) {
  bool served = true;
  EXPECT_EQ(run(90067, Data().u32(1).bytes, nullptr, 17, &served), "");
  EXPECT_FALSE(served);
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(core.logged("Unsupported vendor command #90067 (4 bytes)"));
  run(90066, Data().u32(2).u32(0).text("oops").u8(0).bytes, nullptr, 17, &served);
  EXPECT_TRUE(served);
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(core.logged("Lumora: error oops"));
}

TEST_F(GlxDirectVendor, ValuesComeFromTheLibraryAndVertexPnamesCount) {
  // The fake answers the pname table of glGetIntegerv only; the query of a known pname counts
  // one value, an unlisted pname none (and it is reported).
  run(90040, Data().u32(1).u32(0x8622).bytes);
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 1u);
  run(90040, Data().u32(1).u32(0x1234).bytes);
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 0u);
  EXPECT_EQ(got[0].size(), 32u);
  run(1303, Data().u32(1).u32(0x1234).bytes);
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(client->u32(got[0], 12), 0u);
  EXPECT_TRUE(core.logged("UNE"));
}

TEST_F(GlxDirectVendor, BufferBytesAreSentAsWordsWithZerosPastThem) {
  // Scratch left dirty by an earlier answer must not reach the client.
  memset(instance->scratch, 0xAB, instance->scratchSize);
  run(90062, Data().u32(0x8892).u32(0).u32(3).bytes);
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), 32u + 12u);
  for (size_t k = 32; k < got[0].size(); k++) EXPECT_EQ(got[0][k], 0) << k;
  memset(instance->scratch, 0xAB, instance->scratchSize);
  run(90015, Data().u32(41).u32(64).bytes);
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), 32u);
}

// The vendor BufferData counts the buffer's storage like the render command: past the budget
// BadAlloc without a call, replaced by the next BufferData, kept only when the library accepted
// it, given back by DeleteBuffers.
TEST_F(GlxDirectVendor, BufferStorageCountsAgainstTheBudget) {
  instance->contexts = static_cast<GlxDirectContext *>(calloc(1, sizeof(GlxDirectContext)));
  instance->contexts->context = instance->tagSlots[1].context;
  instance->contexts->serial = instance->contexts->shareGroup = 1;
  uint64_t saved = configRecord.lumoraMemory;
  configRecord.lumoraMemory = 1 << 20;
  const uint64_t &bytes = client->client->lumoraBytes;
  int32_t buffer = 3;
  fakeglSetIntegers(0x8894, &buffer, 1);  // GL_ARRAY_BUFFER_BINDING
  auto bufferData = [&](int32_t size) { return run(90056, Data().u32(0x8892).i32(size).u32(0x88E4).u32(0).bytes); };
  EXPECT_EQ(bufferData(2 << 20).find("glBufferDataARB"), std::string::npos);
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][1], kBadAlloc);
  EXPECT_NE(bufferData(512 << 10).find("glBufferDataARB(0x8892, 524288, NULL, 0x88E4)"), std::string::npos);
  EXPECT_EQ(bytes, 512u << 10);
  bufferData(768 << 10);
  EXPECT_EQ(bytes, 768u << 10);
  fakeglSetRefusal("glBufferDataARB", 0x0505);
  bufferData(1000);
  EXPECT_EQ(bytes, 768u << 10);
  run(90058, Data().u32(1).u32(3).bytes);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(messages().empty());
  configRecord.lumoraMemory = saved;
  glxdirectFreeTextureLevels(instance);
  free(instance->contexts);
  instance->contexts = nullptr;
  instance->currentNode = nullptr;
}

// A mapped buffer answers exactly its mapped bytes (a range mapped at an offset ends before the
// buffer does: its size would read past the mapping); an attribute's pointer is its offset into
// the bound buffer, never an address of the proxy.
TEST_F(GlxDirectVendor, MappedBytesAndAttributePointersAreTheClientsToUse) {
  constexpr uint32_t kArray = 0x8892, kPointer = 0x8645, kBinding = 0x889F;
  fakeglSetBufferMapping(kArray, 64);
  // The reply's count and its bytes (one byte each) of a command.
  auto answer = [&](uint32_t code, const Data &d) {
    run(code, d.bytes);
    std::vector<FakeBytes> got = messages();
    std::vector<uint8_t> bytes;
    EXPECT_EQ(got.size(), 1u);
    if (got.size() != 1 || got[0].size() < 32) return bytes;
    uint32_t n = client->u32(got[0], 12);
    EXPECT_LE(32 + size_t(n), got[0].size());
    if (32 + size_t(n) <= got[0].size()) bytes.assign(got[0].begin() + 32, got[0].begin() + 32 + n);
    return bytes;
  };
  auto unmap = [&]() {
    run(90065, Data().u32(kArray).bytes);
    std::vector<FakeBytes> got = messages();
    return got.size() == 1 && got[0].size() >= 32 ? got[0][16] : 0xFF;
  };
  auto counting = [](uint8_t from, uint8_t n) {
    std::vector<uint8_t> out;
    for (uint8_t k = 0; k < n; k++) out.push_back(uint8_t(from + k));
    return out;
  };
  EXPECT_EQ(answer(90064, Data().u32(kArray).u32(0x88B8)), counting(1, 64));
  EXPECT_EQ(answer(90061, Data().u32(kArray).u32(0x88BD)), counting(1, 64));
  EXPECT_EQ(unmap(), 1);
  EXPECT_EQ(answer(90078, Data().u32(kArray).i32(16).i32(8).u32(1)), counting(17, 8));
  EXPECT_EQ(answer(90061, Data().u32(kArray).u32(0x88BD)), counting(17, 8));
  EXPECT_EQ(unmap(), 1);
  EXPECT_TRUE(answer(90061, Data().u32(kArray).u32(0x88BD)).empty());

  auto pointer = [&]() {
    run(90041, Data().u32(3).u32(kPointer).bytes);
    std::vector<FakeBytes> got = messages();
    return got.size() == 1 && got[0].size() >= 20 ? client->u32(got[0], 16) : 0xDEADu;
  };
  const int32_t offset = 0x40, address = 0x7F001230, buffer = 5;
  fakeglSetKeyedValues(3, kPointer, &address, 1);
  EXPECT_EQ(pointer(), 0u);
  fakeglSetKeyedValues(3, kPointer, &offset, 1);
  fakeglSetKeyedValues(3, kBinding, &buffer, 1);
  EXPECT_EQ(pointer(), 0x40u);
}

// A library that refused a glBegin takes vendor commands: those that change what the arrays read
// end the ArrayElements counted at the glBegin.
TEST_F(GlxDirectVendor, ArrayAndBufferChangesEndTheArrayElementsOfTheBegin) {
  int32_t on = 1, buffer = 3;
  fakeglSetIntegers(0x8074, &on, 1);
  fakeglSetIntegers(0x8896, &buffer, 1);
  fakeglSetBufferMapping(0x8892, 64);
  auto render = [&](uint32_t opcode, int32_t word) {
    fakeglClearLog();
    glxdirectExecuteRender(instance, opcode, reinterpret_cast<const uint8_t *>(&word),
                           reinterpret_cast<const uint8_t *>(&word) + 4);
    return std::string(fakeglLog());
  };
  for (auto [code, data] : {std::pair{90058u, Data().u32(1).u32(3)}, {90055u, Data().u32(0x8892).u32(0)},
                            {90056u, Data().u32(0x8892).i32(4).u32(0x88E4).u32(0)}, {90033u, Data().u32(1)}}) {
    SCOPED_TRACE(code);
    render(4, 0);
    EXPECT_NE(render(294, 1).find("glArrayElement(1)"), std::string::npos);
    run(code, data.bytes);
    EXPECT_EQ(render(294, 0).find("glArrayElement"), std::string::npos);
    render(23, 0);
  }
}

TEST_F(GlxDirectVendor, ClientObjectIdsAreTheLibrarysThroughTheSlotsTag) {
  uint32_t tag = 0;
  ASSERT_NO_FATAL_FAILURE(fakeglObjectTag(client, instance, &tag));
  EXPECT_NE(run(90043, Data().u32(6).bytes).find("glIsShader(106)"), std::string::npos);
  EXPECT_NE(run(90042, Data().u32(5).bytes).find("glIsProgram(105)"), std::string::npos);
  EXPECT_NE(run(90001, Data().u32(6).u32(1).u32(2).text("ab").bytes).find("glShaderSource(106, 1, 0x"),
            std::string::npos);
  EXPECT_NE(run(90009, Data().u32(5).u32(6).bytes).find("glAttachShader(105, 106)"), std::string::npos);
  {
    FakeCore::Current current(*client);
    GlxProgramEntry *program = glxFindProgramEntry(tag, 105);
    ASSERT_NE(program, nullptr);
    EXPECT_NE(program->attachments, nullptr);
  }
  EXPECT_NE(run(90031, Data().u32(5).u32(6).bytes).find("glDetachShader(105, 106)"), std::string::npos);
  EXPECT_NE(run(90029, Data().u32(5).bytes).find("glDeleteProgram(105)"), std::string::npos);
  {
    FakeCore::Current current(*client);
    EXPECT_EQ(glxFindProgramEntry(tag, 105), nullptr);
  }
  // A program made through the executor is recorded under the library's id (the fake's 0).
  EXPECT_NE(run(90006, Data().u32(7).bytes).find("glCreateProgram()"), std::string::npos);
  {
    FakeCore::Current current(*client);
    EXPECT_EQ(glxLookupProgramId(tag, 7), 0u);
  }
  messages();
  fakeglDropObjectTag(instance);
}

// Through the GLX front: every head whose GL runs inside the proxy executes the command, the
// reply head alone answers, and a code nothing serves is GLXUnsupportedPrivateRequest.
TEST_F(GlxDirectVendor, TheFrontAnswersOncePerScreen) {
  auto *context = static_cast<GlxContextRecord *>(calloc(1, sizeof(GlxContextRecord)));
  ASSERT_EQ(glxInitContextObjects(context, nullptr), 1);
  GlxTagEntry *entry = glxAllocTag(client->client);
  ASSERT_NE(entry, nullptr);
  entry->context = context;
  entry->screen = screen;
  uint32_t tag = glxTagOf(entry);
  for (Head *head : heads) {
    head->glLibrary = instance;
    setGLXTagForServer(tag, head, 1);
  }
  const ExtRequestRow *row = glxVendorRow(17);
  ASSERT_NE(row, nullptr);
  auto send = [&](uint32_t code, const Data &d) {
    FakeMessage request(false);
    request.b(kGlxMajor).b(17).s(0).i(code).i(tag);
    for (uint8_t b : d.bytes) request.b(b);
    FakeBytes bytes = request.done();
    fakeglClearLog();
    FakeCore::Current current(*client);
    row->handler(bytes.data(), uint32_t(bytes.size()), nullptr);
    return std::string(fakeglLog());
  };
  std::string calls = send(90059, Data().u32(2));
  EXPECT_EQ(std::regex_search(calls, std::regex("glGenBuffers.*\\n.*glGenBuffers")), true) << calls;
  std::vector<FakeBytes> got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 1);
  EXPECT_EQ(client->u32(got[0], 12), 2u);
  EXPECT_EQ(send(90067, Data().u32(1)), "");
  got = messages();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0][0], 0);
  EXPECT_EQ(got[0][1], kGlxFirstError + 8);
  for (Head *head : heads) head->glLibrary = nullptr;
  glxFreeTagTable();
  xproxyGlxClientGone = nullptr;
}

}  // namespace
