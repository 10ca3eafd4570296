// The simulator's own encoder and decoder of the interface's packet format.
#include "sim/PacketCodec.h"

#include <gtest/gtest.h>

#include <numeric>

using simcodec::Bytes;
using simcodec::PacketDecoder;
using simcodec::PacketEncoder;

namespace {

Bytes frameOf(size_t n, uint8_t first = 1) {
  Bytes frame(n);
  std::iota(frame.begin(), frame.end(), first);
  return frame;
}

Bytes encode(const Bytes& frame) { return simcodec::encodeFrame(frame.data(), frame.size()); }

std::vector<Bytes> decodePackets(const std::vector<Bytes>& packets, unsigned* violations = nullptr) {
  PacketDecoder decoder;
  for (const Bytes& p : packets) decoder.feedPacket(p.data(), p.size());
  decoder.finish();
  if (violations) *violations = decoder.violations();
  return decoder.takeFrames();
}

}  // namespace

TEST(PacketCodec, WorkedExamplesOfOneFramePerTransfer) {
  // 00 | 01 b
  EXPECT_EQ(encode({0x5A}), (Bytes{0x00, 0x01, 0x5A}));

  // 56 bytes: 00 | 01 d0..d7 | 00 d8..d15 | ... seven groups, exactly 64 bytes.
  const Bytes f56 = frameOf(56);
  const Bytes s56 = encode(f56);
  ASSERT_EQ(s56.size(), 64u);
  EXPECT_EQ(s56[0], 0x00);
  EXPECT_EQ(s56[1], 0x01);
  for (int g = 1; g < 7; ++g) EXPECT_EQ(s56[1 + 9 * g], 0x00) << "group " << g;
  EXPECT_EQ(s56[2], f56[0]);
  EXPECT_EQ(s56[63], f56[55]);

  // 57 bytes: the full packet above, then 00 | 00 b56.
  const Bytes f57 = frameOf(57);
  const Bytes s57 = encode(f57);
  ASSERT_EQ(s57.size(), 67u);
  EXPECT_EQ(Bytes(s57.begin(), s57.begin() + 64), s56);
  EXPECT_EQ(Bytes(s57.begin() + 64, s57.end()), (Bytes{0x00, 0x00, f57[56]}));

  // 513 bytes: nine full packets and a last one of 12: 00 | 00 d504..d511 | 00 d512.
  const Bytes f513 = frameOf(513, 0);
  const Bytes s513 = encode(f513);
  ASSERT_EQ(s513.size(), 588u);
  for (int p = 0; p < 9; ++p) EXPECT_EQ(s513[64 * p], 0x00);
  EXPECT_EQ(s513[1], 0x01);
  const Bytes last(s513.begin() + 576, s513.end());
  ASSERT_EQ(last.size(), 12u);
  EXPECT_EQ(last[0], 0x00);
  EXPECT_EQ(last[1], 0x00);
  EXPECT_EQ(last[2], f513[504]);
  EXPECT_EQ(last[10], 0x00);
  EXPECT_EQ(last[11], f513[512]);
}

TEST(PacketCodec, EveryFrameLengthRoundTripsThroughOneTransfer) {
  for (size_t n = 1; n <= 513; ++n) {
    const Bytes frame = frameOf(n, uint8_t(n));
    const Bytes stream = encode(frame);
    const size_t groups = (n + 7) / 8, packets = (groups + 6) / 7;
    ASSERT_EQ(stream.size(), n + groups + packets) << n;
    std::vector<Bytes> frames;
    ASSERT_TRUE(simcodec::decodeTransfer(stream.data(), stream.size(), frames)) << n;
    ASSERT_EQ(frames.size(), 1u) << n;
    ASSERT_EQ(frames[0], frame) << n;
  }
}

TEST(PacketCodec, HeldFramesShareGroupsAndPackets) {
  PacketEncoder encoder;
  encoder.appendFrame(frameOf(3, 0xA0).data(), 3);
  encoder.appendFrame(frameOf(4, 0xB0).data(), 4);
  EXPECT_TRUE(encoder.hasOpenPacket());
  EXPECT_TRUE(encoder.takePackets().empty());
  encoder.endPacket();
  // 00 | 09 A0 A1 A2 B0 B1 B2 B3: the second frame starts at bit 3 of the same group.
  const std::vector<Bytes> packets = encoder.takePackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], (Bytes{0x00, 0x09, 0xA0, 0xA1, 0xA2, 0xB0, 0xB1, 0xB2, 0xB3}));
}

TEST(PacketCodec, FramesSpanningPacketsDecodeFromTheStream) {
  PacketEncoder encoder;
  const std::vector<Bytes> sent = {frameOf(100, 0), frameOf(13, 0x40), frameOf(513, 7), frameOf(1, 0xEE)};
  for (const Bytes& f : sent) encoder.appendFrame(f.data(), f.size());
  encoder.endPacket();
  const std::vector<Bytes> packets = encoder.takePackets();
  for (size_t i = 0; i + 1 < packets.size(); ++i) ASSERT_EQ(packets[i].size(), 64u) << i;
  EXPECT_LT(packets.back().size(), 64u);
  unsigned violations = 1;
  EXPECT_EQ(decodePackets(packets, &violations), sent);
  EXPECT_EQ(violations, 0u);
}

TEST(PacketCodec, DecoderCountsWhatBreaksTheFormat) {
  std::vector<Bytes> frames;
  EXPECT_FALSE(simcodec::decodeTransfer(nullptr, 0, frames));

  const Bytes badHeader = {0x01, 0x01, 0x10};
  EXPECT_FALSE(simcodec::decodeTransfer(badHeader.data(), badHeader.size(), frames));

  // Data before any start marker is dropped; the marked frame still comes through.
  unsigned violations = 0;
  std::vector<Bytes> got = decodePackets({{0x00, 0x04, 0x11, 0x22, 0x33, 0x44}}, &violations);
  EXPECT_EQ(got, (std::vector<Bytes>{{0x33, 0x44}}));
  EXPECT_EQ(violations, 2u);

  // A marker for a byte the group does not hold, and a flag byte with no data.
  decodePackets({{0x00, 0x03, 0x11}}, &violations);
  EXPECT_EQ(violations, 1u);
  decodePackets({{0x00, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 0x00}}, &violations);
  EXPECT_EQ(violations, 1u);

  // An overlong frame is kept whole but reported.
  const Bytes f600 = frameOf(600);
  const Bytes s600 = encode(f600);
  frames.clear();
  EXPECT_FALSE(simcodec::decodeTransfer(s600.data(), s600.size(), frames));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], f600);

  // A zero-length IN packet is no violation.
  decodePackets({{}}, &violations);
  EXPECT_EQ(violations, 0u);
}
