// XDMCP from the configuration and the hooks through which the XDMCP client and the visual
// emulation reach the run control and the current client.
#include <string>
#include <vector>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/files.h"
#include "proxy/xdmcp.h"
#include "proxy/xemulation.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/strtemp.h"

namespace {

// The configuration's XDMCP modes.
constexpr uint32_t kModeBroadcast = 1;
constexpr uint32_t kModeIndirect = 2;
constexpr uint32_t kModeQuery = 3;

uint32_t currentClientIndex() { return xproxyCurrentClient ? xproxyCurrentClient->index : 0; }

}  // namespace

void xproxyInstallModuleHooks() {
  xdmcpExitHook = xproxyExit;
  xdmcpRequestExitHook = xproxyRequestExit;
  xdmcpRequestResetHook = xproxyRequestReset;
  xemulationSetClientIndexFunction(currentClientIndex);
}

void xproxyRestartXdmcp() { xdmcpRestart(); }

const char *xproxyXdmcpArguments(uint32_t mode, const char *host, uint32_t port, uint32_t once, const char *cookie,
                                 const char *displayClass, const char *displayID, std::vector<std::string> *out) {
  std::vector<std::string> &v = *out;
  v.clear();
  v.push_back("-class");
  v.push_back(strTempPrintf("%s-%s", kProductMakerName, logProgramName()));
  v.push_back("-displayID");
  v.push_back(strTempPrintf("%s-%s", kProductMakerName, "0"));
  bool hostGiven = host && host[0];
  if (mode == kModeIndirect || mode == kModeQuery) {
    if (!hostGiven)
      return mode == kModeIndirect ? "No XDMCP host specified (mode=indirect)" : "No XDMCP host specified (mode=query)";
    v.push_back(mode == kModeIndirect ? "-indirect" : "-query");
    v.push_back(host);
  } else if (mode == kModeBroadcast) {
    v.push_back("-broadcast");
  }
  if (once) v.push_back("-once");
  if (port) {
    v.push_back("-port");
    v.push_back(strTempPrintf("%d", int(port)));
  }
  if (cookie) {
    v.push_back("-cookie");
    v.push_back(cookie);
  }
  if (displayClass) {
    v.push_back("-class");
    v.push_back(displayClass);
  }
  if (displayID) {
    v.push_back("-displayID");
    v.push_back(displayID);
  }
  return nullptr;
}

const char *xproxyInitXdmcp(uint32_t mode, const char *host, uint32_t port, uint32_t once, const char *cookie,
                            const char *displayClass, const char *displayID) {
  LOG(logChannelStep, "Init XDMCP (mode=%d host=%s port=%d)...", int(mode), host ? host : "(NULL)", int(port));
  std::vector<std::string> words;
  if (const char *error = xproxyXdmcpArguments(mode, host, port, once, cookie, displayClass, displayID, &words))
    return error;
  std::vector<const char *> vector;
  for (const std::string &w : words) vector.push_back(w.c_str());
  int count = int(vector.size());
  for (int i = 0; i < count;) i = xdmcpOptions(count, vector.data(), i);
  xdmcpInit();
  return nullptr;
}
