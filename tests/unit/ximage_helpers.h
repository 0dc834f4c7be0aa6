// Owning XImage pointers and pixel lists, shared by the image tests in memory and against Xvfb.
#pragma once

#include <memory>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

struct ImageDeleter {
  void operator()(XImage *image) const {
    if (image) XDestroyImage(image);
  }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

// Every pixel through the image's own get-pixel function, row by row.
inline std::vector<unsigned long> pixelsOf(XImage *image) {
  std::vector<unsigned long> pixels;
  for (int y = 0; y < image->height; y++)
    for (int x = 0; x < image->width; x++) pixels.push_back(XGetPixel(image, x, y));
  return pixels;
}
