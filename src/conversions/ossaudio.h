// The OSS audio seam: the opens and ioctls of audio devices go through one replaceable table, so
// that tests (and machines without a sound card) can stand in for the device.
#pragma once

#include <cstdint>

struct OssAudioSeam {
  int (*open)(const char *path, int flags);  // a descriptor or -1 with errno
  // One OSS ioctl with an int argument that the device may answer in place; -1 with errno.
  int (*ioctl)(int fd, unsigned long request, int *argument);
};

// The table in use; it holds the system's open and ioctl unless a test replaces it.
extern OssAudioSeam ossaudioSeam;
extern const OssAudioSeam ossaudioSystemSeam;

// The record-source mask of the words found anywhere in a text: "mic", "line-in", "AUX1",
// "AUX2", "spdif", "cd", "mixer".
int ossaudioSourceMask(const char *sources);
// The AFMT value of a content type compared whole ("audio/pcm16le" ...), -1 for any other.
int ossaudioFormat(const char *contentType);
// The mixer value of a level in percent: both channels, left in the low byte; at most 100.
int ossaudioLevel(unsigned percent);
