// Client of the "XTestExtension1" input-injection extension.
#include "xclient/xtestext1.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <poll.h>
#include <time.h>

#include <X11/Xlibint.h>

#include "support/logging.h"
#include "support/strings.h"
#include "xclient/xutil.h"

namespace {

constexpr const char *kExtensionName = "XTestExtension1";

// Minor request codes.
constexpr int kFakeInput = 1;
constexpr int kGetInput = 2;
constexpr int kStopInput = 3;
constexpr int kReset = 4;
constexpr int kQueryInputSize = 5;
constexpr size_t kFakeInputBytes = 8 + kXtestExt1ActionListSize;

// Action headers: the device id in the high nibble, the kind in the low bits.
constexpr unsigned char kKeyAction = 1;
constexpr unsigned char kMotionAction = 2;
constexpr unsigned char kJumpAction = 3;
constexpr unsigned char kKeyUp = 4;
constexpr unsigned char kXNegative = 4;
constexpr unsigned char kYNegative = 8;
constexpr unsigned char kDelayHeader = 0xF0;
constexpr int kMotionLimit = 15;
constexpr unsigned long kShortDelayLimit = 0xFFFF;
constexpr unsigned long kStrokeDelay = 10;

// The list of records and the record last looked up. The mutex guards both; no Xlib call is
// made while it is held, since Xlib calls back into this file (event conversion, close).
std::mutex listMutex;
XTestExt1Display *firstRecord = nullptr;
XTestExt1Display *currentRecord = nullptr;

XTestExt1Display *findRecord(Display *display) {
  std::lock_guard<std::mutex> guard(listMutex);
  if (currentRecord && currentRecord->display == display) return currentRecord;
  for (XTestExt1Display *record = firstRecord; record; record = record->next) {
    if (record->display == display) {
      currentRecord = record;
      return record;
    }
  }
  return nullptr;
}

// Free procedure of the extension-data entry, run when Xlib closes the display.
int freeRecord(XExtData *data) {
  auto *record = reinterpret_cast<XTestExt1Display *>(data->private_data);
  if (!record) return 0;
  {
    std::lock_guard<std::mutex> guard(listMutex);
    if (record->previous) record->previous->next = record->next;
    if (firstRecord == record) firstRecord = record->next;
    if (record->next) record->next->previous = record->previous;
    // Later lookups must not hand out the freed record.
    if (currentRecord == record) currentRecord = nullptr;
  }
  free(record);
  data->private_data = nullptr;
  return 0;
}

void put16(unsigned char *at, unsigned long value) {
  uint16_t v = static_cast<uint16_t>(value);
  memcpy(at, &v, 2);
}

void put32(unsigned char *at, unsigned long value) {
  uint32_t v = static_cast<uint32_t>(value);
  memcpy(at, &v, 4);
}

void syncHandle(Display *display) {
  if (display->synchandler) (*display->synchandler)(display);
}

// Queues a request without a reply and with no data beyond its first word or two.
int simpleRequest(Display *display, int minor, size_t bytes, unsigned long value) {
  XTestExt1Display *record = xtestExt1InitDisplay(display);
  if (!record) return -1;
  LockDisplay(display);
  unsigned char *request = xutilBeginRequest(display, record->majorOpcode, minor, bytes);
  if (bytes >= 8) put32(request + 4, value);
  UnlockDisplay(display);
  syncHandle(display);
  return 0;
}

// Queues request 1 with the given actions, zero-filled to 64 bytes.
void queueFakeInput(XTestExt1Display *record, const unsigned char *actions, int byteCount,
                    bool ack) {
  Display *display = record->display;
  LockDisplay(display);
  unsigned char *request =
      xutilBeginRequest(display, record->majorOpcode, kFakeInput, kFakeInputBytes);
  put32(request + 4, ack ? 1 : 0);
  if (byteCount > 0) memcpy(request + 8, actions, static_cast<size_t>(byteCount));
  UnlockDisplay(display);
  syncHandle(display);
}

long long monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Bool isAcknowledgement(Display *, XEvent *event, XPointer argument) {
  return event->type == static_cast<int>(reinterpret_cast<intptr_t>(argument));
}

// Waits for the acknowledgement event, reading the connection as data arrives; -1 (and a log
// line) when none comes within the bound or the connection broke, so that a server that never
// acknowledges cannot stall the caller.
int awaitAcknowledgement(XTestExt1Display *record) {
  Display *display = record->display;
  XPointer type = reinterpret_cast<XPointer>(static_cast<intptr_t>(record->fakeAckType));
  long long deadline = monotonicMs() + kXtestExt1AckTimeoutMs;
  XEvent event;
  for (;;) {
    if (XCheckIfEvent(display, &event, isAcknowledgement, type)) return 0;
    if (display->flags & XlibDisplayIOError) break;
    long long left = deadline - monotonicMs();
    if (left <= 0) break;
    pollfd entry{ConnectionNumber(display), POLLIN, 0};
    poll(&entry, 1, static_cast<int>((std::min)(left, 100LL)));
  }
  LOG(logChannelWarning, "%s: no acknowledgement from display %s within %d ms", kExtensionName,
      DisplayString(display), kXtestExt1AckTimeoutMs);
  return -1;
}

// Writes the batch (request 1), flushes and empties it; with ack, waits for the
// acknowledgement and starts a new count of unacknowledged actions.
int writeBatch(XTestExt1Display *record, bool ack) {
  queueFakeInput(record, record->actions, record->actionIndex, ack);
  XFlush(record->display);
  record->actionIndex = 0;
  memset(record->actions, 0, sizeof record->actions);
  if (!ack) return 0;
  // The count restarts also after a missed acknowledgement: the batch is gone either way, and
  // every later write would otherwise wait again.
  record->actionCount = 0;
  return awaitAcknowledgement(record);
}

int querySize(XTestExt1Display *record, unsigned long *size) {
  Display *display = record->display;
  LockDisplay(display);
  xutilBeginRequest(display, record->majorOpcode, kQueryInputSize, 4);
  xReply reply;
  int ok = _XReply(display, &reply, 0, xTrue);
  UnlockDisplay(display);
  syncHandle(display);
  if (!ok) return -1;
  uint32_t value;
  memcpy(&value, reinterpret_cast<unsigned char *>(&reply) + 8, 4);
  *size = value;
  return 0;
}

// Appends one action to the batch, writing the batch first when the action does not fit or
// the server's input-action array is full.
int packAction(XTestExt1Display *record, const unsigned char *action, int size) {
  if (!record->actionArraySize) {
    unsigned long arraySize;
    if (querySize(record, &arraySize) != 0) return -1;
    // A server claiming no room gets one action per acknowledged batch.
    record->actionArraySize = (std::max)(arraySize, 1UL);
  }
  int result = 0;
  if (record->actionIndex + size > kXtestExt1ActionListSize ||
      record->actionCount >= record->actionArraySize) {
    result = writeBatch(record, record->actionCount >= record->actionArraySize);
  }
  memcpy(record->actions + record->actionIndex, action, static_cast<size_t>(size));
  record->actionIndex += size;
  record->actionCount++;
  return result;
}

// Packs an action whose 16-bit delay sits at delayOffset. A delay beyond 16 bits goes first
// as a delay action of its own (at most 32 bits of milliseconds), and the action carries 0.
int packWithDelay(XTestExt1Display *record, unsigned char *action, int size, int delayOffset,
                  unsigned long delay) {
  int result = 0;
  if (delay > kShortDelayLimit) {
    unsigned char delayAction[8] = {kDelayHeader};
    put32(delayAction + 4, (std::min)(delay, 0xFFFFFFFFUL));
    result = packAction(record, delayAction, 8);
    delay = 0;
  }
  put16(action + delayOffset, delay);
  int second = packAction(record, action, size);
  return result != 0 ? result : second;
}

// Device ids 0-14: 15 marks a delay action and cannot carry input.
bool validDevice(int deviceId) { return deviceId >= 0 && deviceId < kXtestExt1MaxDevice; }

int pressAction(Display *display, int deviceId, unsigned long delay, unsigned int code,
                unsigned int action) {
  if (action != kXtestExt1Press && action != kXtestExt1Release && action != kXtestExt1Stroke) {
    return -1;
  }
  XTestExt1Display *record = xtestExt1InitDisplay(display);
  if (!record) return -1;
  unsigned char header = static_cast<unsigned char>((deviceId << 4) | kKeyAction);
  unsigned char bytes[4] = {header, static_cast<unsigned char>(code)};
  if (action == kXtestExt1Release) bytes[0] |= kKeyUp;
  int result = packWithDelay(record, bytes, 4, 2, delay);
  if (action == kXtestExt1Stroke) {
    unsigned char release[4] = {static_cast<unsigned char>(header | kKeyUp),
                                static_cast<unsigned char>(code)};
    int second = packWithDelay(record, release, 4, 2, kStrokeDelay);
    if (result == 0) result = second;
  }
  return result;
}

int clamp16(int value) { return std::clamp(value, -32768, 32767); }

}  // namespace

XTestExt1Display *xtestExt1InitDisplay(Display *display) {
  if (!display) return nullptr;
  if (XTestExt1Display *record = findRecord(display)) return record;
  XExtCodes *codes = xutilHasExtension(display, kExtensionName);
  if (!codes) return nullptr;
  auto *record = static_cast<XTestExt1Display *>(calloc(1, sizeof(XTestExt1Display)));
  auto *data = static_cast<XExtData *>(calloc(1, sizeof(XExtData)));
  if (!record || !data) {
    free(record);
    free(data);
    LOG_OUT_OF_MEMORY();
    return nullptr;
  }
  record->display = display;
  record->majorOpcode = codes->major_opcode;
  record->inputActionType = codes->first_event;
  record->fakeAckType = codes->first_event + 1;
  data->number = codes->extension;
  data->private_data = reinterpret_cast<XPointer>(record);
  data->free_private = freeRecord;
  XEDataObject object;
  object.display = display;
  LockDisplay(display);
  XAddToExtensionList(XEHeadOfExtensionList(object), data);
  UnlockDisplay(display);
  XESetWireToEvent(display, record->inputActionType, xtest1XTestWireToEvent);
  XESetWireToEvent(display, record->fakeAckType, xtest1XTestWireToEvent);
  std::lock_guard<std::mutex> guard(listMutex);
  record->next = firstRecord;
  if (firstRecord) firstRecord->previous = record;
  firstRecord = record;
  currentRecord = record;
  return record;
}

int xtest1XTestFakeInput(Display *display, const unsigned char *actions, int byteCount,
                         int ackFlag) {
  if (byteCount < 0 || byteCount > kXtestExt1ActionListSize || (byteCount > 0 && !actions)) {
    return -1;
  }
  XTestExt1Display *record = xtestExt1InitDisplay(display);
  if (!record) return -1;
  queueFakeInput(record, actions, byteCount, ackFlag != 0);
  return 0;
}

int xtest1XTestGetInput(Display *display, int mode) {
  return simpleRequest(display, kGetInput, 8, static_cast<unsigned long>(mode));
}

int xtest1XTestStopInput(Display *display) { return simpleRequest(display, kStopInput, 4, 0); }

int xtest1XTestReset(Display *display) { return simpleRequest(display, kReset, 4, 0); }

int xtest1XTestQueryInputSize(Display *display, unsigned long *size) {
  if (!size) return -1;
  XTestExt1Display *record = xtestExt1InitDisplay(display);
  if (!record) return -1;
  return querySize(record, size);
}

int xtest1XTestMovePointer(Display *display, int deviceId, const unsigned long delays[],
                           const int x[], const int y[], unsigned int count) {
  if (!validDevice(deviceId)) return -1;
  if (count == 0) return 0;
  if (!delays || !x || !y) return -1;
  XTestExt1Display *record = xtestExt1InitDisplay(display);
  if (!record) return -1;
  int result = 0;
  for (unsigned int i = 0; i < count; i++) {
    int px = clamp16(x[i]), py = clamp16(y[i]);
    int dx = px - record->currentX, dy = py - record->currentY;
    unsigned char action[8] = {};
    int size, delayOffset;
    // Until a move went out, the record's position is a guess: the pointer is jumped there.
    if (record->moveSent && std::abs(dx) <= kMotionLimit && std::abs(dy) <= kMotionLimit) {
      action[0] = static_cast<unsigned char>((deviceId << 4) | kMotionAction |
                                             (dx < 0 ? kXNegative : 0) |
                                             (dy < 0 ? kYNegative : 0));
      action[1] = static_cast<unsigned char>(std::abs(dx) | (std::abs(dy) << 4));
      size = 4;
      delayOffset = 2;
    } else {
      action[0] = static_cast<unsigned char>((deviceId << 4) | kJumpAction);
      put16(action + 2, static_cast<unsigned long>(px));
      put16(action + 4, static_cast<unsigned long>(py));
      size = 8;
      delayOffset = 6;
    }
    record->currentX = px;
    record->currentY = py;
    record->moveSent = true;
    int one = packWithDelay(record, action, size, delayOffset, delays[i]);
    if (result == 0) result = one;
  }
  return result;
}

int xtest1XTestPressButton(Display *display, int deviceId, unsigned long delay,
                           unsigned int button, unsigned int action) {
  if (!validDevice(deviceId) || button > 7) return -1;
  return pressAction(display, deviceId, delay, button, action);
}

int xtest1XTestPressKey(Display *display, int deviceId, unsigned long delay,
                        unsigned int keycode, unsigned int action) {
  if (!validDevice(deviceId) || keycode < 8 || keycode > 255) return -1;
  return pressAction(display, deviceId, delay, keycode, action);
}

int xtest1XTestFlush(Display *display) {
  XTestExt1Display *record = xtestExt1InitDisplay(display);
  if (!record) return -1;
  return writeBatch(record, true);
}

Bool xtest1XTestWireToEvent(Display *display, XEvent *event, xEvent *wire) {
  int type = wire->u.u.type & 0x7F;
  XTestExt1Display *record = findRecord(display);
  auto *out = reinterpret_cast<XTestExt1InputActionEvent *>(event);
  out->type = type;
  out->serial = _XSetLastRequestRead(display, reinterpret_cast<xGenericReply *>(wire));
  out->send_event = (wire->u.u.type & 0x80) != 0;
  out->display = display;
  out->window = None;
  if (record && type == record->inputActionType) {
    memcpy(out->actions, reinterpret_cast<unsigned char *>(wire) + 4, kXtestExt1ActionsSize);
  } else if (!record || type != record->fakeAckType) {
    LOG(logChannelError, "XTestWireToEvent(): unknown wire event %d", type);
  }
  return True;
}
