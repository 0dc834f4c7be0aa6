// A call made while a test's server is stopped by SIGSTOP, with a guard that lets the server go
// on even when the call has no bound of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <sys/types.h>

#include "xvfb_fixture.h"

// Runs `call` while the server (its pid) is stopped and gives the call's time in ms; the server
// goes on after the call, or after guardMs at the latest (so that a call without a bound ends).
// The call starts once the server has stopped (waited for up to 10 s).
template <typename Call>
long long xvfbWhileStopped(pid_t server, long long guardMs, Call call) {
  xvfbStopProcess(server);
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread guard([&] {
    std::unique_lock<std::mutex> lock(mutex);
    ended.wait_for(lock, std::chrono::milliseconds(guardMs), [&] { return done; });
    kill(server, SIGCONT);
  });
  long long started = xvfbNowMs();
  call();
  long long spent = xvfbNowMs() - started;
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  ended.notify_all();
  guard.join();
  return spent;
}
