// The pseudo-terminal harness: the program writes to a pty, libvterm plays the terminal, and
// the program's own state in /proc tells when it waits for a key.
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include "e2e/terminal.h"

#include "e2e/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Replies of the emulator (cursor reports and the like) go back to the program as input.
void answer_terminal_query(const char* bytes, std::size_t length, void* user) {
  static_cast<Terminal*>(user)->send(std::string_view(bytes, length));
}

char ascii_of(std::uint32_t glyph) {
  if (glyph == 0) return ' ';
  if (glyph < 0x80) return static_cast<char>(glyph);
  switch (glyph) {
    case 0x2500:  // horizontal line
      return '-';
    case 0x2502:  // vertical line
      return '|';
    case 0x250c:
    case 0x2510:
    case 0x2514:
    case 0x2518:  // corners
      return '+';
    default:
      return '#';
  }
}

std::string read_small_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The calls in which a program sleeps until its input has something to read; which of them
// exist differs between architectures.
bool waits_for_input(long number) {
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
#ifdef SYS_ppoll
  if (number == SYS_ppoll) return true;
#endif
#ifdef SYS_ppoll_time64
  if (number == SYS_ppoll_time64) return true;
#endif
#ifdef SYS_select
  if (number == SYS_select) return true;
#endif
#ifdef SYS__newselect
  if (number == SYS__newselect) return true;
#endif
#ifdef SYS_pselect6
  if (number == SYS_pselect6) return true;
#endif
#ifdef SYS_pselect6_time64
  if (number == SYS_pselect6_time64) return true;
#endif
  return false;
}

}  // namespace

// What the terminal sends for a key, as its terminfo entry describes it. The program turns
// keypad transmit mode on, in which xterm sends its cursor keys with ESC O.
std::string key_bytes(std::string_view term, Key key) {
  const bool xterm = term.rfind("xterm", 0) == 0;
  // A vt100's arrows in keypad transmit mode are its application sequences, as xterm's.
  const bool arrows = xterm || term == "vt100";
  switch (key) {
    case Key::up:
      return arrows ? "\033OA" : "\033[A";
    case Key::down:
      return arrows ? "\033OB" : "\033[B";
    case Key::right:
      return arrows ? "\033OC" : "\033[C";
    case Key::left:
      return arrows ? "\033OD" : "\033[D";
    case Key::home:
      return xterm ? "\033OH" : "\033[1~";
    case Key::end:
      return xterm ? "\033OF" : "\033[4~";
    case Key::page_up:
      return "\033[5~";
    case Key::page_down:
      return "\033[6~";
  }
  return "";
}

Terminal::Terminal(const TerminalRun& run)
    : term_(run.term), rows_(run.rows), cols_(run.cols), read_rate_(run.read_rate) {
  winsize size{};
  size.ws_row = static_cast<unsigned short>(run.rows);
  size.ws_col = static_cast<unsigned short>(run.cols);
  if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) std::abort();
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  if (run.speed != 0) {
    termios modes{};
    if (tcgetattr(slave_, &modes) != 0 || cfsetospeed(&modes, run.speed) != 0 ||
        tcsetattr(slave_, TCSANOW, &modes) != 0) {
      std::abort();
    }
  }
  tcgetattr(slave_, &initial_);

  vt_ = vterm_new(run.rows, run.cols);
  vterm_set_utf8(vt_, 1);
  vterm_output_set_callback(vt_, answer_terminal_query, this);
  screen_ = vterm_obtain_screen(vt_);
  vterm_screen_enable_altscreen(screen_, 1);
  vterm_screen_reset(screen_, 1);

  std::vector<std::string> argv_text =
      run.command.empty() ? program_command(run.args) : run.command;
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    if (run.ignore_hangup) ::signal(SIGHUP, SIG_IGN);
    const int input = run.input_from_null ? open("/dev/null", O_RDONLY) : slave_;
    dup2(input, STDIN_FILENO);
    dup2(slave_, STDOUT_FILENO);
    dup2(slave_, STDERR_FILENO);
    setenv("TERM", run.term.c_str(), 1);
    // Curses takes these over the terminal's own size.
    unsetenv("LINES");
    unsetenv("COLUMNS");
    if (!run.scenario.empty()) {
      setenv("LD_PRELOAD", CAMSIM_PRELOAD, 1);
      setenv("CAMSIM_SCENARIO", run.scenario.c_str(), 1);
      // A sanitizer build would refuse the preloaded library ahead of its runtime.
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    if (!run.log_path.empty()) setenv("CAMSIM_LOG", run.log_path.c_str(), 1);
    for (const auto& [name, value] : run.env) setenv(name.c_str(), value.c_str(), 1);
    hand_environment_to_program();  // a cross build runs the program under its emulator
    execvp(argv[0], argv.data());
    _exit(127);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Terminal::~Terminal() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  if (vt_ != nullptr) vterm_free(vt_);
}

bool Terminal::pump(int timeout_ms) {
  if (master_ < 0) return false;
  char buffer[4096];
  std::size_t chunk = sizeof buffer;
  if (read_rate_ > 0) {
    // A paced line: the bytes of 10 ms at a time, none before the line has sent the last.
    const auto now = Clock::now();
    if (now < line_free_) {
      const auto wait =
          std::min<Clock::duration>(line_free_ - now, std::chrono::milliseconds(timeout_ms));
      std::this_thread::sleep_for(wait);
      if (Clock::now() < line_free_) return false;
      timeout_ms = 0;
    }
    chunk = std::clamp<std::size_t>(static_cast<std::size_t>(read_rate_ / 100), 1, sizeof buffer);
  }
  pollfd p{master_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0 || (p.revents & POLLIN) == 0) return false;
  bool got = false;
  for (;;) {
    const ssize_t n = read(master_, buffer, chunk);
    if (n <= 0) break;
    bytes_ += static_cast<std::size_t>(n);
    feed(buffer, static_cast<std::size_t>(n));
    got = true;
    if (read_rate_ > 0) {
      line_free_ =
          std::max(line_free_, Clock::now()) + std::chrono::microseconds(n * 1000000L / read_rate_);
      break;
    }
  }
  return got;
}

// Passes the program's output to the emulator, spelling out each "repeat the last character"
// request (CSI n b) as that many characters: libvterm 0.1.4 wraps the next character to a new
// line when a repeat ends one column short of the right edge, which no real terminal does.
void Terminal::feed(const char* bytes, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = bytes[i];
    switch (parse_) {
      case Parse::text:
        if (c == '\033') {
          parse_ = Parse::escape;  // written out once it is known what follows
          break;
        }
        if (c >= 0x20 && c < 0x7f) last_printed_ = c;
        out += c;
        break;
      case Parse::escape:
        if (c == '[') {
          parse_ = Parse::control;
          control_.clear();
        } else {
          parse_ = c == '(' || c == ')' ? Parse::charset : Parse::text;
          out += '\033';
          out += c;
        }
        break;
      case Parse::charset:
        parse_ = Parse::text;
        out += c;
        break;
      case Parse::control:
        if (c >= 0x40 && c <= 0x7e) {
          parse_ = Parse::text;
          if (c == 'b') {
            const int count = control_.empty() ? 1 : std::atoi(control_.c_str());
            out.append(static_cast<std::size_t>(std::max(count, 0)), last_printed_);
          } else {
            out += "\033[" + control_ + c;
          }
        } else {
          control_ += c;
        }
        break;
    }
  }
  vterm_input_write(vt_, out.data(), out.size());
}

bool Terminal::wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    pump(20);
  }
  return true;
}

bool Terminal::wait_for_text(int row, int col, std::string_view text,
                             std::chrono::milliseconds timeout) {
  return wait_until([&] { return this->text(row, col, static_cast<int>(text.size())) == text; },
                    timeout);
}

void Terminal::drain(std::chrono::milliseconds quiet) {
  while (pump(static_cast<int>(quiet.count()))) {
  }
}

// Asleep in a read (or a wait for input) on its standard input, with no input left unread.
bool Terminal::waits_for_key() const {
  int pending = 0;
  if (ioctl(slave_, FIONREAD, &pending) != 0 || pending != 0) return false;
  const std::string stat = read_small_file("/proc/" + std::to_string(pid_) + "/stat");
  const std::size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= stat.size()) return false;
  if (stat[close_paren + 2] != 'S') return false;
  const std::string call = read_small_file("/proc/" + std::to_string(pid_) + "/syscall");
  long number = -1;
  unsigned long first_arg = 99;
  if (std::sscanf(call.c_str(), "%ld %lx", &number, &first_arg) != 2) return false;
  if (number == SYS_read) return first_arg == 0;
  return waits_for_input(number);
}

std::uint64_t Terminal::bytes_read_by_program() const {
  const std::string io = read_small_file("/proc/" + std::to_string(pid_) + "/io");
  const std::size_t at = io.find("rchar: ");
  return at == std::string::npos ? 0 : std::strtoull(io.c_str() + at + 7, nullptr, 10);
}

bool Terminal::settle(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pump(0);
    if (reap(false)) {
      pump(0);
      return false;
    }
    if (bytes_read_by_program() >= expected_read_ && waits_for_key()) {
      // What it wrote before it went to sleep is in the pty by now.
      while (pump(0)) {
      }
      return true;
    }
    if (Clock::now() >= deadline) return false;
    pump(1);
  }
}

void Terminal::send(std::string_view bytes) {
  if (master_ < 0) return;
  expected_read_ = std::max(expected_read_, bytes_read_by_program()) + bytes.size();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      pump(5);  // the program's output may have to be taken first
    }
  }
}

void Terminal::write_over(std::string_view text) {
  // A failed write shows as text that never appears on the screen.
  if (slave_ < 0 || ::write(slave_, text.data(), text.size()) < 0) return;
}

void Terminal::send_key(Key key) {
  send(key_bytes(term_, key));
}

void Terminal::resize(int rows, int cols) {
  rows_ = rows;
  cols_ = cols;
  vterm_set_size(vt_, rows, cols);
  winsize size{};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(cols);
  // The kernel tells the program with SIGWINCH, as a terminal window would.
  ioctl(master_, TIOCSWINSZ, &size);
}

void Terminal::hang_up() {
  pump(0);
  close(master_);
  master_ = -1;
  // The parent's own descriptor of the terminal would keep the line alive otherwise.
  close(slave_);
  slave_ = -1;
}

bool Terminal::reap(bool block) {
  if (exited_) return true;
  int status = 0;
  const pid_t r = wait4(pid_, &status, block ? 0 : WNOHANG, &usage_);
  if (r != pid_) return false;
  exited_ = true;
  if (WIFEXITED(status)) status_ = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    signal_ = WTERMSIG(status);
    dumped_core_ = WCOREDUMP(status);
  }
  return true;
}

int Terminal::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!reap(false)) {
    if (Clock::now() >= deadline) return -1;
    if (!pump(20)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // What the program wrote last is still in the pty.
  drain(std::chrono::milliseconds(20));
  return status_;
}

std::string Terminal::text(int row, int col, int length) const {
  std::string result;
  for (int c = col; c < col + length; ++c) {
    VTermScreenCell cell{};
    if (row < 0 || row >= rows_ || c < 0 || c >= cols_) {
      result += '\0';
      continue;
    }
    vterm_screen_get_cell(screen_, VTermPos{row, c}, &cell);
    result += ascii_of(cell.chars[0]);
  }
  return result;
}

std::string Terminal::row_text(int row) const {
  return text(row, 0, cols_);
}

int Terminal::background(int row, int col) const {
  VTermScreenCell cell{};
  vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
  if (VTERM_COLOR_IS_DEFAULT_BG(&cell.bg) || !VTERM_COLOR_IS_INDEXED(&cell.bg)) return -1;
  return cell.bg.indexed.idx;
}

bool Terminal::reverse(int row, int col) const {
  VTermScreenCell cell{};
  vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
  return cell.attrs.reverse != 0;
}

std::string Terminal::dump() const {
  std::string result = "screen:\n";
  for (int row = 0; row < rows_; ++row) {
    std::string marks(static_cast<std::size_t>(cols_), ' ');
    bool any = false;
    for (int col = 0; col < cols_; ++col) {
      if (reverse(row, col)) marks[static_cast<std::size_t>(col)] = '^', any = true;
    }
    result += (row < 10 ? " " : "") + std::to_string(row) + " [" + row_text(row) + "]\n";
    if (any) result += "    " + marks + "  (reverse video)\n";
  }
  return result;
}

termios Terminal::modes() const {
  termios t{};
  tcgetattr(slave_, &t);
  return t;
}

}  // namespace e2e
