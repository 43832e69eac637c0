// A library preloaded (LD_PRELOAD) into a test process or a real kvcs run to give it the file
// system of a FAT stick or an SMB share, and to show which flushing calls it makes:
//   KVCS_SEAM_LINK=refuse      link() and linkat() fail with EPERM, as on FAT;
//   KVCS_SEAM_RENAME2=refuse   renameat2() fails with EINVAL, as where the flag is unknown;
//   KVCS_SEAM_DELAY_MS=n       every placing call (link, renameat2) waits n ms first, so two
//                              runs placing one name meet inside the window;
//   KVCS_SEAM_JOURNAL=file     one line per link, renameat2, fsync, fdatasync and syncfs call:
//                              the call's name and the paths it concerns.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

bool env_is(const char* name, const char* value) {
  const char* text = std::getenv(name);
  return text != nullptr && std::strcmp(text, value) == 0;
}

void delay() {
  const char* text = std::getenv("KVCS_SEAM_DELAY_MS");
  if (text == nullptr) return;
  const long ms = std::strtol(text, nullptr, 10);
  if (ms <= 0) return;
  timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

std::string fd_path(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string("?");
}

void journal(const std::string& line) {
  const char* file = std::getenv("KVCS_SEAM_JOURNAL");
  if (file == nullptr) return;
  const int saved = errno;
  const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    const std::string text = line + "\n";
    (void)!write(fd, text.data(), text.size());
    close(fd);
  }
  errno = saved;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The build hides every symbol by default; these must be seen to stand in for the system's.
#define SEAM_EXPORT __attribute__((visibility("default")))

extern "C" {

SEAM_EXPORT int link(const char* from, const char* to) {
  delay();
  journal(std::string("link ") + from + " " + to);
  if (env_is("KVCS_SEAM_LINK", "refuse")) {
    errno = EPERM;
    return -1;
  }
  static const auto real = next<int (*)(const char*, const char*)>("link");
  return real(from, to);
}

SEAM_EXPORT int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  delay();
  journal(std::string("linkat ") + from + " " + to);
  if (env_is("KVCS_SEAM_LINK", "refuse")) {
    errno = EPERM;
    return -1;
  }
  static const auto real = next<int (*)(int, const char*, int, const char*, int)>("linkat");
  return real(from_dir, from, to_dir, to, flags);
}

SEAM_EXPORT int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                          unsigned flags) {
  delay();
  journal(std::string("renameat2 ") + from + " " + to);
  if (env_is("KVCS_SEAM_RENAME2", "refuse")) {
    errno = EINVAL;
    return -1;
  }
  static const auto real = next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  return real(from_dir, from, to_dir, to, flags);
}

SEAM_EXPORT int fsync(int fd) {
  journal("fsync " + fd_path(fd));
  static const auto real = next<int (*)(int)>("fsync");
  return real(fd);
}

SEAM_EXPORT int fdatasync(int fd) {
  journal("fdatasync " + fd_path(fd));
  static const auto real = next<int (*)(int)>("fdatasync");
  return real(fd);
}

SEAM_EXPORT int syncfs(int fd) {
  journal("syncfs " + fd_path(fd));
  static const auto real = next<int (*)(int)>("syncfs");
  return real(fd);
}

}  // extern "C"
