#include "twohead.h"

#include "fakecore.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "proxy/clientconnection.h"
#include "proxy/connections.h"
#include "proxy/core11g.h"
#include "proxy/head.h"
#include "proxy/main.h"
#include "proxy/resource.h"
#include "proxy/xcore.h"
#include "proxy/xproxy.h"
#include "proxy/xscreen.h"
#include "support/orders.h"

std::string TwoHeadProxy::start(const std::string &screenSize, void (*rows)()) {
  XvfbOptions options;
  options.screens = {screenSize, screenSize};
  options.extraArguments = {"-nolisten", "tcp"};
  options.displayNumber = xvfbUnusedDisplayNumber();
  if (std::string failure = xvfb.start(options); !failure.empty()) return failure;
  started_ = true;
  ordersInit();
  xcoreInitDispatchTables();
  if (rows) rows();
  mainSetStartLimits();
  screen = xscreenNew();
  for (int s = 0; s < 2; s++) {
    int status = 0;
    const char *error = nullptr;
    std::string name = xvfb.displayName() + "." + std::to_string(s);
    Head *head = mainOpenHead(name.c_str(), screen, 10000, 0, 0, &status, &error);
    if (!head) return std::string("head: ") + (error ? error : "?");
    heads.push_back(head);
  }
  if (const char *failure = mainAdjustVisuals(1)) return failure;
  if (const char *failure = mainCreateRootWindows(0)) return failure;
  for (Head *h : heads) XSync(h->display, False);
  judge = XOpenDisplay(xvfb.displayName().c_str());
  return judge ? "" : "no judge display";
}

std::string TwoHeadProxy::openClient(bool bigEndian) {
  big = bigEndian;
  client = fakeClientRecord(big, &peer);
  if (!client) return "no client record";
  if (resourceTableOf(client->index) == nullptr) return "no resource slot";
  client->busy = 1;
  connection = xproxyOpenDisplayConnection(client, mainServerDisplays);
  if (!connection) return "no display connection";
  if (core11GSendConnectionSetup(connection, nullptr, 0, nullptr, 0) != 1) return "setup not sent";
  client->setupsPending = 1;
  long long deadline = xvfbNowMs() + 10000;
  while (!connection->setupDone && xvfbNowMs() < deadline) ordersStep(20);
  if (!connection->setupDone) return "no setup reply";
  sync();
  received();  // the setup reply
  return "";
}

void TwoHeadProxy::stop() {
  if (!started_) return;
  started_ = false;
  if (client) {
    if (connection) xproxyCloseDisplayConnection(connection);
    mainFreeDeferredOutputs(client);
    outbufferFree(&client->output);
    resourceFreeAllOfClient(client->index);
    free(client->displays);
    if (client->transport) _X11TransClose(client->transport);
    free(client->peerIdentity);
    close(client->fd);
    free(client);
    close(peer);
    client = nullptr;
    connection = nullptr;
  }
  xproxyCurrentClient = nullptr;
  xproxyCurrentDisplayConnection = nullptr;
  if (judge) XCloseDisplay(judge);
  judge = nullptr;
  resourceFreeIdBases();
  xscreenFreeAll();  // frees each meta screen with its visual table
  heads.clear();
  while (mainServerDisplays) mainFreeServerDisplay(mainServerDisplays);
  proxyState.idMask = kResourceDefaultIdMask;
  proxyState.idShift = kResourceDefaultIdShift;
  ordersFreeAll();
  xvfb.stop();
}

void TwoHeadProxy::sync() {
  xproxySyncDisplayConnection(connection);
  long long deadline = xvfbNowMs() + 5000;
  while ((connection->input.length > 0 || client->deferred) && xvfbNowMs() < deadline) ordersStep(10);
}

TwoHeadProxy::Bytes TwoHeadProxy::received() {
  outbufferFlush(&client->output);
  Bytes all;
  uint8_t buffer[65536];
  for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) > 0;) all.insert(all.end(), buffer, buffer + n);
  return all;
}

std::vector<TwoHeadProxy::Bytes> TwoHeadProxy::messages() {
  sync();
  Bytes all = received();
  std::vector<Bytes> out;
  size_t at = 0;
  while (at + 32 <= all.size()) {
    size_t length = 32;
    if (all[at] == 1 || (all[at] & 0x7f) == 35) length += 4 * size_t(u32(all, at + 4));
    out.emplace_back(all.begin() + long(at), all.begin() + long(std::min(all.size(), at + length)));
    at += length;
  }
  return out;
}

uint32_t TwoHeadProxy::u16(const Bytes &m, size_t at) const {
  return big ? uint32_t(m.at(at)) << 8 | m.at(at + 1) : uint32_t(m.at(at + 1)) << 8 | m.at(at);
}
uint32_t TwoHeadProxy::u32(const Bytes &m, size_t at) const {
  return big ? u16(m, at) << 16 | u16(m, at + 2) : u16(m, at + 2) << 16 | u16(m, at);
}
uint32_t TwoHeadProxy::clientId(uint32_t n) const { return (client->index << resourceIdShift()) | n; }
