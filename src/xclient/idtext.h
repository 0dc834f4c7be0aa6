// The text of an X resource id, shared by the error trap and the display helpers.
#pragma once

// Decimal below 1000, else "0x" and hexadecimal. A temporary string (this thread's ring).
const char *xmiscIdText(unsigned id);
