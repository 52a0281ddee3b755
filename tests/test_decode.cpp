// Reply decoding: every reply code, the status layout and what the link
// sends next, fed straight to the decoder (no port).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "amplifier/cmdring.h"
#include "amplifier/decode.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

class Decode : public ::testing::Test {
 protected:
  void SetUp() override {
    kzClockUse(&kzClockFake);
    kzTraceQuiet(true);
    w = std::make_unique<works>();
    memset(&rec, 0, sizeof rec);
    w->setup = &rec;
    InitGlobalVar(w.get());
    InitErrTable(w.get());
    w->errorsMuted = 0;
    linearProcessStatus = LIN_DECODE;
  }
  void TearDown() override {
    kzClockUse(&kzClockReal);
    kzTraceQuiet(false);
  }
  // Decodes `text` as received after a checksum.
  void feed(const std::string &text) {
    DecodeCatCmd(w.get(), text.c_str(), int(text.size()) + 2);
  }
  // A status reply with the given fields (fault as two characters, low
  // nibble first, exactly as on the wire).
  static std::string st(const char *digits, int in, int fwd, int refl, int cur, int t1, int t2,
                        const char *fault = "00", int peak = 0) {
    char buf[64];
    snprintf(buf, sizeof buf, "ST%s%04d%04d%04d%04d%04d%04d%s00%04d;", digits, in, fwd, refl,
             cur, t1, t2, fault, peak);
    return buf;
  }
  std::unique_ptr<works> w;
  SetupRec rec;
};

}  // namespace

TEST_F(Decode, StatusPowersSwrAndTemperaturesWithBuiltInCoefficients) {
  // 2048 raw on both thermistors is about 25 degrees.
  feed(st("00", 953, 3411, 0, 1000, 2048, 2048));
  EXPECT_NEAR(w->pwrIn.load(), 5.5078103e-6 * 953 * 953, 1e-3);
  EXPECT_NEAR(w->pwrFwd.load(), 5.156579e-6 * 3411 * 3411, 1e-3);
  // 3411 raw forward is about 60 W; the correction -0.007 x 60 is negative: 0.
  EXPECT_FLOAT_EQ(w->pwrRefl.load(), 0.0f);
  EXPECT_FLOAT_EQ(w->swr.load(), 1.0f);
  EXPECT_FLOAT_EQ(w->currentRaw.load(), 1000.0f);
  EXPECT_NEAR(w->temp1.load(), 24.99, 0.05);
  // Smoothing: the second reading weighs one tenth.
  feed(st("00", 0, 0, 0, 0, 0, 2048));
  EXPECT_NEAR(w->temp1.load(), (9 * 24.99 + 80) / 10, 0.05);
  EXPECT_NEAR(w->temp2.load(), 24.99, 0.05);
}

TEST_F(Decode, SwrRules) {
  EXPECT_NEAR(CalcolaSWR(10, 0.4f), 1.5, 1e-5);
  EXPECT_FLOAT_EQ(CalcolaSWR(0.2f, 0.6f), 100);
  EXPECT_FLOAT_EQ(CalcolaSWR(0.2f, 0.4f), 0);
  EXPECT_FLOAT_EQ(CalcolaSWR(10, 12), 100);
  EXPECT_FLOAT_EQ(CalcolaSWR(10, 10), 100);  // r = 1
  EXPECT_FLOAT_EQ(CalcolaSWR(10, 9.99f), 100);  // above 100 is limited
}

TEST_F(Decode, FaultByteLowNibbleFirstAndItsErrorLabels) {
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "10"));
  EXPECT_EQ(w->ampFault.load(), 0x01);
  EXPECT_TRUE(ExistError(w.get(), 15));
  EXPECT_STREQ(w->errTable[15].line2, "I OUT");
  // Bits 0 and 2: the higher one names it.
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "50"));
  EXPECT_STREQ(w->errTable[15].line2, "FWD");
  // The input-power bit names it too, with the AN output off.
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "02"));
  EXPECT_STREQ(w->errTable[15].line2, "PWR IN");
  // Band bit: error 19 instead.
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "04"));
  EXPECT_TRUE(ExistError(w.get(), 19));
  // No fault: error 15 goes.
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "00"));
  EXPECT_FALSE(ExistError(w.get(), 15));
  // Restart bit raises 16 only after the "MR0;" answer.
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "08"));
  EXPECT_FALSE(ExistError(w.get(), 16));
  feed("MR0;");
  EXPECT_EQ(w->microReset.load(), 1);
  feed(st("00", 0, 0, 0, 0, 2048, 2048, "08"));
  EXPECT_TRUE(ExistError(w.get(), 16));
}

TEST_F(Decode, ProtectionBitRaisesAndClearsErrorOne) {
  feed(st("02", 0, 0, 0, 0, 2048, 2048));
  EXPECT_TRUE(ExistError(w.get(), 1));
  w->errFlags = 3;  // acknowledged by the operator
  feed(st("04", 0, 0, 0, 0, 2048, 2048));
  EXPECT_FALSE(ExistError(w.get(), 1));
  EXPECT_EQ(w->errFlags.load() & 3, 0);
}

TEST_F(Decode, NextStateAfterStatusFollowsRingAndTuneState) {
  feed(st("00", 0, 0, 0, 0, 2048, 2048));
  EXPECT_EQ(linearProcessStatus.load(), 8);  // "FM;" when idle
  IncPNTIn_CMDLinear(7, w.get());
  feed(st("00", 0, 0, 0, 0, 2048, 2048));
  EXPECT_EQ(linearProcessStatus.load(), 7);  // a queued command instead of "FM;"
  EXPECT_TRUE(CmdRingEmpty(w.get()));
  w->tuneState = 2;
  feed(st("00", 0, 0, 0, 0, 2048, 2048));
  EXPECT_EQ(linearProcessStatus.load(), 13);
  EXPECT_EQ(w->tuneState.load(), 1);
  w->tuneState = 3;
  feed(st("00", 0, 0, 0, 0, 2048, 2048));
  EXPECT_EQ(linearProcessStatus.load(), 1);
}

TEST_F(Decode, ShortStatusIsIncompleteAndRetried) {
  // A full reply first, so the buffer would hold its bytes.
  feed(st("00", 0, 3411, 0, 0, 2048, 2048));
  float fwd = w->pwrFwd.load();
  LastCmdSent(w.get(), 'S', 'T', 1);
  w->retryCount = 0;
  feed("ST0000;");
  EXPECT_FLOAT_EQ(w->pwrFwd.load(), fwd);  // nothing decoded
  EXPECT_EQ(w->retryCount.load(), 1);
  EXPECT_EQ(linearProcessStatus.load(), 1);  // "ST;" again
}

TEST_F(Decode, RefusalsAndUnknownCodesGoToTheRetryLogic) {
  LastCmdSent(w.get(), 'S', 'A', 7);
  feed("SA?;");
  EXPECT_EQ(linearProcessStatus.load(), 7);
  EXPECT_EQ(w->retryCount.load(), 1);
  feed("ZZ1;");
  EXPECT_EQ(w->retryCount.load(), 2);
  feed("ST&;");
  EXPECT_EQ(w->retryCount.load(), 3);
  // The fourth failure gives up: error 4 with the command's letters.
  feed("SA!;");
  EXPECT_EQ(linearProcessStatus.load(), 1);
  EXPECT_TRUE(ExistError(w.get(), 4));
  EXPECT_STREQ(w->errTable[4].line1, "Comm");
  EXPECT_STREQ(w->errTable[4].line2, "Err SA");
}

TEST_F(Decode, ConfirmationsAndIdentity) {
  feed("VSM2.10.07;");
  EXPECT_STREQ(w->fwVersion, "2.10.07");
  feed("TU1;");
  EXPECT_EQ(w->tuneReply.load(), 1);
  feed("SA3;");
  EXPECT_EQ(w->antenna.load(), 2);
  feed("SA;");  // no antenna digit: ignored
  EXPECT_EQ(w->antenna.load(), 2);
  feed("FM000014250000;");
  EXPECT_EQ(w->freqMeasured.load(), 14250000);
  feed("FM000000000000;");  // 0 keeps the last measurement
  EXPECT_EQ(w->freqMeasured.load(), 14250000);
  feed("AB1;");
  EXPECT_EQ(w->ampBypass.load(), 1);
  feed("AB0;");
  EXPECT_EQ(w->ampBypass.load(), 0);
  w->txKeyFlags = 0x10;
  feed("AN1;");
  EXPECT_EQ(w->anState.load(), 1);
  EXPECT_EQ(w->txKeyFlags.load(), 0x30);
  EXPECT_EQ(w->errorsMuted.load() & 1, 0);
  w->errorsMuted = 1;
  feed("CPFFFF;");
  EXPECT_EQ(w->errorsMuted.load() & 1, 0);
  feed("GS0200000000;");
  EXPECT_STREQ(w->genericSettings, "0200000000");
  feed("GS02;");  // stops at ';'
  EXPECT_STREQ(w->genericSettings, "02");
  EXPECT_EQ(linearProcessStatus.load(), 1);  // back to the status poll
}

TEST_F(Decode, InformationBlocks) {
  std::string serial = "KZ60-000123";
  std::string hex;
  char b[4];
  for (char c : serial) {
    snprintf(b, sizeof b, "%02X", (unsigned char)c);
    hex += b;
  }
  hex.append(64 - hex.size(), '0');
  feed("ER0000" + hex + ";");
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(w->ampSerial)), serial);
  feed("ER00023031;");
  EXPECT_EQ(w->ampRegion.load(), '0');
  EXPECT_EQ(w->ampModel.load(), '1');
  EXPECT_EQ(number_ofStep_meter_FWD, 120);
  feed("ER00023030;");
  EXPECT_EQ(number_ofStep_meter_FWD, 60);
  // A block cut short leaves the rest of it zero, never stale.
  feed("ER00014142;");
  EXPECT_EQ(w->ampSerial2[0], 'A');
  EXPECT_EQ(w->ampSerial2[1], 'B');
  EXPECT_EQ(w->ampSerial2[2], 0);
}

TEST_F(Decode, CommErrorLetsTheAmplifierStateWin) {
  w->errorsMuted = 0;
  AddErrore(w.get(), 4);
  w->ampBypass = 0;
  w->ampBypassReq = 0;
  w->attenuator = 0;
  // Status digit 0 = 0xC: both pads; digit 1 = 8: bypassed.
  feed(st("C8", 0, 0, 0, 0, 2048, 2048));
  EXPECT_EQ(w->ampBypass.load(), 1);
  EXPECT_EQ(w->attenuator.load(), 3);
  EXPECT_EQ(w->attenuatorShown.load(), 3);
  feed(st("80", 0, 0, 0, 0, 2048, 2048));
  EXPECT_EQ(w->ampBypass.load(), 0);
  EXPECT_EQ(w->attenuator.load(), 2);
}
