// Stand-ins for the pointer state of the head geometry and for keeping requested windows
// visible, until their own code lands: the event handlers call these.
#pragma once

#include <cstdint>

struct ClientConnection;
struct Head;
struct MetaScreen;
struct ServerDisplay;

// The head of the real display and root whose logical rectangle (widened by its border) is
// nearest to the point; the point in meta coordinates, clamped into the head's visible area
// (*clamped set). 0 when no head fits.
int mainQueryPointer(ServerDisplay *display, uint32_t root, int32_t x, int32_t y, Head **head, int32_t *metaX,
                     int32_t *metaY, int *clamped);
// Makes the meta position the pointer position.
void mainPointerTrack(int device, ClientConnection *client, MetaScreen *screen, int32_t x, int32_t y, int force);
// A ConfigureRequest event whose value mask has x or y: its position kept visible.
void windowKeepRequestVisible(uint8_t *event);
