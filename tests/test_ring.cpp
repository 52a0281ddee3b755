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
