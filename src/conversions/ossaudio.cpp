// The OSS audio seam and the OSS values of the stream settings.
#include "conversions/ossaudio.h"

#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>

#include <cstring>

namespace {

int systemOpen(const char *path, int flags) { return open(path, flags); }
int systemIoctl(int fd, unsigned long request, int *argument) { return ioctl(fd, request, argument); }

}  // namespace

const OssAudioSeam ossaudioSystemSeam = {systemOpen, systemIoctl};
OssAudioSeam ossaudioSeam = ossaudioSystemSeam;

int ossaudioSourceMask(const char *sources) {
  static constexpr struct {
    const char *word;
    int mask;
  } kSources[] = {{"mic", SOUND_MASK_MIC},     {"line-in", 0x10000},       {"AUX1", SOUND_MASK_LINE1},
                  {"AUX2", SOUND_MASK_LINE2}, {"spdif", SOUND_MASK_DIGITAL1}, {"cd", SOUND_MASK_CD},
                  {"mixer", SOUND_MASK_IMIX}};
  int mask = 0;
  if (!sources) return 0;
  for (const auto &row : kSources)
    if (strstr(sources, row.word)) mask |= row.mask;
  return mask;
}

int ossaudioFormat(const char *contentType) {
  static constexpr struct {
    const char *type;
    int format;
  } kFormats[] = {{"audio/u-law8", AFMT_MU_LAW},   {"audio/a-law8", AFMT_A_LAW},   {"audio/pcm8", 64},
                  {"audio/pcm16le", AFMT_S16_LE}, {"audio/pcm16be", AFMT_S16_BE}, {"audio/x-mpeg", AFMT_MPEG},
                  {"audio/ac3", AFMT_AC3}};
  for (const auto &row : kFormats)
    if (contentType && strcmp(row.type, contentType) == 0) return row.format;
  return -1;
}

int ossaudioLevel(unsigned percent) {
  // The mixer takes percent (0-100) per channel, not a byte scale.
  int level = static_cast<int>(percent > 100 ? 100 : percent);
  return level | level << 8;
}
