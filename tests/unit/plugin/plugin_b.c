/* The second plug-in library for the loader's tests. */
const char *tarvoPluginName(void) { return "b"; }
int tarvoPluginAnswer(void) { return 42; }
