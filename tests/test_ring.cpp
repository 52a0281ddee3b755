// Command ring, CRC and reply decoding of the amplifier link, without a port.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "amplifier/cmdring.h"
#include "amplifier/decode.h"
#include "amplifier/errors.h"
#include "amplifier/linear.h"
#include "core/setup.h"
#include "core/works.h"
#include "platform/log.h"

namespace {

std::unique_ptr<works> makeWorks() {
  auto w = std::make_unique<works>();
  InitGlobalVar(w.get());
  InitErrTable(w.get());
  return w;
}

}  // namespace

TEST(LinkCrc, MaximOverTheTextWithItsSemicolon) {
  EXPECT_EQ(Sys_Crc8Calculation("ST;", 3), 0x4D);
  // The check value of CRC-8/MAXIM.
  EXPECT_EQ(Sys_Crc8Calculation("123456789", 9), 0xA1);
  EXPECT_EQ(Sys_Crc8Calculation("", 0), 0x00);
}

TEST(CmdRing, RefusesTheThirtiethRequestAndKeepsOrder) {
  auto w = makeWorks();
  for (int i = 0; i < 29; i++) EXPECT_EQ(IncPNTIn_CMDLinear(7 + (i % 3), w.get()), 7 + (i % 3));
  EXPECT_EQ(CmdRingPending(w.get()), 29);
  EXPECT_EQ(IncPNTIn_CMDLinear(22, w.get()), -1);  // would make the ring look empty
  EXPECT_FALSE(CmdRingEmpty(w.get()));
  for (int i = 0; i < 29; i++) EXPECT_EQ(TakeNextCmd(w.get()), 7 + (i % 3));
  EXPECT_EQ(TakeNextCmd(w.get()), -1);
  // Wraps round and works again.
  EXPECT_EQ(IncPNTIn_CMDLinear(13, w.get()), 13);
  EXPECT_EQ(TakeNextCmd(w.get()), 13);
}

TEST(LinkCommands, AValueTooWideForItsFrameIsNotSent) {
  auto w = makeWorks();
  kzTraceQuiet(true);
  w->linFD = -1;  // nothing reaches a port; the state shows what was chosen
  w->antenna = 9;  // "SA10;" would go out as "SA10" without its ';'
  LastCmdSent(w.get(), 'S', 'T', 1);
  EXPECT_EQ(SendLinearCommand(w.get(), 7), 0);
  EXPECT_EQ(linearProcessStatus.load(), 1);
  EXPECT_EQ(w->lastCmd[0], 'S');
  EXPECT_EQ(w->lastCmd[1], 'T');  // not recorded as in flight
  w->antenna = 2;
  EXPECT_EQ(SendLinearCommand(w.get(), 7), 0);
  EXPECT_EQ(linearProcessStatus.load(), LIN_WAIT);
  EXPECT_EQ(w->lastCmdState, 7);
  w->psPar[0] = 12345;
  EXPECT_EQ(SendLinearCommand(w.get(), 24), 0);
  EXPECT_EQ(linearProcessStatus.load(), 1);
  EXPECT_EQ(SendLinearCommand(w.get(), 25), -1);  // no such command
  kzTraceQuiet(false);
}
