// Real applications beside the tarvo executable.
#include "apps_fixture.h"

#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarvo_fixture.h"
#include "xvfb_fixture.h"

std::vector<Shot> screenshot(Display *d) {
  std::vector<Shot> out;
  for (int s = 0; s < ScreenCount(d); s++) {
    Shot shot;
    shot.width = DisplayWidth(d, s);
    shot.height = DisplayHeight(d, s);
    XImage *image =
        XGetImage(d, RootWindow(d, s), 0, 0, unsigned(shot.width), unsigned(shot.height), AllPlanes, ZPixmap);
    if (!image) return {};
    shot.pixels.reserve(size_t(shot.width) * size_t(shot.height));
    for (int y = 0; y < shot.height; y++)
      for (int x = 0; x < shot.width; x++) shot.pixels.push_back(uint32_t(XGetPixel(image, x, y)));
    XDestroyImage(image);
    out.push_back(std::move(shot));
  }
  return out;
}

Shot shotSideBySide(const std::vector<Shot> &shots) {
  Shot out;
  if (shots.empty()) return out;
  out.height = shots[0].height;
  for (const Shot &s : shots) {
    if (s.height != out.height) return Shot{};
    out.width += s.width;
  }
  out.pixels.reserve(size_t(out.width) * size_t(out.height));
  for (int y = 0; y < out.height; y++)
    for (const Shot &s : shots) {
      auto row = s.pixels.begin() + ptrdiff_t(size_t(y) * size_t(s.width));
      out.pixels.insert(out.pixels.end(), row, row + s.width);
    }
  return out;
}

std::string shotWritePpm(const Shot &shot, const std::string &path) {
  FILE *file = fopen(path.c_str(), "wbx");
  if (!file) return "cannot create " + path;
  fprintf(file, "P6\n%d %d\n255\n", shot.width, shot.height);
  std::vector<unsigned char> row;
  for (int y = 0; y < shot.height; y++) {
    row.clear();
    for (int x = 0; x < shot.width; x++) {
      uint32_t p = shot.at(x, y);
      row.insert(row.end(), {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                             static_cast<unsigned char>(p)});
    }
    fwrite(row.data(), 1, row.size(), file);
  }
  return fclose(file) == 0 ? "" : "cannot write " + path;
}

std::string Program::start(const std::vector<std::string> &words, const std::string &output,
                           const std::vector<std::string> &environment) {
  outputPath = output;
  std::vector<char *> argv;
  for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(nullptr);
  // The environment is built before the fork: the child only execs.
  std::vector<std::string> entries;
  for (char **e = environ; *e; e++) {
    std::string entry = *e;
    bool replaced = false;
    for (const std::string &mine : environment)
      if (mine.compare(0, mine.find('=') + 1, entry, 0, mine.find('=') + 1) == 0) replaced = true;
    if (!replaced) entries.push_back(entry);
  }
  entries.insert(entries.end(), environment.begin(), environment.end());
  std::vector<char *> envp;
  for (std::string &e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create " + output;
  pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // the test process blocks SIGCHLD and SIGUSR1
    dup2(fd, 1);
    dup2(fd, 2);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(fd);
  return pid > 0 ? "" : "fork failed";
}

bool Program::running() {
  if (pid <= 0) return false;
  int raw = 0;
  if (waitpid(pid, &raw, WNOHANG) != pid) return true;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid = -1;
  return false;
}

std::string Program::output() const { return tarvoReadFile(outputPath); }

Program::~Program() {
  if (!running()) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 200 && running(); i++) usleep(10000);
  if (running()) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool waitUntil(const std::function<bool()> &check, int timeoutMs) {
  long long deadline = xvfbNowMs() + timeoutMs;
  for (;;) {
    if (check()) return true;
    if (xvfbNowMs() >= deadline) return false;
    usleep(50000);
  }
}

int xwininfoField(const std::string &text, const std::string &label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  return atoi(text.c_str() + at + label.size());
}
