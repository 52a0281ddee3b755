// bench_unit_cpu: what the running simulated unit costs, thread by thread.
//
//   bench_unit_cpu [--seconds N] [--warmup N] [--phase meters|plot|both]
//
// Starts kavzil-sim (the one beside this program) headless and measures a
// window of N seconds (default 30 per phase, so the default run is a
// scripted minute) after a warm-up (default 12 s: the start-up and the
// layout keys are over):
//
//   meters  one unit on its first layout (the meters) with a steady 2.5 W
//           carrier at the amplifier's input;
//   plot    a server unit with the simulated transceiver, which forwards its
//           spectrum, and a client unit on the spectrum plot layout: the
//           client (the measured one) draws a new trace with every spectrum.
//
// For every thread of the measured process (named by its comm: the program
// names each thread it starts) it prints the processor time over the window
// as a share of one core (utime + stime of /proc/PID/task/TID/stat), the
// total of the program's threads, that of the simulator's own threads
// (names starting "sim-" and the process's main thread, which only waits
// headless) and the peak resident set (VmHWM of /proc/PID/status) read at
// the end of the window. Shares are of one core over the same wall time,
// so they compare across machines as well as the machines' cores do.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

struct ThreadTicks {
  std::string name;
  long long ticks = 0;
};

using Sample = std::map<int, ThreadTicks>;  // by thread id

std::string readFile(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return {};
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// utime + stime of every thread of `pid`. The comm in the stat line may
// hold blanks and parentheses: the fields start after the last ')'.
Sample sample(pid_t pid) {
  Sample out;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string stat = readFile(dir + "/" + e->d_name + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    ThreadTicks t;
    t.name = stat.substr(open + 1, close - open - 1);
    // After ") ": state(3) ppid pgrp session tty tpgid flags minflt cminflt
    // majflt cmajflt utime(14) stime(15).
    const char *p = stat.c_str() + close + 2;
    unsigned long long v[13] = {};
    int field = 3;
    while (*p != 0 && field <= 15) {
      const char *end = strchr(p, ' ');
      if (field >= 14) v[field - 14] = strtoull(p, nullptr, 10);
      if (end == nullptr) break;
      p = end + 1;
      field++;
    }
    t.ticks = (long long)(v[0] + v[1]);
    out[atoi(e->d_name)] = t;
  }
  closedir(d);
  return out;
}

long peakRssKb(pid_t pid) {
  std::string s = readFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = s.find("VmHWM:");
  return at == std::string::npos ? -1 : atol(s.c_str() + at + 6);
}

pid_t spawn(const std::vector<std::string> &args, const std::string &log) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    fprintf(stderr, "bench_unit_cpu: cannot start %s: %s\n", argv[0], strerror(rc));
    return -1;
  }
  return pid;
}

int finish(pid_t pid) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

bool isSimThread(const std::string &name) {
  return name.rfind("sim-", 0) == 0 || name == "kavzil-sim";
}

// Prints the window's shares per thread (a thread that ended inside the
// window is missing: its time is not in /proc any more).
void report(const char *phase, const Sample &a, const Sample &b, double seconds, long rssKb) {
  const double hz = double(sysconf(_SC_CLK_TCK));
  std::map<std::string, long long> byName;  // several threads may share a name
  long long program = 0, sim = 0;
  for (const auto &[tid, t] : b) {
    auto before = a.find(tid);
    long long d = t.ticks - (before == a.end() ? 0 : before->second.ticks);
    byName[t.name] += d;
    (isSimThread(t.name) ? sim : program) += d;
  }
  auto pct = [&](long long ticks) { return 100.0 * double(ticks) / hz / seconds; };
  printf("%s: %.0f s window\n", phase, seconds);
  for (const auto &[name, d] : byName)
    printf("  %-16s %6.2f %% of one core%s\n", name.c_str(), pct(d),
           isSimThread(name) ? "  (simulator)" : "");
  printf("  program total    %6.2f %% of one core\n", pct(program));
  printf("  with simulator   %6.2f %% of one core\n", pct(program + sim));
  printf("  peak RSS         %6.1f MB (%ld kB)\n", double(rssKb) / 1024.0, rssKb);
  fflush(stdout);
}

void sleepS(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// Measures `pid` over [warmup, warmup + seconds] from now.
void measure(const char *phase, pid_t pid, double warmup, double seconds) {
  sleepS(warmup);
  Sample a = sample(pid);
  auto t0 = std::chrono::steady_clock::now();
  sleepS(seconds);
  Sample b = sample(pid);
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  report(phase, a, b, wall, peakRssKb(pid));
}

struct Options {
  double seconds = 30, warmup = 12;
  bool meters = true, plot = true;
};

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--seconds" && v) {
      o.seconds = atof(argv[++i]);
    } else if (a == "--warmup" && v) {
      o.warmup = atof(argv[++i]);
    } else if (a == "--phase" && v) {
      std::string p = argv[++i];
      o.meters = p == "meters" || p == "both";
      o.plot = p == "plot" || p == "both";
    } else {
      fprintf(stderr,
              "usage: bench_unit_cpu [--seconds N] [--warmup N] [--phase meters|plot|both]\n");
      return 2;
    }
  }
  if (o.seconds <= 0 || o.warmup < 8 || (!o.meters && !o.plot)) {
    fprintf(stderr, "bench_unit_cpu: --seconds above 0, --warmup at least 8\n");
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path here = fs::canonical("/proc/self/exe").parent_path();
  const std::string sim = (here / "kavzil-sim").string();
  const std::string remote = (here / "kz-remote").string();
  char tmpl[] = "/tmp/kz-unitcpu-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const fs::path root = tmpl;
  const std::string total = std::to_string(int(o.warmup + o.seconds + 30));
  printf("bench_unit_cpu: %d core(s), %ld ticks/s, scratch %s\n",
         int(std::thread::hardware_concurrency()), sysconf(_SC_CLK_TCK), tmpl);

  if (o.meters) {
    pid_t unit = spawn({sim, "--root", (root / "meters").string(), "--headless", "--quiet",
                        "--drive", "2.5", "--seconds", total},
                       (root / "meters.log").string());
    if (unit < 0) return 1;
    measure("meters, steady 2.5 W carrier", unit, o.warmup, o.seconds);
    finish(unit);
  }
  if (o.plot) {
    const std::string port = std::to_string(20000 + getpid() % 10000);
    pid_t server = spawn({sim, "--root", (root / "server").string(), "--headless", "--quiet",
                          "--xcvr", "builtin", "--freq", "21200000", "--setup", "WebSocket=1",
                          "--setup", "TcpPort=" + port, "--seconds", "100000", "--script",
                          "8:1:long,9:2,10:1"},
                         (root / "server.log").string());
    if (server < 0) return 1;
    // The transceiver's own spectrum is forwarded once a peer asks for it.
    bool asked = false;
    for (int i = 0; i < 60 && !asked; i++) {
      sleepS(1);
      pid_t r = spawn({remote, "127.0.0.1", port, "--send", "VORNFT00", "--count", "1"},
                      (root / "remote.log").string());
      int st = 0;
      if (r > 0) waitpid(r, &st, 0);
      asked = r > 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    if (!asked) {
      fprintf(stderr, "bench_unit_cpu: the server unit did not take the spectrum request\n");
      finish(server);
      return 1;
    }
    pid_t client = spawn({sim, "--root", (root / "client").string(), "--headless", "--quiet",
                          "--xcvr", "absent", "--setup", "WebSocket=2", "--setup",
                          "Server=127.0.0.1", "--setup", "TcpPort=" + port, "--seconds", total,
                          "--script", "8:1:long,9:2,10:1,11:6,11.5:6,12:6"},
                         (root / "client.log").string());
    if (client < 0) {
      finish(server);
      return 1;
    }
    measure("plot layout, moving trace (client unit)", client, o.warmup + 2, o.seconds);
    finish(client);
    finish(server);
  }
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
