// GL rendered inside the proxy for a head (a head with a GL library instance): what the window
// requests tell it.
#pragma once

#include <cstdint>

struct Head;

// A window of the head's server (its id there) is mapped or unmapped: rendering the proxy holds
// for it is flushed first. No head has a GL library instance yet: nothing to do.
void glxdirectFlushForDrawable(Head *head, uint32_t serverDrawable);
