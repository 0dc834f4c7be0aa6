// Starting, waiting for and signalling child processes; process priority, user and limits;
// per-signal handler stacks; shell pipes; small process-wide texts.
#pragma once

#include <cstdio>
#include <sys/types.h>

using ProcessSignalHandler = void (*)(int);
// Runs in a child made by processPopen just before the shell starts (after the descriptors
// are in place). It runs between fork and exec, so it must keep to async-signal-safe calls.
using ProcessChildSetup = void (*)(void *argument);

constexpr int kProcessSignalStackDepth = 10;

// Starts argv[0] (looked up on PATH) with the argument vector; returns the child's id, or 0
// when fork fails. A child whose exec fails ends with status 127 and the parent logs why.
pid_t processSpawn(int argc, const char *const *argv);
// 1 when the child has ended (status = exit code, 128 + the signal number for a child killed by
// a signal; a child already collected gives status 1), 0 when it runs or on other errors.
// Never blocks.
int processPoll(pid_t pid, int *status);
// Waits for the child; NULL at once when no such process exists.
const char *processWait(pid_t pid);
int processKill(int signal, pid_t pid);
// SIGTERM, then waits for the child at most graceMs; a child still running then gets SIGKILL
// and is collected (an exit never hangs on a child that ignores or stalls on SIGTERM). NULL, or
// the failure text of the wait.
constexpr int kProcessTerminateGraceMs = 5000;
const char *processTerminate(pid_t pid, int graceMs = kProcessTerminateGraceMs);
void processSetPriority(pid_t pid, int priority);
// "user" or "user:group", names or numbers; the group is set first. NULL or a failure text.
const char *processSetUser(const char *account);
void processRaiseLimits();

void processPushSignal(ProcessSignalHandler handler, int signal);
void processPopSignal(ProcessSignalHandler handler, int signal);

// Replaces the process by "/bin/sh -c 'exec <command>'" (a command list without "exec", so
// that all of it runs); returns only on failure.
const char *processExecShell(const char *command);
// "<command> exited with code <code>: <output joined into one line><hint>"; reads the rest
// of the stream.
const char *processExitText(const char *command, int code, FILE *stream);
// A stdio stream connected to a shell command ("r": its output, "w": its input), or NULL.
FILE *processPopen(const char *command, const char *mode, ProcessChildSetup setup, void *argument);
// Closes a stream of processPopen and waits for its process: 1, or -1 for an unknown stream.
// When code is given it receives the command's exit code (128 + the signal number when a
// signal ended it, 1 when its status could not be collected), so that a failed command is
// not taken for a successful one.
int processPclose(FILE *stream, int *code = nullptr);
// SIGKILL to the process of a stream of processPopen: 1, or -1 for an unknown stream.
int processPopenKill(FILE *stream);

int processCpuCount();
const char *processUserFullName();
const char *processLimitsText();

// Signal waits: arm sets a flag and installs a handler that clears it; await sleeps until
// the flag is clear and removes the handler.
void processSignalArm(int signal);
void processSignalAwait(int signal);
void processAwaitSignal(int signal);
void processSignalAndAwait(int signal, pid_t pid);

// The value of an environment variable followed by a suffix beginning with '/', or
// "$NAME<suffix>" when it is unset; in a static text overwritten by the next call.
const char *envPath(const char *name, const char *suffix);
// A newline, "@", the formatted text and a newline on standard output, flushed.
void stdoutMarker(const char *format, ...) __attribute__((format(printf, 1, 2)));
