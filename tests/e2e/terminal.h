// Runs the real camera_control on a pseudo-terminal and reads its screen through a terminal
// emulator (libvterm), as a user at a terminal would see it; also tells when the program has
// dealt with every key sent and waits for the next, for long key runs and terminal faults.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct VTerm;
struct VTermScreen;

namespace e2e {

struct TerminalRun {
  std::vector<std::string> args;  // after argv[0]
  std::string scenario;           // scenario file for the simulated camera; empty: none
  std::string log_path;           // CAMSIM_LOG, if any
  std::string term = "xterm";
  int rows = 24;
  int cols = 80;
  bool input_from_null = false;  // standard input at end of file, the terminal only for output
  // The whole command line in place of the program with args, e.g. the program under a
  // memory checker; argv[0] is looked up on PATH.
  std::vector<std::string> command{};
  std::vector<std::pair<std::string, std::string>> env{};  // set in the child after the rest
  bool ignore_hangup = false;                              // start with SIGHUP ignored, as nohup
  speed_t speed = 0;  // the terminal's declared output speed (cfsetospeed); 0: the pty's own
  // Bytes a second the program's output is taken at, as a serial line delivers it; 0: at once.
  long read_rate = 0;
};

enum class Key { up, down, left, right, home, end, page_up, page_down };

// The bytes a terminal of type term sends for key in keypad transmit mode.
std::string key_bytes(std::string_view term, Key key);

class Terminal {
 public:
  explicit Terminal(const TerminalRun& run);
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Feeds the emulator with the program's output until done() holds or the time is up.
  bool wait_until(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits until text shows at row, col.
  bool wait_for_text(int row, int col, std::string_view text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Takes in output until the program has been quiet for a moment; only for counting bytes,
  // after the screen has already been seen to settle.
  void drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(150));

  // Takes in output until the program has consumed all input and sleeps in its key read,
  // with everything it wrote before that taken in. False when it exited or time ran out.
  // Natively only: under qemu-user the kernel names the emulator's own calls, by the host's
  // numbers.
  bool settle(std::chrono::milliseconds timeout = std::chrono::seconds(20));

  void send(std::string_view bytes);
  void send_key(Key key);
  // Writes to the terminal as another program would (the kernel's console messages, wall),
  // over whatever the program shows.
  void write_over(std::string_view text);
  void resize(int rows, int cols);
  // Closes the terminal's master side, as a modem line or a closed terminal window would.
  void hang_up();

  // Waits for the program to end and returns its exit status; -1 when it did not exit
  // normally in time (then term_signal() may tell why).
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool exited() const { return exited_; }
  int term_signal() const { return signal_; }
  bool dumped_core() const { return dumped_core_; }
  pid_t pid() const { return pid_; }
  // The program's resource use, once it has exited.
  const rusage& usage() const { return usage_; }

  // The screen's text; line drawing shows as "+", "-" and "|", an empty cell as a blank.
  std::string text(int row, int col, int length) const;
  std::string row_text(int row) const;
  bool reverse(int row, int col) const;
  // The cell's background as a colour number of the terminal's palette; -1 for the default.
  int background(int row, int col) const;
  // Every row, for failure messages.
  std::string dump() const;

  std::size_t bytes_received() const { return bytes_; }
  // The terminal's modes as the program left them.
  termios modes() const;
  // The modes the terminal had before the program started.
  termios initial_modes() const { return initial_; }

 private:
  bool pump(int timeout_ms);
  void feed(const char* bytes, std::size_t length);
  bool reap(bool block);
  bool waits_for_key() const;
  std::uint64_t bytes_read_by_program() const;

  VTerm* vt_ = nullptr;
  VTermScreen* screen_ = nullptr;
  std::string term_;
  int rows_ = 0;
  int cols_ = 0;
  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  int signal_ = 0;
  bool dumped_core_ = false;
  rusage usage_{};
  std::size_t bytes_ = 0;
  long read_rate_ = 0;
  std::chrono::steady_clock::time_point line_free_{};  // a paced read's line is sending until
  // What the program's reads must have reached once it took all input sent so far; the
  // kernel hands pty input over a moment after it was written.
  std::uint64_t expected_read_ = 0;
  termios initial_{};
  // Where feed() stands in the byte stream, for spelling out repeats.
  enum class Parse { text, escape, charset, control } parse_ = Parse::text;
  std::string control_;
  char last_printed_ = ' ';
};

}  // namespace e2e
