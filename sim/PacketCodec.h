// The DMX interface's packet format, as the simulated device speaks it.
//
// A stream of frames travels in packets of at most 64 bytes. Each packet is a header byte
// 0x00 followed by groups; a group is a flag byte followed by up to 8 data bytes, and bit i
// of the flag marks data byte i as the first byte (start code) of a frame. Every group but
// the last of a packet holds 8 data bytes, so a full packet is 1 + 7 * 9 = 64 bytes; a
// packet ends right after its last data byte. Frames follow each other without gaps: a
// frame may begin in the middle of a group.
//
// On the OUT pipe each transfer carries whole frames (the product sends one per transfer),
// cut into 64-byte packets, the last one shorter. On the IN pipe each read returns one
// packet, and a frame may span any number of packets.
//
// Plain value classes, no locking; the simulator holds its lock around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simcodec {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kPacketSize = 64;
inline constexpr size_t kGroupDataBytes = 8;
inline constexpr size_t kMaxFrameLength = 513;

// Packs frames densely into packets. A packet is complete when it is full or when
// endPacket() is called; completed packets are taken with takePackets().
class PacketEncoder {
public:
  // Appends a frame of n >= 1 bytes (n = 0 appends nothing).
  void appendFrame(const uint8_t* frame, size_t n);
  // Completes the packet being filled, if any; the next frame starts a new packet.
  void endPacket();
  bool hasOpenPacket() const { return !open_.empty(); }
  std::vector<Bytes> takePackets();

private:
  Bytes open_;              // the packet being filled, header included; empty when none
  size_t flagIndex_ = 0;    // position of the current group's flag byte in open_
  size_t groupFill_ = kGroupDataBytes;  // data bytes in the current group; 8: start a new one
  std::vector<Bytes> done_;
};

// One frame as a single OUT transfer: its packets back to back.
Bytes encodeFrame(const uint8_t* frame, size_t n);

// Reassembles frames from packets. A frame ends where the next start marker is or at
// finish(). Anything outside the format (a header byte other than 0x00, a packet or group
// without data bytes, markers for bytes the group does not hold, data before the first
// marker, a frame longer than 513 bytes) is counted as a violation; stray data bytes are
// dropped, overlong frames are kept whole.
class PacketDecoder {
public:
  // Decodes one packet; an empty packet (zero-length read) is ignored.
  void feedPacket(const uint8_t* packet, size_t n);
  // Ends the frame being collected.
  void finish();
  // Completed frames, oldest first; take them with takeFrames().
  std::vector<Bytes> takeFrames();
  unsigned violations() const { return violations_; }

private:
  void endFrame();

  Bytes frame_;
  bool collecting_ = false;
  unsigned violations_ = 0;
  std::vector<Bytes> frames_;
};

// Decodes one OUT transfer into `frames` (appended). Returns false when the transfer broke
// the format (an empty transfer included).
bool decodeTransfer(const uint8_t* data, size_t n, std::vector<Bytes>& frames);

}  // namespace simcodec
