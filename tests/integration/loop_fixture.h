// Pieces shared by the harnesses that run the proxy's event loop in the test's own thread:
// the proxy's log kept in memory, and a client program run while the loop keeps going.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Initialises the log once per process, enables every channel and keeps each line from now
// on (the earlier lines are dropped); loopReleaseLog gives the output back to the log.
void loopCaptureLog();
void loopReleaseLog();
std::vector<std::string> &loopLogLines();
// Whether a kept line contains `part`.
bool loopLogged(const std::string &part);

// Runs a program with DISPLAY=display, calling pump() meanwhile; its standard output goes to
// *output. The exit status, or -1 when it did not end within timeoutMs (it is killed then).
int loopRunProgram(const std::vector<std::string> &argv, const std::string &display, std::string *output,
                   int timeoutMs, const std::function<void()> &pump);
