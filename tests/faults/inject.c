/* Fault injection for the native loader, preloaded with LD_PRELOAD.
 *
 * Makes chosen calls of one C library entry point fail with a chosen errno, or ends the process
 * with SIGKILL at that call. Only calls on paths below VELMORA_FAULT_ROOT count, so the dynamic
 * loader, /proc and /dev/null are never affected.
 *
 *   VELMORA_FAULT_ROOT   directory whose paths count (required)
 *   VELMORA_FAULT_OP     statx        status and existence tests (statx, lstat), and remove_all's own
 *                        open         open, openat and their 64-bit and fortified forms
 *                        copy_data    copy_file_range (through syscall()) and sendfile
 *                        sync         fdatasync and fsync
 *                        write        write (the log's lines; a copy moves its data otherwise)
 *                        rename       renameat2 and its fallback rename, counted together
 *                        unlinkat     unlinkat and rmdir
 *                        readlink posix_spawn fork pipe2 chdir execv
 *                        clock        readings of the monotonic clock: a failing one comes
 *                                     back VELMORA_FAULT_CLOCK_JUMP seconds early, as if the
 *                                     machine had been suspended that long just after it
 *                        a comma list counts the calls of all of them together
 *   VELMORA_FAULT_PATH   optional: only calls naming this exact path (either path of a rename,
 *                        either file of a copy) count
 *   VELMORA_FAULT_NTH    the first counted call that fails (default 1)
 *   VELMORA_FAULT_COUNT  how many calls from there fail (default 1; 0: every one after it)
 *   VELMORA_FAULT_ERRNO  EACCES, EBUSY, ETXTBSY, ENOSPC, ENOENT, ... or a number; a comma list
 *                        gives the failing calls their errnos in turn, the last one repeating
 *   VELMORA_FAULT_KILL   "before" (or 1): SIGKILL instead of the NTH call; "after": SIGKILL once
 *                        the NTH call has returned
 *   VELMORA_FAULT_KILL_NTH  SIGKILL instead of this call (after errno faults on earlier ones)
 *   VELMORA_FAULT_CLOCK_JUMP  seconds (clock only; it takes the place of an errno)
 *   VELMORA_FAULT_LOG    optional file: one line per counted call, "pid op nth action path"
 *
 * readlink counts for /proc/self/exe as well: that is how the loader learns where it is. A path
 * through /proc/self/fd/N (a folder held open) counts as the path of what N names.
 * fork and pipe2 name no path and always count. Counters live in process memory, so a forked
 * child goes on counting from its parent's value (its fork is the parent's second one).
 *
 * The faults end at exec: the constructor removes this library from LD_PRELOAD and every
 * VELMORA_FAULT_ variable from the environment, so every program the loader starts (the
 * application, a staged or restarted loader) runs clean and the next run finds a real outcome. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

enum Action { kPass, kFail, kKillBefore, kKillAfter };

static struct {
  int active;
  char root[PATH_MAX];
  size_t rootLength;
  char op[96]; /* ",op,op,": each name between commas */
  char path[PATH_MAX];
  long nth;
  long count;
  int errors[8]; /* the k-th failing call fails with errors[k], the last one repeating */
  int errorCount;
  long failed;
  int killMode; /* 0, kKillBefore or kKillAfter at nth */
  long killNth;
  long clockJump;
  char log[PATH_MAX];
  long seen;
} config;

/* The next definition of a symbol, looked up on first use: a wrapper may run before the
 * constructor does. */
#define REAL(name) \
  static __typeof__(name)* real_##name; \
  if (real_##name == NULL) { \
    void* symbol = dlsym(RTLD_NEXT, #name); \
    memcpy(&real_##name, &symbol, sizeof symbol); \
  }

static ssize_t RealReadlink(const char* path, char* buffer, size_t size) {
  REAL(readlink)
  return real_readlink(path, buffer, size);
}

static int RealOpen(const char* path, int flags, mode_t mode) {
  REAL(open)
  return real_open(path, flags, mode);
}

static ssize_t RealWrite(int fd, const void* buffer, size_t size) {
  REAL(write)
  return real_write(fd, buffer, size);
}

static const struct {
  const char* name;
  int value;
} kErrors[] = {
    {"EACCES", EACCES}, {"EPERM", EPERM},   {"EBUSY", EBUSY},     {"ETXTBSY", ETXTBSY},
    {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"ENOENT", ENOENT},   {"EMFILE", EMFILE},
    {"ENFILE", ENFILE}, {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},   {"EIO", EIO},
    {"EXDEV", EXDEV},   {"EROFS", EROFS},   {"ENOTEMPTY", ENOTEMPTY}, {"EEXIST", EEXIST},
    {"EINVAL", EINVAL}, {"ENOTDIR", ENOTDIR},
};

static const char* const kOps[] = {"statx", "open", "copy_data", "sync", "write", "rename", "unlinkat", "readlink",
                                   "posix_spawn", "fork", "pipe2", "chdir", "execv", "clock"};

/* A broken configuration must not pass for a cell in which nothing failed. */
static void Refuse(const char* what, const char* value) {
  fprintf(stderr, "fault_inject: %s: %s\n", what, value != NULL ? value : "(unset)");
  _exit(125);
}

static long NumberOr(const char* name, long fallback) {
  const char* text = getenv(name);
  if (text == NULL || *text == '\0') return fallback;
  char* end = NULL;
  const long value = strtol(text, &end, 10);
  if (*end != '\0' || value < 0) Refuse(name, text);
  return value;
}

static void CopyText(char* target, size_t size, const char* text) {
  if (strlen(text) >= size) Refuse("too long", text);
  strcpy(target, text);
}

static void ReadConfiguration(void) {
  const char* op = getenv("VELMORA_FAULT_OP");
  if (op == NULL || *op == '\0') return;
  char ops[sizeof config.op - 2];
  CopyText(ops, sizeof ops, op);
  strcpy(config.op, ",");
  char* state = NULL;
  size_t i = 0;
  for (char* name = strtok_r(ops, ",", &state); name != NULL; name = strtok_r(NULL, ",", &state)) {
    for (i = 0; i < sizeof kOps / sizeof kOps[0] && strcmp(kOps[i], name) != 0; ++i) {
    }
    if (i == sizeof kOps / sizeof kOps[0]) Refuse("unknown VELMORA_FAULT_OP", name);
    strcat(strcat(config.op, name), ",");
  }

  const char* root = getenv("VELMORA_FAULT_ROOT");
  if (root == NULL || realpath(root, config.root) == NULL) Refuse("VELMORA_FAULT_ROOT", root);
  config.rootLength = strlen(config.root);
  const char* path = getenv("VELMORA_FAULT_PATH");
  if (path != NULL) CopyText(config.path, sizeof config.path, path);
  const char* log = getenv("VELMORA_FAULT_LOG");
  if (log != NULL) CopyText(config.log, sizeof config.log, log);

  config.nth = NumberOr("VELMORA_FAULT_NTH", 1);
  config.count = NumberOr("VELMORA_FAULT_COUNT", 1);
  config.killNth = NumberOr("VELMORA_FAULT_KILL_NTH", 0);
  config.clockJump = NumberOr("VELMORA_FAULT_CLOCK_JUMP", 0);
  const char* kill = getenv("VELMORA_FAULT_KILL");
  if (kill != NULL && *kill != '\0') {
    if (strcmp(kill, "1") == 0 || strcmp(kill, "before") == 0) config.killMode = kKillBefore;
    else if (strcmp(kill, "after") == 0) config.killMode = kKillAfter;
    else Refuse("VELMORA_FAULT_KILL", kill);
  }
  const char* errors = getenv("VELMORA_FAULT_ERRNO");
  if (errors != NULL && *errors != '\0') {
    char list[256];
    CopyText(list, sizeof list, errors);
    state = NULL;
    for (char* name = strtok_r(list, ",", &state); name != NULL; name = strtok_r(NULL, ",", &state)) {
      if (config.errorCount == (int)(sizeof config.errors / sizeof config.errors[0])) {
        Refuse("too many errnos", errors);
      }
      int value = 0;
      for (i = 0; i < sizeof kErrors / sizeof kErrors[0]; ++i) {
        if (strcmp(kErrors[i].name, name) == 0) value = kErrors[i].value;
      }
      if (value == 0) {
        char* end = NULL;
        value = (int)strtol(name, &end, 10);
        if (*end != '\0' || value <= 0) Refuse("unknown errno", name);
      }
      config.errors[config.errorCount++] = value;
    }
  }
  if (config.clockJump != 0) config.errors[config.errorCount++] = 0;
  if (config.errorCount == 0 && config.killMode == 0 && config.killNth == 0) {
    Refuse("neither VELMORA_FAULT_ERRNO nor VELMORA_FAULT_KILL", op);
  }
  if (config.nth == 0) Refuse("VELMORA_FAULT_NTH", "0");
  config.active = 1;
}

/* Leaves LD_PRELOAD with every entry but this library, and no VELMORA_FAULT_ variable. */
static void CleanEnvironment(void) {
  Dl_info self;
  const char* preload = getenv("LD_PRELOAD");
  if (preload != NULL && dladdr(&config, &self) != 0 && self.dli_fname != NULL) {
    const char* slash = strrchr(self.dli_fname, '/');
    const char* ownName = slash != NULL ? slash + 1 : self.dli_fname;
    char kept[4096] = "";
    char entries[4096];
    CopyText(entries, sizeof entries, preload);
    char* state = NULL;
    for (char* entry = strtok_r(entries, ": ", &state); entry != NULL; entry = strtok_r(NULL, ": ", &state)) {
      const char* entrySlash = strrchr(entry, '/');
      if (strcmp(entrySlash != NULL ? entrySlash + 1 : entry, ownName) == 0) continue;
      if (strlen(kept) + strlen(entry) + 2 > sizeof kept) break;
      if (kept[0] != '\0') strcat(kept, ":");
      strcat(kept, entry);
    }
    if (kept[0] == '\0') unsetenv("LD_PRELOAD");
    else setenv("LD_PRELOAD", kept, 1);
  }
  for (int removed = 1; removed;) {
    removed = 0;
    for (char** entry = environ; entry != NULL && *entry != NULL; ++entry) {
      if (strncmp(*entry, "VELMORA_FAULT_", 14) != 0) continue;
      char name[128];
      const size_t length = strcspn(*entry, "=");
      if (length >= sizeof name) continue;
      memcpy(name, *entry, length);
      name[length] = '\0';
      unsetenv(name);
      removed = 1;
      break;
    }
  }
}

__attribute__((constructor)) static void Initialise(void) {
  ReadConfiguration();
  CleanEnvironment();
}

/* The errno of the call Decide() has just failed. */
static int failure;

static int Wanted(const char* op) {
  char item[32];
  snprintf(item, sizeof item, ",%s,", op);
  return config.active && strstr(config.op, item) != NULL;
}

/* The absolute text of `path` as seen from `dirfd`; an empty path names `dirfd` itself. */
static void Resolve(int dirfd, const char* path, char* out, size_t size) {
  out[0] = '\0';
  if (path != NULL && path[0] == '/') {
    snprintf(out, size, "%s", path);
    return;
  }
  char base[PATH_MAX];
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) return;
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    const ssize_t length = RealReadlink(link, base, sizeof base - 1);
    if (length <= 0) return;
    base[length] = '\0';
  }
  const int length = path == NULL || path[0] == '\0' ? snprintf(out, size, "%s", base)
                                                     : snprintf(out, size, "%s/%s", base, path);
  if (length < 0 || (size_t)length >= size) out[0] = '\0'; /* too long to be ours */
}

/* `full` with a leading /proc/self/fd/N replaced by the path N names. */
static void ThroughHeldFolder(char* full, size_t size) {
  static const char kPrefix[] = "/proc/self/fd/";
  if (strncmp(full, kPrefix, sizeof kPrefix - 1) != 0) return;
  char* rest = full + sizeof kPrefix - 1;
  while (*rest >= '0' && *rest <= '9') ++rest;
  char link[64];
  snprintf(link, sizeof link, "%.*s", (int)(rest - full), full);
  char base[PATH_MAX];
  const ssize_t length = RealReadlink(link, base, sizeof base - 1);
  if (length <= 0) return;
  base[length] = '\0';
  char joined[PATH_MAX];
  const int total = snprintf(joined, sizeof joined, "%s%s", base, rest);
  if (total > 0 && (size_t)total < size) strcpy(full, joined);
}

/* Every path is below "/", the only root that ends in a separator. */
static int Below(const char* path) {
  return strncmp(path, config.root, config.rootLength) == 0 &&
         (config.rootLength == 1 || path[config.rootLength] == '/' || path[config.rootLength] == '\0');
}

static void Log(const char* function, long nth, const char* action, const char* path) {
  if (config.log[0] == '\0') return;
  char line[PATH_MAX + 128];
  const int length = snprintf(line, sizeof line, "%d\t%s\t%ld\t%s\t%s\n", (int)getpid(), function, nth, action, path);
  const int fd = RealOpen(config.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!RealWrite(fd, line, length > 0 && (size_t)length < sizeof line ? (size_t)length : strlen(line));
  close(fd);
}

/* Counts a call of `op` on `first` (and `second`, for calls naming two paths) and decides its
 * fate. Paths are absolute here. */
static enum Action Decide(const char* op, const char* function, const char* first, const char* second,
                          int anyPath) {
  if (!Wanted(op)) return kPass;
  if (!anyPath) {
    const int below = (first != NULL && Below(first)) || (second != NULL && Below(second));
    if (!below) return kPass;
  }
  if (config.path[0] != '\0') {
    const int named = (first != NULL && strcmp(first, config.path) == 0) ||
                      (second != NULL && strcmp(second, config.path) == 0);
    if (!named) return kPass;
  }
  const long nth = ++config.seen;
  enum Action action = kPass;
  if (config.killNth != 0 && nth == config.killNth) {
    action = kKillBefore;
  } else if (config.killMode != 0 && nth == config.nth) {
    action = (enum Action)config.killMode;
  } else if (config.errorCount != 0 && nth >= config.nth && (config.count == 0 || nth < config.nth + config.count)) {
    action = kFail;
    const long k = config.failed < config.errorCount ? config.failed : config.errorCount - 1;
    failure = config.errors[k];
    ++config.failed;
  }
  static const char* const kNames[] = {"pass", "fail", "kill", "kill-after"};
  char both[2 * PATH_MAX + 8];
  snprintf(both, sizeof both, "%s%s%s", first != NULL ? first : "-", second != NULL ? " -> " : "",
           second != NULL ? second : "");
  Log(function, nth, kNames[action], both);
  if (action == kKillBefore) kill(getpid(), SIGKILL);
  return action;
}

static void KillNow(void) { kill(getpid(), SIGKILL); }

/* Decide() for a call naming `path` relative to `dirfd` (and `path2` relative to `dirfd2`). */
static enum Action DecidePaths(const char* op, const char* function, int dirfd, const char* path, int dirfd2,
                               const char* path2) {
  if (!Wanted(op)) return kPass;
  char full[PATH_MAX];
  char full2[PATH_MAX];
  Resolve(dirfd, path, full, sizeof full);
  ThroughHeldFolder(full, sizeof full);
  if (path2 != NULL) {
    Resolve(dirfd2, path2, full2, sizeof full2);
    ThroughHeldFolder(full2, sizeof full2);
  }
  return Decide(op, function, full, path2 != NULL ? full2 : NULL, 0);
}

static enum Action DecidePath(const char* op, const char* function, int dirfd, const char* path) {
  return DecidePaths(op, function, dirfd, path, AT_FDCWD, NULL);
}

/* The rest of a wrapper once its call is decided: a failure returns -1 with the chosen errno,
 * and a kill "after" ends the process once the real call has returned. */
#define CARRY_OUT(action, call) \
  do { \
    if ((action) == kFail) { \
      errno = failure; \
      return -1; \
    } \
    const __typeof__(call) result = call; \
    if ((action) == kKillAfter) KillNow(); \
    return result; \
  } while (0)

/* --- status ------------------------------------------------------------------------------ */

int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buffer) {
  REAL(statx)
  const enum Action action = DecidePath("statx", "statx", dirfd, path);
  CARRY_OUT(action, real_statx(dirfd, path, flags, mask, buffer));
}

int lstat(const char* path, struct stat* buffer) {
  REAL(lstat)
  const enum Action action = DecidePath("statx", "lstat", AT_FDCWD, path);
  CARRY_OUT(action, real_lstat(path, buffer));
}

int lstat64(const char* path, struct stat64* buffer) {
  REAL(lstat64)
  const enum Action action = DecidePath("statx", "lstat64", AT_FDCWD, path);
  CARRY_OUT(action, real_lstat64(path, buffer));
}

/* --- opening ------------------------------------------------------------------------------ */

#define OPEN_MODE(flags, mode) \
  mode_t mode = 0; \
  if (((flags) & O_CREAT) != 0 || ((flags) & O_TMPFILE) == O_TMPFILE) { \
    va_list arguments; \
    va_start(arguments, flags); \
    mode = (mode_t)va_arg(arguments, int); \
    va_end(arguments); \
  }

/* open, openat and their 64-bit and fortified forms, which take the mode only when they create. */
#define OPEN_WRAPPER(name, dirfd, parameters, arguments, ...) \
  int name parameters { \
    REAL(name) \
    __VA_ARGS__ \
    const enum Action action = DecidePath("open", #name, dirfd, path); \
    CARRY_OUT(action, real_##name arguments); \
  }

OPEN_WRAPPER(open, AT_FDCWD, (const char* path, int flags, ...), (path, flags, mode), OPEN_MODE(flags, mode))
OPEN_WRAPPER(open64, AT_FDCWD, (const char* path, int flags, ...), (path, flags, mode), OPEN_MODE(flags, mode))
OPEN_WRAPPER(__open_2, AT_FDCWD, (const char* path, int flags), (path, flags), )
OPEN_WRAPPER(__open64_2, AT_FDCWD, (const char* path, int flags), (path, flags), )
OPEN_WRAPPER(openat, dirfd, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode),
             OPEN_MODE(flags, mode))
OPEN_WRAPPER(openat64, dirfd, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode),
             OPEN_MODE(flags, mode))
OPEN_WRAPPER(__openat_2, dirfd, (int dirfd, const char* path, int flags), (dirfd, path, flags), )
OPEN_WRAPPER(__openat64_2, dirfd, (int dirfd, const char* path, int flags), (dirfd, path, flags), )

/* --- copying data: copy_file_range through syscall(), sendfile as its fallback ----------- */

static enum Action CopyDataFault(const char* function, int in, int out) {
  return DecidePaths("copy_data", function, out, "", in, "");
}

long syscall(long number, ...) {
  REAL(syscall)
  va_list arguments;
  va_start(arguments, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(arguments, long);
  va_end(arguments);
  const enum Action action =
      number == SYS_copy_file_range ? CopyDataFault("copy_file_range", (int)a[0], (int)a[2]) : kPass;
  CARRY_OUT(action, real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]));
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  REAL(sendfile)
  const enum Action action = CopyDataFault("sendfile", in, out);
  CARRY_OUT(action, real_sendfile(out, in, offset, count));
}

ssize_t sendfile64(int out, int in, off_t* offset, size_t count) {
  REAL(sendfile64)
  const enum Action action = CopyDataFault("sendfile64", in, out);
  CARRY_OUT(action, real_sendfile64(out, in, offset, count));
}

/* --- flushing to disk ------------------------------------------------------------------- */

int fdatasync(int fd) {
  REAL(fdatasync)
  const enum Action action = DecidePath("sync", "fdatasync", fd, "");
  CARRY_OUT(action, real_fdatasync(fd));
}

int fsync(int fd) {
  REAL(fsync)
  const enum Action action = DecidePath("sync", "fsync", fd, "");
  CARRY_OUT(action, real_fsync(fd));
}

ssize_t write(int fd, const void* buffer, size_t size) {
  const enum Action action = DecidePath("write", "write", fd, "");
  CARRY_OUT(action, RealWrite(fd, buffer, size));
}

/* --- time -------------------------------------------------------------------------------- */

int clock_gettime(clockid_t clock, struct timespec* time) {
  REAL(clock_gettime)
  const enum Action action = clock == CLOCK_MONOTONIC ? Decide("clock", "clock_gettime", "-", NULL, 1) : kPass;
  const int result = real_clock_gettime(clock, time);
  if (action == kFail && result == 0) time->tv_sec -= config.clockJump;
  if (action == kKillAfter) KillNow();
  return result;
}

/* --- renaming and removing --------------------------------------------------------------- */

int renameat2(int fromDirfd, const char* from, int toDirfd, const char* to, unsigned int flags) {
  REAL(renameat2)
  const enum Action action = DecidePaths("rename", "renameat2", fromDirfd, from, toDirfd, to);
  CARRY_OUT(action, real_renameat2(fromDirfd, from, toDirfd, to, flags));
}

int rename(const char* from, const char* to) {
  REAL(rename)
  const enum Action action = DecidePaths("rename", "rename", AT_FDCWD, from, AT_FDCWD, to);
  CARRY_OUT(action, real_rename(from, to));
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat)
  const enum Action action = DecidePath("unlinkat", "unlinkat", dirfd, path);
  CARRY_OUT(action, real_unlinkat(dirfd, path, flags));
}

int rmdir(const char* path) {
  REAL(rmdir)
  const enum Action action = DecidePath("unlinkat", "rmdir", AT_FDCWD, path);
  CARRY_OUT(action, real_rmdir(path));
}

/* --- the loader's own location ----------------------------------------------------------- */

ssize_t readlink(const char* path, char* buffer, size_t size) {
  enum Action action = kPass;
  if (Wanted("readlink")) {
    char full[PATH_MAX];
    Resolve(AT_FDCWD, path, full, sizeof full);
    action = Decide("readlink", "readlink", full, NULL, strcmp(path, "/proc/self/exe") == 0);
  }
  CARRY_OUT(action, RealReadlink(path, buffer, size));
}

/* --- starting programs ------------------------------------------------------------------- */

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  REAL(posix_spawn)
  const enum Action action = DecidePath("posix_spawn", "posix_spawn", AT_FDCWD, path);
  if (action == kFail) return failure; /* posix_spawn returns the error, errno stays */
  const int result = real_posix_spawn(pid, path, actions, attributes, argv, envp);
  if (action == kKillAfter) KillNow();
  return result;
}

pid_t fork(void) {
  REAL(fork)
  const enum Action action = Decide("fork", "fork", "-", NULL, 1);
  if (action == kFail) {
    errno = failure;
    return -1;
  }
  const pid_t result = real_fork();
  if (action == kKillAfter && result != 0) KillNow(); /* the parent dies, the child goes on */
  return result;
}

int pipe2(int fds[2], int flags) {
  REAL(pipe2)
  const enum Action action = Decide("pipe2", "pipe2", "-", NULL, 1);
  CARRY_OUT(action, real_pipe2(fds, flags));
}

int chdir(const char* path) {
  REAL(chdir)
  const enum Action action = DecidePath("chdir", "chdir", AT_FDCWD, path);
  CARRY_OUT(action, real_chdir(path));
}

/* "after" cannot apply: a successful exec does not return. */
int execv(const char* path, char* const argv[]) {
  REAL(execv)
  const enum Action action = DecidePath("execv", "execv", AT_FDCWD, path);
  CARRY_OUT(action, real_execv(path, argv));
}
