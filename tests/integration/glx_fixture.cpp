#include "glx_fixture.h"

#include <sstream>

#include "xrelay_fixture.h"

namespace {

RawBytes fromHex(const std::string &hex) {
  RawBytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

}  // namespace

std::vector<GlxCaptured> glxCaptured(const std::string &capturePath, uint8_t major, int minor) {
  std::string command = "/usr/bin/python3 " TARVO_SOURCE_DIR "/tests/relay/capture.py " + capturePath + " -major " +
                        std::to_string(major);
  if (minor >= 0) command += " -minor " + std::to_string(minor);
  std::string out = xrelayRun(command);
  std::vector<GlxCaptured> all;
  std::istringstream lines(out);
  std::string conn, seq, request, answer;
  while (lines >> conn >> seq >> request >> answer)
    all.push_back({std::stoi(conn), fromHex(request), answer == "-" ? RawBytes{} : fromHex(answer)});
  return all;
}

std::string glxRawMakeCurrent(RawClient &raw, uint8_t major, uint32_t visual, uint32_t *tag) {
  bool big = raw.big();
  uint32_t context = raw.idBase() | 1;
  if (std::string e = raw.send(RawRequest(big).b(major).b(3).s(0).i(context).i(visual).i(0).i(0).b(0).pad(3).done());
      !e.empty())
    return "CreateContext: " + e;
  RawBytes answer;
  if (std::string e = raw.roundTrip(RawRequest(big).b(major).b(5).s(0).i(raw.rootWindow()).i(context).i(0).done(), answer);
      !e.empty())
    return "MakeCurrent: " + e;
  if (answer.size() < 12) return "MakeCurrent: short answer";
  if (answer[0] != 1) return "MakeCurrent: error " + std::to_string(answer[1]);
  *tag = rawGet32(answer, 8, big);
  return "";
}
