// Runs a program on a pseudo-terminal read through libvterm, and knows when the program has
// dealt with every key sent and waits for the next: for long key sequences, byte counts and
// terminal faults (hang-up, end of input, resizes).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct VTerm;
struct VTermScreen;

namespace robust {

struct PtyRun {
  std::vector<std::string> argv;                         // argv[0] is the program's path
  std::vector<std::pair<std::string, std::string>> env;  // set in the child
  std::string term = "xterm";
  int rows = 24;
  int cols = 80;
  bool ignore_hangup = false;    // start with SIGHUP ignored, as under nohup
  bool input_from_null = false;  // standard input at end of file; the terminal only for output
};

enum class Key { up, down, left, right, home, end, page_up, page_down };

// The bytes a terminal of type term sends for key in keypad transmit mode.
std::string key_bytes(std::string_view term, Key key);

class PtySession {
 public:
  explicit PtySession(const PtyRun& run);
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  // Takes in output until the program has consumed all input and sleeps in its key read,
  // with everything it wrote before that taken in. False when it exited or time ran out.
  bool settle(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void send(std::string_view bytes);
  void send_key(Key key) { send(key_bytes(term_, key)); }
  void resize(int rows, int cols);
  // Closes the terminal's master side, as a modem line or a closed terminal window would.
  void hang_up();

  // Waits for the program to end: its exit status, or -1 (then signal() may tell why).
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  bool exited() const { return exited_; }
  int signal() const { return signal_; }
  pid_t pid() const { return pid_; }
  const rusage& usage() const { return usage_; }

  std::size_t bytes_received() const { return bytes_; }
  std::string text(int row, int col, int length) const;
  std::string row_text(int row) const;
  bool reverse(int row, int col) const;
  std::string dump() const;

 private:
  bool pump(int timeout_ms);
  bool reap(bool block);
  bool waits_for_key() const;
  std::uint64_t bytes_read_by_program() const;
  void note_input(std::size_t length);

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
  rusage usage_{};
  std::size_t bytes_ = 0;
  // What the program's reads must have reached once it took all input sent so far; the
  // kernel hands pty input over a moment after it was written.
  std::uint64_t expected_read_ = 0;
};

}  // namespace robust
