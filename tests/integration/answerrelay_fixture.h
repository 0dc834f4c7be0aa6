// The relay of scripts/answer_relay.py in front of an upstream display: it passes every byte
// and misbehaves on the answers its markers ask for (see the script). Ended with the record.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "xrelay_fixture.h"
#include "xvfb_fixture.h"

struct AnswerRelay {
  pid_t pid = -1;
  int number = -1;
  AnswerRelay() = default;
  AnswerRelay(const AnswerRelay &) = delete;
  AnswerRelay &operator=(const AnswerRelay &) = delete;
  ~AnswerRelay() { xrelayEnd(pid); }
  std::string start(const std::string &upstream) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "pipe";
    pid = xrelaySpawn({"/usr/bin/python3", TARVO_SOURCE_DIR "/tests/integration/scripts/answer_relay.py", upstream,
                       std::to_string(fds[1])},
                      fds[1]);
    close(fds[1]);
    std::string text;
    long long deadline = xvfbNowMs() + 10000;
    while (text.find('\n') == std::string::npos && xvfbNowMs() < deadline) {
      pollfd entry{fds[0], POLLIN, 0};
      if (poll(&entry, 1, 200) <= 0) continue;
      char buffer[32];
      ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, size_t(n));
    }
    close(fds[0]);
    if (text.find('\n') == std::string::npos) return "the relay did not start";
    number = std::stoi(text);
    return "";
  }
  std::string displayName() const { return ":" + std::to_string(number); }
};
