// Runs the real camera_control on a pseudo-terminal and reads its screen through a terminal
// emulator (libvterm), as a user at a terminal would see it.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct VTerm;
struct VTermScreen;

namespace e2e {

struct TerminalRun {
  std::vector<std::string> args;  // after argv[0]
  std::string scenario;           // scenario file for the simulated camera
  std::string log_path;           // CAMSIM_LOG, if any
  std::string term = "xterm";
  int rows = 24;
  int cols = 80;
  bool input_from_null = false;  // standard input at end of file, the terminal only for output
};

enum class Key { up, down, left, right, home, end, page_up, page_down };

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

  void send(std::string_view bytes);
  void send_key(Key key);
  void resize(int rows, int cols);

  // Waits for the program to end and returns its exit status; -1 when it did not exit
  // normally in time.
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  int term_signal() const { return signal_; }

  // The screen's text; line drawing shows as "+", "-" and "|", an empty cell as a blank.
  std::string text(int row, int col, int length) const;
  std::string row_text(int row) const;
  bool reverse(int row, int col) const;
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
  std::size_t bytes_ = 0;
  termios initial_{};
  // Where feed() stands in the byte stream, for spelling out repeats.
  enum class Parse { text, escape, charset, control } parse_ = Parse::text;
  std::string control_;
  char last_printed_ = ' ';
};

}  // namespace e2e
