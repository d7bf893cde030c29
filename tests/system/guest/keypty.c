// Runs a program on a pseudo-terminal inside the guest and types keys into it one at a time.
//
// Usage: keypty -s SCRIPT -o RAW -m MARKS [-q QUIET_MS] -- PROGRAM [ARG...]
//
// Everything the program writes to its terminal is appended to RAW, byte for byte. The script
// is read line by line; before each line keypty waits until the program has written nothing for
// QUIET_MS (three times that before a mark), because curses skips redraws when keys arrive
// together:
//   key NAME     type one key: Up Down Left Right Home End PgUp PgDn Esc, or a single character
//   mark LABEL   append "LABEL OFFSET" to MARKS, OFFSET being the bytes of RAW so far
//   run COMMAND  run a shell command (a probe of the device while the program runs)
//   change COMMAND  run a shell command that changes the camera behind the program's back
//                (another program's write); like a key, the program is expected to redraw
//   type MS NAME...  type several keys MS milliseconds apart, without waiting for the program
//                (a user typing ahead while it waits for a slow camera)
//   screen       wait (60 s at most) until the program reads keys from its screen: curses has
//                put the terminal into keypad transmit mode; a slow camera's start takes long
// After the script, keypty waits for the program to end and appends "exit STATUS" to MARKS
// (a program still running after 30 s is killed and gives "exit killed").
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int master_fd = -1;
static FILE* raw_file;
static long raw_bytes;
static int keypad_seen;  // the program has sent the sequence that starts keypad transmit mode
static char tail[4];     // the stream's last bytes, for that sequence split between reads
static size_t tail_length;

static long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Copies what the program writes for up to wait_ms; returns 0 once the pty has closed.
static int pump(int wait_ms) {
  struct pollfd p = {.fd = master_fd, .events = POLLIN};
  int ready = poll(&p, 1, wait_ms);
  if (ready <= 0) return 1;
  char buf[4096];
  ssize_t n = read(master_fd, buf, sizeof buf);
  if (n <= 0) return 0;
  fwrite(buf, 1, (size_t)n, raw_file);
  fflush(raw_file);
  raw_bytes += n;
  char joined[sizeof tail + sizeof buf];
  memcpy(joined, tail, tail_length);
  memcpy(joined + tail_length, buf, (size_t)n);
  size_t length = tail_length + (size_t)n;
  if (memmem(joined, length, "\033[?1h", 5) != NULL) keypad_seen = 1;
  tail_length = length < sizeof tail ? length : sizeof tail;
  memcpy(tail, joined + length - tail_length, tail_length);
  return 1;
}

// Waits up to first_ms for the program to answer at all, then until it has been silent for
// quiet_ms (at most 20 s in all). A key that changes nothing on the screen may send nothing.
static void wait_settled(long since, int first_ms, int quiet_ms) {
  long deadline = now_ms() + 20000;
  long first_deadline = now_ms() + first_ms;
  while (raw_bytes == since && now_ms() < first_deadline)
    if (!pump(50)) return;
  while (now_ms() < deadline) {
    long before = raw_bytes;
    if (!pump(quiet_ms)) return;
    if (raw_bytes == before) return;
  }
}

static const char* key_sequence(const char* name) {
  // The sequences of an xterm in keypad-transmit mode, which curses turns on.
  static const struct {
    const char *name, *seq;
  } keys[] = {{"Up", "\033OA"},   {"Down", "\033OB"}, {"Right", "\033OC"}, {"Left", "\033OD"},
              {"Home", "\033OH"}, {"End", "\033OF"},  {"PgUp", "\033[5~"}, {"PgDn", "\033[6~"},
              {"Esc", "\033"}};
  // The Linux console's arrows, under TERM=linux, are its cursor sequences.
  static const struct {
    const char *name, *seq;
  } console_keys[] = {{"Up", "\033[A"}, {"Down", "\033[B"}, {"Right", "\033[C"}, {"Left", "\033[D"}};
  const char* term = getenv("TERM");
  if (term != NULL && strcmp(term, "linux") == 0)
    for (size_t i = 0; i < sizeof console_keys / sizeof console_keys[0]; i++)
      if (strcmp(console_keys[i].name, name) == 0) return console_keys[i].seq;
  for (size_t i = 0; i < sizeof keys / sizeof keys[0]; i++)
    if (strcmp(keys[i].name, name) == 0) return keys[i].seq;
  return strlen(name) == 1 ? name : NULL;
}

int main(int argc, char** argv) {
  const char *script_path = NULL, *raw_path = NULL, *marks_path = NULL;
  int quiet_ms = 400, opt;
  while ((opt = getopt(argc, argv, "+s:o:m:q:")) != -1) {
    switch (opt) {
      case 's':
        script_path = optarg;
        break;
      case 'o':
        raw_path = optarg;
        break;
      case 'm':
        marks_path = optarg;
        break;
      case 'q':
        quiet_ms = atoi(optarg);
        break;
      default:
        return 2;
    }
  }
  if (!script_path || !raw_path || !marks_path || optind >= argc) {
    fprintf(stderr, "usage: keypty -s SCRIPT -o RAW -m MARKS [-q MS] -- PROGRAM [ARG...]\n");
    return 2;
  }
  FILE* script = fopen(script_path, "r");
  FILE* marks = fopen(marks_path, "w");
  raw_file = fopen(raw_path, "w");
  if (!script || !marks || !raw_file) {
    perror("keypty: open");
    return 2;
  }
  struct winsize size = {.ws_row = 24, .ws_col = 80};
  pid_t child = forkpty(&master_fd, NULL, NULL, &size);
  if (child < 0) {
    perror("keypty: forkpty");
    return 2;
  }
  if (child == 0) {
    execvp(argv[optind], argv + optind);
    perror("keypty: exec");
    _exit(127);
  }

  char line[512];
  long before_step = 0;
  int first_ms = 20000;  // the program's start under emulation takes a while
  while (fgets(line, sizeof line, script)) {
    line[strcspn(line, "\n")] = '\0';
    if (line[0] == '\0' || line[0] == '#') continue;
    // A mark is where the tests read the screen: it waits longer for the last redraw.
    int is_mark = strncmp(line, "mark ", 5) == 0;
    wait_settled(before_step, first_ms, is_mark ? 3 * quiet_ms : quiet_ms);
    before_step = raw_bytes;
    first_ms = 0;
    if (strncmp(line, "key ", 4) == 0) {
      const char* seq = key_sequence(line + 4);
      if (!seq) {
        fprintf(stderr, "keypty: unknown key '%s'\n", line + 4);
        return 2;
      }
      if (write(master_fd, seq, strlen(seq)) < 0) perror("keypty: write");
      first_ms = 10000;  // every key of the tests' scripts makes the program redraw something
    } else if (strncmp(line, "type ", 5) == 0) {
      char* rest = line + 5;
      long gap_ms = strtol(rest, &rest, 10);
      for (char* name = strtok(rest, " "); name != NULL; name = strtok(NULL, " ")) {
        const char* seq = key_sequence(name);
        if (!seq) {
          fprintf(stderr, "keypty: unknown key '%s'\n", name);
          return 2;
        }
        if (write(master_fd, seq, strlen(seq)) < 0) perror("keypty: write");
        struct timespec gap = {gap_ms / 1000, (gap_ms % 1000) * 1000000L};
        nanosleep(&gap, NULL);
      }
      first_ms = 10000;
    } else if (strcmp(line, "screen") == 0) {
      long deadline = now_ms() + 60000;
      while (!keypad_seen && now_ms() < deadline)
        if (!pump(50)) break;
      wait_settled(raw_bytes, 0, quiet_ms);
    } else if (strncmp(line, "mark ", 5) == 0) {
      fprintf(marks, "%s %ld\n", line + 5, raw_bytes);
      fflush(marks);
    } else if (strncmp(line, "run ", 4) == 0) {
      if (system(line + 4) != 0) fprintf(stderr, "keypty: '%s' failed\n", line + 4);
    } else if (strncmp(line, "change ", 7) == 0) {
      if (system(line + 7) != 0) fprintf(stderr, "keypty: '%s' failed\n", line + 7);
      first_ms = 10000;  // the camera's event wakes the program, which redraws the row
    } else {
      fprintf(stderr, "keypty: cannot read script line '%s'\n", line);
      return 2;
    }
  }

  long deadline = now_ms() + 30000;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && now_ms() < deadline) pump(100);
  while (pump(50)) {
    if (now_ms() > deadline + 2000) break;
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    fprintf(marks, "exit killed\n");
  } else if (WIFEXITED(status)) {
    fprintf(marks, "exit %d\n", WEXITSTATUS(status));
  } else {
    fprintf(marks, "exit signal %d\n", WTERMSIG(status));
  }
  fclose(marks);
  fclose(raw_file);
  return 0;
}
