#include "xext/windowbuffers.h"

void doublebufFreeWindowBuffers(WindowRecord *) {}
void multibufFreeWindowBuffers(WindowRecord *) {}
