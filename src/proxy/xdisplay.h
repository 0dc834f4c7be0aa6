// Display names of real displays.
#pragma once

// Parses a display name without connecting. The host is a heap copy (the local host name for
// no name, no host or "unix"); family 256 (local) for a "local"/"unix" protocol or the local
// host, else 0 (Internet). No name means display 0 of the local host. 1, or 0 when the name
// does not parse.
int xdisplayParseAddress(const char *name, char **host, int *displayNumber, int *screen, int *family);
