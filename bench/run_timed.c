/* Runs one program and prints its wall time in microseconds, from before the process is
 * created to after it was reaped: what a host starting it as a child process waits.
 * Usage: run_timed DIRECTORY STDOUT_FILE PROGRAM [ARGS...]  (exit status: the program's) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: run_timed DIRECTORY STDOUT_FILE PROGRAM [ARGS...]\n");
    return 2;
  }
  if (chdir(argv[1]) != 0) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child;
  if (posix_spawn(&child, argv[3], &actions, NULL, argv + 3, environ) != 0) return 2;
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  printf("%.1f\n", (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
