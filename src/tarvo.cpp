// The proxy's executable: start-up, then runs and resets until an exit reason ends it.
#include "proxy/xproxy.h"

int main(int argc, char **argv) { xproxyMain(argc, argv); }
