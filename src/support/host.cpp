// Facts about the host, the platform and the user; build dates, version comparison, a nesting
// interval alarm and the heap's figures.
#include "support/host.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "support/strings.h"

namespace {
char hostNameText[80];
char platformText[80];
char releaseText[sizeof(utsname::release)];
char userText[256];
}  // namespace

const char *hostName() {
  if (!hostNameText[0]) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) {
      strCopy(hostNameText, "UNSET", sizeof hostNameText);
    } else {
      name[sizeof name - 1] = 0;
      strCopy(hostNameText, name, sizeof hostNameText);
    }
  }
  return hostNameText;
}

int hostIsLocal(const char *name) {
  if (!name) return 0;
  const char *self = hostName();
  if (strcasecmp(name, self) == 0 || strcasecmp(name, "localhost") == 0) return 1;
  struct hostent *entry = gethostbyname(self);
  if (!entry) return 0;
  if (entry->h_name && strcasecmp(name, entry->h_name) == 0) return 1;
  for (char **alias = entry->h_aliases; alias && *alias; alias++)
    if (strcasecmp(name, *alias) == 0) return 1;
  unsigned char address[16];
  if (entry->h_length <= 0 || static_cast<size_t>(entry->h_length) > sizeof address) return 0;
  if (inet_pton(entry->h_addrtype, name, address) != 1) return 0;
  for (char **a = entry->h_addr_list; a && *a; a++)
    if (memcmp(*a, address, static_cast<size_t>(entry->h_length)) == 0) return 1;
  return 0;
}

int strIsPrintable(const char *text, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (iscntrl(c) && !isspace(c)) return 0;
  }
  return 1;
}

const char *platformName() {
  if (!platformText[0]) {
    struct utsname names;
    if (uname(&names) == 0)
      snprintf(platformText, sizeof platformText, "Linux (%.60s)", names.machine);
    else
      strCopy(platformText, "Linux (?)", sizeof platformText);
  }
  return platformText;
}

const char *platformName32() { return "Linux (x86_32)"; }

const char *platformOsRelease() {
  if (!releaseText[0]) {
    struct utsname names;
    strCopy(releaseText, uname(&names) == 0 ? names.release : "?", sizeof releaseText);
  }
  return releaseText;
}

const char *platformUserName() {
  struct passwd *entry = getpwuid(getuid());
  const char *name = entry && entry->pw_name && entry->pw_name[0] ? entry->pw_name : getlogin();
  strCopy(userText, name && name[0] ? name : "?", sizeof userText);
  return userText;
}

uint32_t strParseBuildDate(const char *text) {
  static const char *const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  if (!text) return 0;
  while (*text == ' ' || *text == '\t') text++;
  const char *word = text;
  while (*text && *text != ' ' && *text != '\t') text++;
  unsigned month = 13;
  if (text - word >= 3)
    for (unsigned m = 0; m < 12; m++)
      if (strncasecmp(word, kMonths[m], 3) == 0) month = m + 1;
  char *end;
  unsigned long day = strtoul(text, &end, 10);
  unsigned long year = strtoul(end, &end, 10);
  if (day > 99) day = 0;
  if (year > 400000) year = 0;
  return static_cast<uint32_t>(year * 10000 + month * 100 + day);
}

int strVersionCompare(const char *a, const char *b) {
  for (;;) {
    if (!*a || !*b) {
      const char *rest = *a ? a : b;
      for (; *rest; rest++)
        if (*rest != '0' && *rest != '.' && !isspace(static_cast<unsigned char>(*rest)))
          return *a ? 1 : -1;
      return 0;
    }
    if (isdigit(static_cast<unsigned char>(*a)) && isdigit(static_cast<unsigned char>(*b))) {
      // Digit runs compare as numbers of any length: without leading zeros, the longer run
      // is the larger number, and runs of equal length compare digit by digit.
      while (*a == '0' && isdigit(static_cast<unsigned char>(a[1]))) a++;
      while (*b == '0' && isdigit(static_cast<unsigned char>(b[1]))) b++;
      size_t na = 0, nb = 0;
      while (isdigit(static_cast<unsigned char>(a[na]))) na++;
      while (isdigit(static_cast<unsigned char>(b[nb]))) nb++;
      if (na != nb) return na < nb ? -1 : 1;
      int c = strncmp(a, b, na);
      if (c) return c < 0 ? -1 : 1;
      a += na;
      b += nb;
      continue;
    }
    int ca = tolower(static_cast<unsigned char>(*a)), cb = tolower(static_cast<unsigned char>(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    a++;
    b++;
  }
}

namespace {
volatile sig_atomic_t alarmWentOff;
int alarmDepth;
struct sigaction alarmOldAction;
struct itimerval alarmOldTimer;
}  // namespace

void alarmFired(int) { alarmWentOff = 1; }

void alarmStart(unsigned milliseconds, AlarmHandler handler) {
  if (alarmDepth++ > 0) return;
  alarmWentOff = 0;
  struct sigaction action = {};
  action.sa_handler = handler ? handler : alarmFired;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, &alarmOldAction);
  struct itimerval timer = {};
  timer.it_value.tv_sec = milliseconds / 1000;
  timer.it_value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  if (milliseconds == 0) timer.it_value.tv_usec = 1;  // a zero time would disarm the timer
  setitimer(ITIMER_REAL, &timer, &alarmOldTimer);
}

int alarmStop() {
  if (alarmDepth > 0 && --alarmDepth == 0) {
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &alarmOldAction, nullptr);
    setitimer(ITIMER_REAL, &alarmOldTimer, nullptr);
  }
  int fired = alarmWentOff;
  alarmWentOff = 0;
  return fired;
}

// ----- The heap -----

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HOST_SANITIZER_HEAP 1
// The sanitizers' allocators keep their own count (their common allocator interface).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

size_t hostHeapInUse() {
#if defined(HOST_SANITIZER_HEAP)
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

void hostHeapTrim() {
#if defined(__GLIBC__) && !defined(HOST_SANITIZER_HEAP)
  malloc_trim(0);
#endif
}
