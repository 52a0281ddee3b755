// kavzil-sim's CAT peers; see sim_cat.h.
#include "app/sim_cat.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/sim_options.h"
#include "core/setup.h"
#include "platform/paths.h"
#include "sim/catport_sim.h"
#include "sim/ft817_sim.h"

int simCatAttach(SimOptions &o, SimCatPeers &p) {
  if (o.builtinFt817) {
    p.ft817 = ft817SimStart(o.freqHz);
    if (p.ft817 == nullptr) {
      fprintf(stderr, "kavzil-sim: cannot start the simulated FT-817\n");
      return -1;
    }
    const std::string path = ft817SimSlavePath(p.ft817);
    if (path.size() >= sizeof(SetupRec::CatSerialPort)) {
      fprintf(stderr, "kavzil-sim: PTY path %s is longer than CatSerialPort holds\n",
              path.c_str());
      simCatDetach(p);
      return -1;
    }
    o.setup.emplace_back("CatSerialPort", path);
    fprintf(stderr, "kavzil-sim: simulated FT-817 on %s\n", path.c_str());
  }
  if (o.builtinCatPort) {
    p.catPort = catPortSimStart();
    const std::string link = kzPath("/dev/VORNCAT0");
    if (p.catPort == nullptr || kzMakeParentDirs(link) != 0) {
      fprintf(stderr, "kavzil-sim: cannot start the simulated CAT port\n");
      simCatDetach(p);
      return -1;
    }
    unlink(link.c_str());  // a link left by an earlier run
    if (symlink(catPortSimSlavePath(p.catPort), link.c_str()) != 0) {
      fprintf(stderr, "kavzil-sim: cannot link %s: %s\n", link.c_str(), strerror(errno));
      simCatDetach(p);
      return -1;
    }
    p.catLink = link;
    fprintf(stderr, "kavzil-sim: simulated CAT port on %s, linked as %s\n",
            catPortSimSlavePath(p.catPort), link.c_str());
  }
  return 0;
}

void simCatDetach(SimCatPeers &p) {
  if (!p.catLink.empty()) unlink(p.catLink.c_str());
  p.catLink.clear();
  catPortSimStop(p.catPort);
  ft817SimStop(p.ft817);
  p.catPort = nullptr;
  p.ft817 = nullptr;
}
