/* The interpreter's launcher: bin/python3.7, what sys.executable names.
 *
 * It starts the interpreter program (libexec/python3.7) with this file's own
 * path as argv[0]: the interpreter finds its library from there and reports
 * this file as sys.executable, so a child interpreter started from
 * sys.executable comes through here again. For another machine's program
 * the start goes through qemu's user-mode emulation (-0 sets the argv[0] the
 * program sees); without a binfmt_misc handler the kernel would not emulate
 * a child by itself.
 *
 * It is a program of the build machine linked against musl, the C library
 * of the target (the same Debian release of it), not a shell script: tools
 * that learn the C library from sys.executable, as pip does to choose
 * musllinux wheels (the program interpreter in its ELF header, then that
 * loader's own report of its version), see musl there, as they would on the
 * target itself.
 *
 * exec: no process of the launcher stays between the caller and Python, so
 * exit codes, signals and the pid are the interpreter's. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef LAUNCHER
#error "LAUNCHER (this file's installed path) and PROGRAM must be defined"
#endif

int main(int argc, char **argv) {
#ifdef EMULATOR
  const char *head[] = {EMULATOR, "-0", LAUNCHER, PROGRAM};
  const char *file = EMULATOR;
#else
  const char *head[] = {LAUNCHER};
  const char *file = PROGRAM;
#endif
  size_t nhead = sizeof head / sizeof head[0];
  char **args = calloc(nhead + (size_t)argc, sizeof *args);
  if (!args) {
    perror(LAUNCHER);
    return 127;
  }
  for (size_t i = 0; i < nhead; ++i) args[i] = (char *)head[i];
  for (int i = 1; i < argc; ++i) args[nhead + (size_t)i - 1] = argv[i];
  execv(file, args);
  fprintf(stderr, "%s: cannot run %s: %s\n", LAUNCHER, file, strerror(errno));
  return 127;
}
