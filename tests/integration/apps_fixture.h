// Real applications beside the tarvo executable: programs started with an argument vector,
// screenshots of real screens, xwininfo's fields and polling with a bound.
#pragma once

// gtest before Xlib: Xlib defines None, a name gtest uses.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One screen's pixels as 32-bit values, row by row.
struct Shot {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  uint32_t at(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

// A shot of every screen of the display; empty when a screen cannot be read.
std::vector<Shot> screenshot(Display *d);
// Shots of screens of equal height put side by side, the first leftmost (heads joined from left
// to right); an empty shot when the heights differ.
Shot shotSideBySide(const std::vector<Shot> &shots);
// The shot as a binary PPM file (for a look at a failure); "" or what failed.
std::string shotWritePpm(const Shot &shot, const std::string &path);

// A rectangle of a screen.
struct Box {
  int x = 0, y = 0, width = 0, height = 0;
};

// A program run with an argument vector, stdout and stderr in a file; ended (SIGTERM, then
// SIGKILL) and reaped when the record goes.
struct Program {
  pid_t pid = -1;
  int status = -1;  // once it ended: its exit status, 128 + the signal that ended it
  std::string outputPath;

  // Starts it with the test process's environment plus the "NAME=value" entries (which replace
  // variables of the same name). "" or what failed.
  std::string start(const std::vector<std::string> &words, const std::string &output,
                    const std::vector<std::string> &environment = {});
  // Whether it still runs (reaping it when it ended).
  bool running();
  std::string output() const;
  ~Program();
};

// Polls every 50 ms until the check holds (true) or the time is up (false).
bool waitUntil(const std::function<bool()> &check, int timeoutMs);

// The number after the label in xwininfo's output; -1 when the label is missing.
int xwininfoField(const std::string &text, const std::string &label);
