/* A C host that loads the module with dlopen, as a game does, and then runs every entry point
 * with its allocations failing from the nth on, for every n until a call needs no more:
 *   oom_host <library> <calls>
 * It prints one line per entry point and exits 0 when every call gave its own result or its
 * no-value result and the store still read back afterwards; a crash or an abort is the fault.
 * The allocator is replaced here, in the executable, so that every allocation of the process
 * (the module's, the C++ runtime's, the loader's for thread-local storage) goes through it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static long allowance = -1; /* allocations still granted; -1: all */
static long refused = 0;

static bool grant(void) {
  if (allowance < 0) return true;
  if (allowance == 0) {
    ++refused;
    return false;
  }
  --allowance;
  return true;
}

void* malloc(size_t n) { return grant() ? __libc_malloc(n) : NULL; }
void* calloc(size_t n, size_t size) { return grant() ? __libc_calloc(n, size) : NULL; }
void* realloc(void* p, size_t n) { return grant() ? __libc_realloc(p, n) : NULL; }
void* memalign(size_t alignment, size_t n) { return grant() ? __libc_memalign(alignment, n) : NULL; }
void* aligned_alloc(size_t alignment, size_t n) { return memalign(alignment, n); }
int posix_memalign(void** out, size_t alignment, size_t n) {
  void* p = memalign(alignment, n);
  if (p == NULL) return 12; /* ENOMEM */
  *out = p;
  return 0;
}

typedef void (*AnyFunction)(void);
typedef char* (*TextCall)(void);
static void* library;

static AnyFunction bind(const char* name) {
  void* address = dlsym(library, name);
  if (address == NULL) {
    fprintf(stderr, "oom_host: no %s\n", name);
    exit(2);
  }
  AnyFunction function;
  memcpy(&function, &address, sizeof function); /* the way POSIX gives functions as objects */
  return function;
}

/* One call of an entry point by name; its result as text (NULL for none, "1"/"0" for a bool,
 * "" for a call without result). Text that the module returned is the caller's to free. */
static char* call(const char* name, bool* owned) {
  static char yes[] = "1", no[] = "0", none[] = "";
  AnyFunction f = bind(name);
  *owned = false;
  if (strcmp(name, "SetEventDate") == 0) {
    ((void (*)(double))f)(1.5);
    return none;
  }
  if (strcmp(name, "SetLastPlayDate") == 0) {
    ((void (*)(const char*, double))f)("A", 2.5);
    return none;
  }
  if (strcmp(name, "SetInterstitialDate") == 0) {
    return ((bool (*)(const char*, double, double))f)("A", 100, 60) ? yes : no;
  }
  if (strcmp(name, "CanOpenURL") == 0) return ((bool (*)(const char*))f)("orvo://x") ? yes : no;
  if (strcmp(name, "IsVPNEnabled") == 0) return ((bool (*)(void))f)() ? yes : no;
  *owned = true;
  if (strcmp(name, "SetNextGameOnFire") == 0) return ((char* (*)(const char*, double))f)("A", 4e9);
  return ((TextCall)f)();
}

static bool storeIntact(void) {
  char* refCode = ((TextCall)bind("GetRefCode"))();
  const bool intact = refCode != NULL && strcmp(refCode, "R") == 0;
  free(refCode);
  return intact;
}

/* Whether a call only reads, so that every run of it must give the same result. */
static bool readsOnly(const char* name) {
  return strncmp(name, "Get", 3) == 0 || strcmp(name, "CanOpenURL") == 0 ||
         strcmp(name, "IsVPNEnabled") == 0;
}

/* Runs the call with 0, 1, 2, ... allocations granted until one run needs no more. */
static bool survivesEveryFailure(const char* name) {
  bool owned = false;
  char* clean = call(name, &owned); /* a warm call: the thread has met the module before */
  char* expected = clean == NULL ? NULL : strdup(clean);
  if (owned) free(clean);
  bool ok = true;
  long n = 0;
  for (;; ++n) {
    refused = 0;
    allowance = n;
    char* got = call(name, &owned);
    allowance = -1;
    /* Failing, a call gives nothing (null, 0); else exactly what it gives with memory. */
    const bool nothing = got == NULL || strcmp(got, "0") == 0 || got[0] == '\0';
    if (readsOnly(name) && !nothing && (expected == NULL || strcmp(got, expected) != 0)) {
      fprintf(stderr, "oom_host: %s with %ld allocations gave \"%s\"\n", name, n, got);
      ok = false;
    }
    if (owned) free(got);
    if (!storeIntact()) {
      fprintf(stderr, "oom_host: the store does not read after %s with %ld allocations\n", name, n);
      ok = false;
    }
    if (refused == 0 || n > 100000) break;
  }
  printf("%s: %ld allocation failures survived\n", name, n);
  free(expected);
  return ok;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "oom_host: %s\n", dlerror());
    return 2;
  }
  bool ok = true;
  for (int i = 2; i < argc; ++i) ok = survivesEveryFailure(argv[i]) && ok;
  return ok ? 0 : 1;
}
