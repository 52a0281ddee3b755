// kz-catport: the simulated CAT port of the KAV transceiver as a program of
// its own, for a unit started with --catport external. It links its PTY
// as ROOT/dev/VORNCAT0 (the unit's network CAT thread finds it there 3 s
// after the remote group starts), answers as sim/catport_sim.h says,
// sends each line typed on standard input (e.g. FA;) as the transceiver's
// own text, and prints every command it receives, one a line, so what
// crosses the remote link from the peer unit's CAT port can be watched.
// Ctrl-D or Ctrl-C ends it and removes the link.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "sim/catport_sim.h"

namespace {
std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }
}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "usage: kz-catport ROOT\n  links a simulated CAT port as ROOT/dev/VORNCAT0, "
                    "sends the lines typed, prints what it receives\n");
    return 2;
  }
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);
  const std::string link = std::string(argv[1]) + "/dev/VORNCAT0";
  std::error_code ec;
  std::filesystem::create_directories(std::string(argv[1]) + "/dev", ec);
  CatPortSim *c = catPortSimStart();
  if (c == nullptr) {
    fprintf(stderr, "kz-catport: cannot open a PTY\n");
    return 1;
  }
  unlink(link.c_str());
  if (symlink(catPortSimSlavePath(c), link.c_str()) != 0) {
    fprintf(stderr, "kz-catport: cannot link %s: %s\n", link.c_str(), strerror(errno));
    catPortSimStop(c);
    return 1;
  }
  fprintf(stderr, "kz-catport: %s linked as %s; type commands (FA; IF; ...), Ctrl-D ends\n",
          catPortSimSlavePath(c), link.c_str());
  size_t shown = 0;
  std::string line;
  bool input = true;
  while (!gStop.load()) {
    pollfd p{0, POLLIN, 0};
    if (input && poll(&p, 1, 50) > 0) {
      char buf[256];
      const ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) {
        input = false;
        gStop = true;  // Ctrl-D: what is still coming is printed below
      }
      for (ssize_t i = 0; i < n; i++) {
        if (buf[i] != '\n') {
          line += buf[i];
        } else if (!line.empty()) {
          catPortSimSend(c, line);
          line.clear();
        }
      }
    } else if (!input) {
      usleep(50000);
    }
    const auto got = catPortSimReceived(c);
    for (; shown < got.size(); shown++) printf("%s\n", got[shown].c_str());
    fflush(stdout);
  }
  unlink(link.c_str());
  catPortSimStop(c);
  return 0;
}
