// The least a loader can do in start mode: start a program with a working directory and wait
// for it. Nothing else runs, so it is the floor the loader's start is measured against.
//   spawn_floor PROGRAM WORKING_DIRECTORY
// Exits with the program's exit code, or 127 when it could not be started.

#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 3) return 127;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addchdir_np(&actions, argv[2]);
  char* const childArgv[] = {argv[1], nullptr};
  pid_t child = 0;
  const int failure = ::posix_spawn(&child, argv[1], &actions, nullptr, childArgv, environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (failure != 0) return 127;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
