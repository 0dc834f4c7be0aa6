// The pointer-poll interval stack: while anything needs the pointer's position followed (a
// pointer grab, say) it pushes an interval; the smallest pushed interval is in force.
#include <algorithm>
#include <vector>

#include "proxy/main.h"
#include "proxy/xproxy.h"
#include "support/logging.h"
#include "support/orders.h"

namespace {
// Each holder of a need (a grab, a following) pushes at most once: a handful suffice.
constexpr size_t kPollStackCapacity = 16;
std::vector<uint32_t> intervals;
uint32_t smallest;
Order *pollTimer;
}  // namespace

// Set by the poll's reply handling; cleared when polling starts.
int xproxyPointerPollReplyHandled;

void xproxyPushPointerPoll(int, uint32_t interval) {
  if (intervals.size() >= kPollStackCapacity) {
    LOG_UNE();
    return;
  }
  if (pollTimer) {
    ordersCancel(pollTimer);
    pollTimer = nullptr;
  } else if (intervals.empty()) {
    xproxyPointerPollReplyHandled = 0;
  }
  intervals.push_back(interval);
  smallest = *std::min_element(intervals.begin(), intervals.end());
  xproxyPollPointer();
}

void xproxyPopPointerPoll() {
  if (intervals.empty()) return;  // nothing pushed: nothing to drop
  intervals.pop_back();
  if (intervals.empty()) {
    ordersCancel(pollTimer);
    pollTimer = nullptr;
    smallest = 0;
    return;
  }
  smallest = *std::min_element(intervals.begin(), intervals.end());
}

uint32_t xproxyPointerPollInterval() { return intervals.empty() ? 0 : smallest; }
uint32_t xproxyPointerPollDepth() { return uint32_t(intervals.size()); }

void xproxyPollPointer(void *) {
  // Called by the timer (which has fired and is freed by the loop) or directly after a push.
  ordersCancel(pollTimer);
  pollTimer = nullptr;
  if (intervals.empty()) return;
  pollTimer = ordersAddTimer(smallest, [](void *) {
    pollTimer = nullptr;
    xproxyPollPointer();
  }, nullptr);
  mainPollPointerOnce();
}

void xproxyResetPointerPoll() {
  intervals.clear();
  smallest = 0;
  ordersCancel(pollTimer);
  pollTimer = nullptr;
}
