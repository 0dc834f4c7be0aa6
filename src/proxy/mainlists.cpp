// The real-display list and the head refresh after a sync.
#include "proxy/main.h"

ServerDisplay *mainServerDisplays = nullptr;
uint32_t mainServerDisplayCount = 0;

// The heads do not exist yet: nothing to refresh.
void mainRefreshHeads() {}
