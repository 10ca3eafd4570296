#include "sim/PacketCodec.h"

#include <algorithm>

namespace simcodec {

void PacketEncoder::appendFrame(const uint8_t* frame, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (groupFill_ == kGroupDataBytes) {
      // A new group needs its flag byte and at least one data byte in this packet. Groups
      // are 9 bytes apart, so an open packet always has room for one more.
      if (open_.empty()) open_.push_back(0x00);
      flagIndex_ = open_.size();
      open_.push_back(0x00);
      groupFill_ = 0;
    }
    if (i == 0) open_[flagIndex_] |= static_cast<uint8_t>(1u << groupFill_);
    open_.push_back(frame[i]);
    ++groupFill_;
    if (open_.size() == kPacketSize) endPacket();
  }
}

void PacketEncoder::endPacket() {
  if (!open_.empty()) done_.push_back(std::move(open_));
  open_.clear();
  groupFill_ = kGroupDataBytes;
}

std::vector<Bytes> PacketEncoder::takePackets() {
  std::vector<Bytes> packets;
  packets.swap(done_);
  return packets;
}

Bytes encodeFrame(const uint8_t* frame, size_t n) {
  PacketEncoder encoder;
  encoder.appendFrame(frame, n);
  encoder.endPacket();
  Bytes stream;
  for (const Bytes& packet : encoder.takePackets()) stream.insert(stream.end(), packet.begin(), packet.end());
  return stream;
}

void PacketDecoder::feedPacket(const uint8_t* packet, size_t n) {
  if (n == 0) return;
  if (n > kPacketSize) {
    ++violations_;
    n = kPacketSize;
  }
  if (packet[0] != 0x00) ++violations_;
  if (n == 1) ++violations_;
  for (size_t g = 1; g < n; g += 1 + kGroupDataBytes) {
    const uint8_t flag = packet[g];
    const size_t count = std::min(kGroupDataBytes, n - g - 1);
    if (count == 0 || (flag >> count) != 0) ++violations_;
    for (size_t b = 0; b < count; ++b) {
      const uint8_t byte = packet[g + 1 + b];
      if (flag & (1u << b)) {
        endFrame();
        collecting_ = true;
      } else if (!collecting_) {
        ++violations_;
        continue;
      }
      frame_.push_back(byte);
    }
  }
}

void PacketDecoder::finish() { endFrame(); }

void PacketDecoder::endFrame() {
  if (!collecting_) return;
  if (frame_.size() > kMaxFrameLength) ++violations_;
  frames_.push_back(std::move(frame_));
  frame_.clear();
  collecting_ = false;
}

std::vector<Bytes> PacketDecoder::takeFrames() {
  std::vector<Bytes> frames;
  frames.swap(frames_);
  return frames;
}

bool decodeTransfer(const uint8_t* data, size_t n, std::vector<Bytes>& frames) {
  PacketDecoder decoder;
  for (size_t at = 0; at < n; at += kPacketSize) decoder.feedPacket(data + at, std::min(kPacketSize, n - at));
  decoder.finish();
  for (Bytes& frame : decoder.takeFrames()) frames.push_back(std::move(frame));
  return n > 0 && decoder.violations() == 0;
}

}  // namespace simcodec
