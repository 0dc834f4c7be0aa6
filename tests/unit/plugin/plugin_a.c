/* A plug-in library for the loader's tests: its symbols tell which library answered. */
const char *tarvoPluginName(void) { return "a"; }
int tarvoPluginAnswer(void) { return 41; }
