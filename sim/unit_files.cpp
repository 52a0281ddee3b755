// Factory table files for a simulated unit; see unit_files.h.
#include "sim/unit_files.h"

#include <cstdio>
#include <sys/stat.h>

// Calibration pairs (watts, raw reading) of the simulated detectors:
// forward 60 W at 3411, reflected 10 W at 1734, input 5 W at 953. The
// simulated coupler has no leakage, so the correction is 0. Thresholds:
// input 10 W, current 12 A, reflected 25 W, forward 75 W.
static const char kConfig[] =
    ";low high fwdW fwdRaw reflW reflRaw inW inRaw kCorr PWIN Corrente REFL FWD tunepar... step\n"
    "1800000 2000000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "3500000 4000000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "5300000 5400000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "7000000 7300000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "10100000 10150000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "14000000 14350000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "18068000 18168000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "21000000 21450000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "24890000 24990000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "28000000 29700000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "30000000 30000000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "50000000 54000000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n"
    "54000000 54000000 60 3411 10 1734 5 953 0.0 10 12 25 75 0 0 0 0 0 0 0 0 0 0 8\n";

static const char kFilter[] =
    ";low high enabled\n"
    "1800000 2000000 1\n"
    "3500000 4000000 1\n"
    "5300000 7300000 1\n"
    "10100000 10150000 1\n"
    "14000000 14350000 1\n"
    "18068000 21450000 1\n"
    "24890000 29700000 1\n"
    "0 0 0\n";

static const char kVentola[] =
    ";temperature percentage\n"
    "30 0\n"
    "40 30\n"
    "50 60\n"
    "60 100\n";

// Bank 1: the unit follows the amplifier's own frequency counter
// ("Generic"), operates on every band with the tuner in line, antenna 1.
static const char kBank1[] =
    "!Gen\n"
    "160m 1800000 2000000 1 1 0 0 0.0\n"
    "80m 3500000 4000000 1 1 0 0 0.0\n"
    "60m 5330500 5450000 1 1 0 0 0.0\n"
    "40m 7000000 7300000 1 1 0 0 0.0\n"
    "30m 10100000 10150000 1 1 0 0 0.0\n"
    "20m 14000000 14350000 1 1 0 0 0.0\n"
    "17m 18068000 18168000 1 1 0 0 0.0\n"
    "15m 21000000 21450000 1 1 0 0 0.0\n"
    "12m 24890000 24990000 1 1 0 0 0.0\n"
    "10m 28000000 29700000 1 1 0 0 0.0\n"
    "6m 50000000 54000000 1 1 0 0 0.0\n";

// The settings a simulated unit leaves the factory with where they differ
// from the program's start values: automatic tuning on ("AUTO TUNE /
// Enable KAV Tune"), so that the tune key of a fresh unit tunes. Every
// other setting takes its start value; the program writes them all at the
// first save of a setting.
static const char kSetup[] = "AutoTuneMode: 1\n";

// The board's network file, static address on the workshop LAN.
static const char kInterfaces[] =
    "auto lo\n"
    "iface lo inet loopback\n"
    "\n"
    "auto eth0\n"
    "iface eth0 inet static\n"
    "address 192.168.1.10\n"
    "netmask 255.255.255.0\n"
    "gateway 192.168.1.1\n"
    "nameserver 192.168.1.1\n";

static int writeIfMissing(const std::string &path, const char *text) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return 0;
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return 0;
  fputs(text, f);
  fclose(f);
  return 1;
}

int simWriteUnitFiles(const std::string &root) {
  std::string net = root + "/etc/network/";
  mkdir((root + "/etc").c_str(), 0755);
  mkdir(net.c_str(), 0755);
  std::string dir = root + "/opt/set/";
  return writeIfMissing(dir + "config.txt", kConfig) + writeIfMissing(dir + "filter.txt", kFilter) +
         writeIfMissing(dir + "ventola.txt", kVentola) +
         writeIfMissing(dir + "antenna_b1.txt", kBank1) + writeIfMissing(dir + "setup.txt", kSetup) +
         writeIfMissing(net + "interfaces", kInterfaces);
}
