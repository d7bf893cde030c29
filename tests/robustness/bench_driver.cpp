// Measurements for bench/RESULTS.md, one per subcommand, each printing "key=value" lines:
//   requests SCENARIO [NODE]     device requests at start, list mode and screen, and minimums;
//                                on a media graph's NODE ("video2"), summed over every node
//   bytes SCENARIO TERM          bytes sent to an 80x24 terminal: first screen, single keys and
//                                a repaint (Ctrl-L)
//   time SCENARIO MODE RUNS      median wall time of list mode or of the first complete screen
//   rss SCENARIO                 peak resident memory of a list run and of a screen session
//   screen SCENARIO -- ARGV...   runs ARGV (the program, or a profiler around it) on a pty until
//                                its first complete screen, then quits it with Q; prints its
//                                peak memory
//   walk SCENARIO -- ARGV...     the same, with End and Home before Q
//   follow SCENARIO TERM         the screen following the camera: bytes sent for another
//                                program's write to a shown row and for a row that joins the
//                                list (auto gain off, by Left and by another program), the
//                                time a change waits behind a lone Esc, and the requests and
//                                CPU time of 10 s of an idle screen
//   picture SCENARIO TERM        the picture view: bytes sent to open it, for its first frame,
//                                for a frame after a Brightness step, for a frame unchanged,
//                                the peak memory of the session, and the changed frames a
//                                second drawn over a 115200 baud line (the pty declares it, its
//                                output is read at 11520 bytes a second) while frames come
//                                faster
// SPDX-FileCopyrightText: 2026 the camera_control developers
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controls/control_table.h"
#include "e2e/run_program.h"
#include "e2e/terminal.h"
#include "sim/camera.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::pair<std::string, std::string>> camera_env(const std::string& scenario,
                                                            const std::string& log) {
  std::vector<std::pair<std::string, std::string>> env{
      {"LD_PRELOAD", CAMSIM_PRELOAD},
      {"CAMSIM_SCENARIO", scenario},
      {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  if (!log.empty()) env.emplace_back("CAMSIM_LOG", log);
  return env;
}

// Runs the program in list mode, output discarded (or kept in the file out); returns the
// child's resource use.
bool run_list(const std::string& scenario, const std::string& log, rusage& usage,
              const std::string& node = "/dev/video0", const std::string& out = "/dev/null") {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    const int listing = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(null, STDIN_FILENO);
    dup2(listing, STDOUT_FILENO);
    for (const auto& [name, value] : camera_env(scenario, log))
      setenv(name.c_str(), value.c_str(), 1);
    execl(CAMERA_CONTROL_BINARY, CAMERA_CONTROL_BINARY, "-l", "-v", node.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  return wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

e2e::TerminalRun screen_run(const std::string& scenario, const std::string& log,
                            std::vector<std::string> args = {}) {
  e2e::TerminalRun run;
  run.args = std::move(args);
  run.scenario = scenario;
  run.log_path = log;
  return run;
}

bool quit(e2e::Terminal& session) {
  session.send("q");
  return session.wait_exit() == 0;
}

std::string temp_path(const char* name) {
  char dir[] = "/tmp/camctl-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  return std::string(dir) + "/" + name;
}

// One count ("total", "subscribe_event", ...) of the log's last request line.
long logged_count(const std::string& text, const std::string& key) {
  const std::size_t line = text.rfind("requests ");
  if (line == std::string::npos) return -1;
  const std::size_t at = text.find(" " + key + "=", line);
  return at == std::string::npos ? -1
                                 : std::strtol(text.c_str() + at + key.size() + 2, nullptr, 10);
}

// The log's text, and the log and its directory gone.
std::string take_log(const std::string& log) {
  std::string text = e2e::read_file(log);
  std::remove(log.c_str());
  rmdir(log.substr(0, log.rfind('/')).c_str());
  return text;
}

long logged_total(const std::string& log) {
  return logged_count(take_log(log), "total");
}

camsim::Scenario load(const std::string& path) {
  camsim::Scenario scenario;
  std::string error;
  if (!camsim::load_scenario_file(path.c_str(), scenario, error)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    std::exit(2);
  }
  return scenario;
}

// The fewest requests a walk can make on this camera: the capability query, one QUERYCTRL per
// control plus the one that ends the walk, a G_CTRL per control the user may change, and on
// the screen one QUERYMENU per index in each menu's range (a driver may leave gaps anywhere),
// the capture format, and one event subscription per control that is listed or may become
// listed (an inactive one the user could change once active).
struct Minimum {
  long list = 0;
  long screen = 0;
  long subscriptions = 0;
};

Minimum minimum_requests(const camsim::Scenario& s) {
  constexpr std::uint32_t kSkip =
      V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_INACTIVE;
  Minimum m;
  m.list = 1 + static_cast<long>(s.controls.size()) + 1;
  long menus = 0;
  for (const camsim::Control& c : s.controls) {
    const bool menu = c.type == V4L2_CTRL_TYPE_MENU || c.type == V4L2_CTRL_TYPE_INTEGER_MENU;
    const bool empty_menu = menu && std::int64_t{c.maximum} == std::int64_t{c.minimum} - 1;
    const bool plain_type = (c.flags & V4L2_CTRL_FLAG_WRITE_ONLY) == 0 &&
                            c.type != V4L2_CTRL_TYPE_INTEGER64 &&
                            c.type < V4L2_CTRL_COMPOUND_TYPES && c.type != V4L2_CTRL_TYPE_STRING;
    const bool has_value = c.type == V4L2_CTRL_TYPE_INTEGER || c.type == V4L2_CTRL_TYPE_BOOLEAN ||
                           c.type == V4L2_CTRL_TYPE_BITMASK || menu;
    if ((c.flags & kSkip) == V4L2_CTRL_FLAG_INACTIVE && plain_type && has_value && !empty_menu)
      ++m.subscriptions;  // may turn active: watched, but neither read nor asked for menus yet
    if ((c.flags & kSkip) != 0) continue;
    ++m.list;  // G_CTRL
    const bool readable = c.value_error == 0 && plain_type;
    if (c.value_error == 0 && !empty_menu) ++m.subscriptions;
    if (!readable || !menu) continue;
    const std::int64_t first = std::max<std::int64_t>(c.minimum, 0);
    const std::int64_t span = std::int64_t{c.maximum} - first + 1;
    if (span > 0) menus += std::min<std::int64_t>(span, camctl::kMaxMenuQueries);
  }
  m.screen = m.list + menus + 1 + m.subscriptions;
  return m;
}

int cmd_requests(const std::string& scenario) {
  const camsim::Scenario camera = load(scenario);
  const std::string list_log = temp_path("list.log");
  rusage usage{};
  if ((camera.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
    // A node that is no capture device: the capability query is all it takes to refuse it.
    const bool listed = run_list(scenario, list_log, usage);
    const long total = logged_total(list_log);
    if (listed) return 1;
    std::printf("refused=%ld\nrefused_minimum=1\n", total);
    return 0;
  }
  const Minimum minimum = minimum_requests(camera);
  if (!run_list(scenario, list_log, usage)) return 1;
  const std::string screen_log = temp_path("screen.log");
  {
    e2e::Terminal session(screen_run(scenario, screen_log));
    if (!session.settle() || !quit(session)) return 1;
  }
  const long list_total = logged_total(list_log);
  const std::string screen_text = take_log(screen_log);
  std::printf("list=%ld\nlist_minimum=%ld\nscreen=%ld\nscreen_minimum=%ld\n", list_total,
              minimum.list, logged_count(screen_text, "total"), minimum.screen);
  std::printf("subscriptions=%ld\nsubscriptions_minimum=%ld\n",
              logged_count(screen_text, "subscribe_event"), minimum.subscriptions);
  return 0;
}

// The sum of one count over every node's request line.
long summed_count(const std::string& text, const std::string& key) {
  long sum = 0;
  for (std::size_t line = text.find("requests "); line != std::string::npos;
       line = text.find("requests ", line + 1)) {
    const std::size_t end = text.find('\n', line);
    const std::size_t at = text.find(" " + key + "=", line);
    if (at < end) sum += std::strtol(text.c_str() + at + key.size() + 2, nullptr, 10);
  }
  return sum;
}

// A camera on a media graph's node: the graph read once, then each node the program named in
// its start-up lines walked once; the capture node also answers VIDIOC_QUERYCAP and on the
// screen G_FMT, a subdevice opened directly VIDIOC_QUERYCAP (which it refuses) and its own.
int cmd_media_requests(const std::string& scenario, const std::string& devname) {
  camsim::MediaScenario media;
  std::string error;
  if (!camsim::parse_media_scenario(e2e::read_file(scenario), media, error)) {
    std::fprintf(stderr, "%s: %s\n", scenario.c_str(), error.c_str());
    return 2;
  }
  const std::string node = "/dev/" + devname;
  const std::string list_log = temp_path("list.log");
  const std::string listing = temp_path("list.out");
  rusage usage{};
  if (!run_list(scenario, list_log, usage, node, listing)) return 1;
  const std::string screen_log = temp_path("screen.log");
  {
    e2e::Terminal session(screen_run(scenario, screen_log, {"-v", node}));
    if (!session.settle() || !quit(session)) return 1;
  }
  std::vector<std::string> walked = {devname};
  const std::string out = take_log(listing);
  for (std::size_t at = out.find(" on /dev/"); at != std::string::npos;
       at = out.find(" on /dev/", at + 1)) {
    walked.push_back(out.substr(at + 9, out.find('\n', at) - at - 9));
  }
  Minimum minimum;
  const bool subdevice = walked.size() == 1 && media.nodes.size() > 0 &&
                         std::any_of(media.nodes.begin(), media.nodes.end(), [&](const auto& n) {
                           return n.devname == devname && n.scenario.subdevice;
                         });
  for (const camsim::MediaNode& n : media.nodes) {
    if (std::find(walked.begin(), walked.end(), n.devname) == walked.end()) continue;
    const Minimum m = minimum_requests(n.scenario);
    const bool named = n.devname == devname;
    // A subdevice reached through the graph needs no capability query, and has no format.
    const long capability = named ? (subdevice ? 1 : 0) : -1;
    const long format = named && !subdevice ? 0 : -1;
    minimum.list += m.list + capability;
    minimum.screen += m.screen + capability + format;
    minimum.subscriptions += m.subscriptions;
  }
  const long topology = walked.size() > 1 ? 1 : 0;
  minimum.list += topology;
  minimum.screen += topology;
  const std::string list_text = take_log(list_log);
  const std::string screen_text = take_log(screen_log);
  std::printf("nodes=%zu\ntopology=%ld\n", walked.size(), summed_count(list_text, "topology"));
  std::printf("list=%ld\nlist_minimum=%ld\nscreen=%ld\nscreen_minimum=%ld\n",
              summed_count(list_text, "total"), minimum.list, summed_count(screen_text, "total"),
              minimum.screen);
  std::printf("subscriptions=%ld\nsubscriptions_minimum=%ld\n",
              summed_count(screen_text, "subscribe_event"), minimum.subscriptions);
  return 0;
}

int cmd_bytes(const std::string& scenario, const std::string& term) {
  // A settings path of exactly 27 characters.
  char dir[] = "/tmp/camctl-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string path = std::string(dir) + "/";
  path += std::string(27 - path.size() - 4, 'c') + ".txt";
  e2e::TerminalRun run = screen_run(scenario, "", {"-c", path});
  run.term = term;
  e2e::Terminal session(run);
  if (!session.settle()) return 1;
  std::size_t before = session.bytes_received();
  std::printf("first_screen=%zu\n", before);
  const std::pair<const char*, std::string> keys[] = {
      {"right", e2e::key_bytes(term, e2e::Key::right)},
      {"down", e2e::key_bytes(term, e2e::Key::down)},
      {"page_up", e2e::key_bytes(term, e2e::Key::page_up)},
      {"save", "s"},
      {"repaint", "\x0c"}};
  for (const auto& [name, bytes] : keys) {
    session.send(bytes);
    if (!session.settle()) return 1;
    std::printf("%s=%zu\n", name, session.bytes_received() - before);
    before = session.bytes_received();
  }
  std::printf("path_length=%zu\n", path.size());
  const bool ok = quit(session);
  std::remove(path.c_str());
  rmdir(dir);
  return ok ? 0 : 1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int cmd_time(const std::string& scenario, const std::string& mode, int runs) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    if (mode == "list") {
      rusage usage{};
      if (!run_list(scenario, "", usage)) return 1;
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    } else {
      e2e::Terminal session(screen_run(scenario, ""));
      if (!session.settle()) return 1;
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      if (!quit(session)) return 1;
    }
  }
  std::printf("median_ms=%.2f\nruns=%d\n", median(ms), runs);
  return 0;
}

int cmd_rss(const std::string& scenario) {
  rusage usage{};
  if (!run_list(scenario, "", usage)) return 1;
  std::printf("list_kib=%ld\n", usage.ru_maxrss);
  e2e::Terminal session(screen_run(scenario, ""));
  if (!session.settle()) return 1;
  // Through the whole list and back, every row drawn.
  session.send_key(e2e::Key::end);
  session.send_key(e2e::Key::home);
  if (!session.settle() || !quit(session)) return 1;
  std::printf("screen_kib=%ld\n", session.usage().ru_maxrss);
  return 0;
}

// With walk, also goes through the whole list and back before Q, every row drawn.
int cmd_screen(const std::string& scenario, std::vector<std::string> argv, bool walk) {
  e2e::TerminalRun run;
  run.command = std::move(argv);
  run.scenario = scenario;
  e2e::Terminal session(run);
  if (!session.settle(std::chrono::seconds(300))) return 1;
  if (walk) {
    session.send_key(e2e::Key::end);
    session.send_key(e2e::Key::home);
    if (!session.settle(std::chrono::seconds(300))) return 1;
  }
  session.send("q");
  if (session.wait_exit(std::chrono::seconds(300)) != 0) return 1;
  std::printf("rss_kib=%ld\n", session.usage().ru_maxrss);
  return 0;
}

// What stands right-aligned after a control's name in the list window, or "" when the control
// is not listed (the list's rows are framed; the name starts after the marker).
std::string listed_value(const e2e::Terminal& session, const std::string& name) {
  for (int row = 5; row <= 22; ++row) {
    const std::string text = session.text(row, 2, 46);
    if (text.compare(2, name.size() + 1, name + " ") != 0) continue;
    const std::string rest = text.substr(2 + name.size());
    const std::size_t first = rest.find_first_not_of(' ');
    return first == std::string::npos ? ""
                                      : rest.substr(first, rest.find_last_not_of(' ') - first + 1);
  }
  return "";
}

// Bytes sent from a change until the screen shows it (done) and the program is quiet again.
long bytes_until(e2e::Terminal& session, const std::function<bool()>& done) {
  const std::size_t before = session.bytes_received();
  if (!session.wait_until(done)) return -1;
  session.drain();
  return static_cast<long>(session.bytes_received() - before);
}

// The camera's side channel: another program's writes and the unplug, as lines into a FIFO the
// simulated camera reads whenever the program waits on the node.
class SideChannel {
 public:
  SideChannel() : path_(temp_path("control")) {
    if (mkfifo(path_.c_str(), 0600) != 0) std::abort();
    // Open for reading too, so this end never waits for the program to open its end.
    fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  ~SideChannel() {
    if (fd_ >= 0) close(fd_);
    std::remove(path_.c_str());
    rmdir(path_.substr(0, path_.rfind('/')).c_str());
  }
  SideChannel(const SideChannel&) = delete;
  SideChannel& operator=(const SideChannel&) = delete;
  const std::string& path() const { return path_; }
  bool send(const std::string& line) {
    const std::string text = line + "\n";
    return write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Time the process has run on a CPU, in nanoseconds (the scheduler's own account).
long long cpu_ns(pid_t pid) {
  const std::string text = e2e::read_file("/proc/" + std::to_string(pid) + "/schedstat");
  return text.empty() ? -1 : std::strtoll(text.c_str(), nullptr, 10);
}

// A screen run that quits right after its first complete screen, or after idle_seconds more of
// waiting for a key: its requests, and the CPU time it took while it waited.
bool idle_run(const std::string& scenario, int idle_seconds, long& requests, double& cpu_ms) {
  const std::string log = temp_path("idle.log");
  {
    e2e::Terminal session(screen_run(scenario, log));
    if (!session.settle()) return false;
    const long long before = cpu_ns(session.pid());
    // The measured span itself; the program is left alone for it.
    std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
    const long long after = cpu_ns(session.pid());
    cpu_ms = static_cast<double>(after - before) / 1e6;
    if (before < 0 || after < 0 || !session.settle() || !quit(session)) return false;
  }
  requests = logged_total(log);
  return requests >= 0;
}

int cmd_follow(const std::string& scenario, const std::string& term) {
  SideChannel channel;
  e2e::TerminalRun run = screen_run(scenario, "");
  run.term = term;
  run.env.emplace_back("CAMSIM_CONTROL", channel.path());
  e2e::Terminal session(run);
  if (!session.settle() || listed_value(session, "Brightness") != "128") return 1;
  // Another program sets Brightness, the first row, selected: its row and the panel's Val.
  if (!channel.send("set id=0x00980900 value=77")) return 1;
  std::printf("other_write=%ld\n",
              bytes_until(session, [&] { return listed_value(session, "Brightness") == "77"; }));
  // The same on Contrast, a row that is not selected: no panel, no selection bar's colours.
  if (!session.settle() || !channel.send("set id=0x00980901 value=77")) return 1;
  std::printf("other_write_unselected=%ld\n",
              bytes_until(session, [&] { return listed_value(session, "Contrast") == "77"; }));
  // "Gain, Automatic" is the seventh row; Left turns it off and Gain joins below it.
  for (int i = 0; i < 6; ++i) session.send_key(e2e::Key::down);
  if (!session.settle() || !listed_value(session, "Gain").empty()) return 1;
  session.send_key(e2e::Key::left);
  std::printf("row_joins_by_key=%ld\n",
              bytes_until(session, [&] { return !listed_value(session, "Gain").empty(); }));
  // Another program turns it back on (Gain leaves) and off again (Gain joins).
  if (!session.settle() || !channel.send("set id=0x00980912 value=1")) return 1;
  std::printf("row_leaves_by_other=%ld\n",
              bytes_until(session, [&] { return listed_value(session, "Gain").empty(); }));
  if (!session.settle() || !channel.send("set id=0x00980912 value=0")) return 1;
  std::printf("row_joins_by_other=%ld\n",
              bytes_until(session, [&] { return !listed_value(session, "Gain").empty(); }));
  // A lone Esc: curses waits for the rest of a sequence that never comes, and a change the
  // camera reports meanwhile waits with it. Settled means curses' own wait has begun.
  if (!session.settle()) return 1;
  session.send("\x1b");
  if (!session.settle()) return 1;
  const auto esc_sent = Clock::now();
  if (!channel.send("set id=0x00980901 value=99") ||
      !session.wait_until([&] { return listed_value(session, "Contrast") == "99"; })) {
    return 1;
  }
  std::printf("change_behind_lone_escape_ms=%.0f\n",
              std::chrono::duration<double, std::milli>(Clock::now() - esc_sent).count());
  if (!session.settle() || !quit(session)) return 1;

  constexpr int kIdleSeconds = 10;
  long start_requests = 0, idle_requests = 0;
  double start_cpu = 0, idle_cpu = 0;  // the first run's is its (almost nil) settling moment
  if (!idle_run(scenario, 0, start_requests, start_cpu) ||
      !idle_run(scenario, kIdleSeconds, idle_requests, idle_cpu))
    return 1;
  std::printf("idle_seconds=%d\nidle_requests=%ld\nidle_cpu_ms=%.3f\n", kIdleSeconds,
              idle_requests - start_requests, idle_cpu);
  return 0;
}

// The meter line of the picture view, the screen's row 22.
std::string meter_line(const e2e::Terminal& session) {
  return session.row_text(22);
}

// Changed frames a second over a 115200 baud line: the pty declares that speed and its output
// is taken at 11520 bytes a second, while a frame is offered every 10 ms with Brightness
// turning between 128 and 136 (a changed frame each, as in frame_after_change). Counted are the
// meter lines seen to turn from one frame's to the other's, from the first turn to the last.
double paced_frames_per_second(const std::string& scenario, const std::string& term) {
  constexpr auto kSpan = std::chrono::seconds(10);
  constexpr auto kOffered = std::chrono::milliseconds(10);
  SideChannel channel;
  e2e::TerminalRun run = screen_run(scenario, "");
  run.term = term;
  run.speed = B115200;
  run.read_rate = 11520;
  run.env.emplace_back("CAMSIM_CONTROL", channel.path());
  e2e::Terminal session(run);
  if (!session.settle()) return -1;
  // On Contrast, so the Brightness steps leave the control line alone.
  session.send_key(e2e::Key::down);
  session.send("p");
  if (!session.wait_until([&] { return session.text(21, 1, 9) == "Contrast:"; })) return -1;
  auto offer = [&](int k) {
    return channel.send("set id=0x00980900 value=" + std::to_string(128 + 8 * (k % 2))) &&
           channel.send("frame");
  };
  std::string lines[2];
  for (int k = 0; k < 2; ++k) {
    const std::string before = meter_line(session);
    if (!offer(k) || !session.wait_until([&] {
          return meter_line(session) != before && meter_line(session).rfind(" Mean ", 0) == 0;
        })) {
      return -1;
    }
    session.drain();
    lines[k] = meter_line(session);
  }
  if (lines[0] == lines[1]) return -1;
  int shown = 1;
  int turns = 0;
  Clock::time_point first_turn;
  Clock::time_point last_turn;
  const Clock::time_point end = Clock::now() + kSpan;
  Clock::time_point next = Clock::now();
  for (int k = 0; Clock::now() < end; ++k) {
    if (!offer(k)) return -1;
    next += kOffered;
    session.wait_until([&] {
      if (meter_line(session) == lines[1 - shown]) {
        shown = 1 - shown;
        last_turn = Clock::now();
        if (turns++ == 0) first_turn = last_turn;
      }
      return Clock::now() >= next;
    });
  }
  if (!quit(session) || turns < 2) return -1;
  return (turns - 1) / std::chrono::duration<double>(last_turn - first_turn).count();
}

int cmd_picture(const std::string& scenario, const std::string& term) {
  SideChannel channel;
  e2e::TerminalRun run = screen_run(scenario, "");
  run.term = term;
  run.env.emplace_back("CAMSIM_CONTROL", channel.path());
  e2e::Terminal session(run);
  if (!session.settle()) return 1;
  session.send("p");
  std::printf("open=%ld\n",
              bytes_until(session, [&] { return session.text(21, 1, 11) == "Brightness:"; }));
  if (!session.settle() || !channel.send("frame")) return 1;
  std::printf("first_frame=%ld\n",
              bytes_until(session, [&] { return meter_line(session).rfind(" Mean ", 0) == 0; }));
  // One step of Brightness moves every cell's level a little: a frame after it redraws
  // the cells whose level crossed a step of the ramp or of the greys.
  for (int i = 0; i < 8; ++i) session.send_key(e2e::Key::right);
  if (!session.settle()) return 1;
  const std::string before = meter_line(session);
  if (!channel.send("frame")) return 1;
  std::printf("frame_after_change=%ld\n",
              bytes_until(session, [&] { return meter_line(session) != before; }));
  if (!session.settle()) return 1;
  const std::size_t still = session.bytes_received();
  if (!channel.send("frame") || !session.settle()) return 1;
  session.drain();
  std::printf("frame_unchanged=%zu\n", session.bytes_received() - still);
  if (!quit(session)) return 1;
  std::printf("rss_kib=%ld\n", session.usage().ru_maxrss);
  const double fps = paced_frames_per_second(scenario, term);
  if (fps < 0) return 1;
  std::printf("frames_per_second_115200=%.1f\n", fps);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 3 && args[0] == "requests") return cmd_media_requests(args[1], args[2]);
  if (args.size() >= 2 && args[0] == "requests") return cmd_requests(args[1]);
  if (args.size() >= 3 && args[0] == "bytes") return cmd_bytes(args[1], args[2]);
  if (args.size() >= 4 && args[0] == "time")
    return cmd_time(args[1], args[2], std::atoi(args[3].c_str()));
  if (args.size() >= 2 && args[0] == "rss") return cmd_rss(args[1]);
  if (args.size() >= 3 && args[0] == "follow") return cmd_follow(args[1], args[2]);
  if (args.size() >= 3 && args[0] == "picture") return cmd_picture(args[1], args[2]);
  if (args.size() >= 4 && (args[0] == "screen" || args[0] == "walk") && args[2] == "--") {
    // An empty scenario runs ARGV without the preloaded camera (it brings its own).
    return cmd_screen(args[1], std::vector<std::string>(args.begin() + 3, args.end()),
                      args[0] == "walk");
  }
  std::fprintf(stderr, "usage: see the opening comment of bench_driver.cpp\n");
  return 2;
}
