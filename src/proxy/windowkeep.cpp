// Keeping windows on the parts of a meta screen that its heads show.
#include "proxy/window.h"

void windowKeepVisible(MetaScreen *) {}
int windowKeepRectVisible(Rect *, MetaScreen *) { return 0; }
void windowKeepOnScreen(WindowRecord *, ClientConnection *) {}
void windowKeepVisibleWalk(WindowRecord *) {}
void windowKeepHintsVisible(WindowRecord *, uint32_t *) {}
void windowKeepRequestVisible(uint8_t *) {}
int windowKeepVisibleExempt(const WindowRecord *) { return 0; }
