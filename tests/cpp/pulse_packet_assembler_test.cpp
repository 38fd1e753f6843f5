#include "platform/linux/pulse_packet_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <random>
#include <vector>

#include "platform/linux/pulse_connection.h"

namespace vorel::platform::pulse {
namespace {

// Fragments as a record stream would hand them out; a hole has no bytes.
class FakeFragments final : public FragmentSource {
 public:
  void push(std::vector<uint8_t> bytes) { queue_.push_back({std::move(bytes), false}); }
  void push_hole(size_t size) { queue_.push_back({std::vector<uint8_t>(size), true}); }

  Result<Fragment, PlatformError> peek() override {
    if (queue_.empty()) return Fragment{};
    const Entry& e = queue_.front();
    return Fragment{e.hole ? nullptr : e.bytes.data(), e.bytes.size()};
  }
  Status<PlatformError> drop() override {
    EXPECT_FALSE(queue_.empty()) << "drop without a fragment";
    if (!queue_.empty()) queue_.pop_front();
    ++drops;
    return Unit{};
  }

  const uint8_t* front_data() const { return queue_.front().bytes.data(); }
  size_t pending() const { return queue_.size(); }
  int drops = 0;

 private:
  struct Entry {
    std::vector<uint8_t> bytes;
    bool hole;
  };
  std::deque<Entry> queue_;
};

std::vector<uint8_t> counting(size_t from, size_t size) {
  std::vector<uint8_t> v(size);
  std::iota(v.begin(), v.end(), static_cast<uint8_t>(from));
  return v;
}

// Reads every packet the assembler offers, releasing each, as the engine
// does; silent packets contribute zero bytes.
std::vector<uint8_t> read_all(PacketAssembler& a, FakeFragments& src, size_t frame_bytes) {
  std::vector<uint8_t> out;
  for (;;) {
    auto n = a.next_size(src);
    EXPECT_TRUE(n.ok());
    if (!n.ok() || *n == 0) return out;
    auto p = a.get(src);
    EXPECT_TRUE(p.ok());
    EXPECT_EQ(p->frames, *n);
    const size_t bytes = p->frames * frame_bytes;
    if (p->flags & kBufferFlagSilent) {
      EXPECT_EQ(p->data, nullptr);
      out.insert(out.end(), bytes, 0);
    } else {
      out.insert(out.end(), p->data, p->data + bytes);
    }
    EXPECT_TRUE(a.release(src, p->frames).ok());
  }
}

TEST(PulsePacketAssembler, WholeFrameFragmentsAreHandedOutInPlace) {
  FakeFragments src;
  src.push(counting(0, 16));
  src.push(counting(16, 8));
  PacketAssembler a(8);
  ASSERT_EQ(a.next_size(src).value(), 2u);
  const uint8_t* fragment = src.front_data();
  auto p = a.get(src);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p->data, fragment);
  EXPECT_EQ(p->flags, 0u);
  ASSERT_TRUE(a.release(src, 2).ok());
  EXPECT_EQ(src.drops, 1);
  EXPECT_EQ(a.next_size(src).value(), 1u);
}

TEST(PulsePacketAssembler, FramesSplitAcrossFragmentsLoseAndMisalignNothing) {
  std::mt19937 rng(7);
  for (size_t frame_bytes : {4u, 8u, 12u}) {
    FakeFragments src;
    std::vector<uint8_t> stream;
    for (int i = 0; i < 200; ++i) {
      const size_t size = std::uniform_int_distribution<size_t>(1, 3 * frame_bytes + 1)(rng);
      std::vector<uint8_t> f = counting(stream.size(), size);
      stream.insert(stream.end(), f.begin(), f.end());
      src.push(std::move(f));
    }
    PacketAssembler a(frame_bytes);
    const std::vector<uint8_t> out = read_all(a, src, frame_bytes);
    const size_t whole = stream.size() / frame_bytes * frame_bytes;
    ASSERT_EQ(out.size(), whole) << frame_bytes;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), stream.begin()));
    EXPECT_EQ(src.pending(), 0u);

    // The carried partial frame is completed by what comes next.
    const size_t carried = stream.size() - whole;
    src.push(counting(stream.size(), frame_bytes - carried + frame_bytes));
    const std::vector<uint8_t> rest = read_all(a, src, frame_bytes);
    ASSERT_EQ(rest.size(), 2 * frame_bytes);
    for (size_t i = 0; i < rest.size(); ++i) {
      EXPECT_EQ(rest[i], static_cast<uint8_t>(whole + i));
    }
  }
}

TEST(PulsePacketAssembler, HolesAreSilence) {
  FakeFragments src;
  src.push_hole(24);
  PacketAssembler a(8);
  ASSERT_EQ(a.next_size(src).value(), 3u);
  auto p = a.get(src);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p->flags, kBufferFlagSilent);
  EXPECT_EQ(p->data, nullptr);
  ASSERT_TRUE(a.release(src, 3).ok());

  // A hole that ends inside a frame, and data that ends inside one before a
  // hole: the partial frames are filled with zeros, in order.
  src.push_hole(5);
  src.push(counting(1, 6));
  src.push_hole(7);
  std::vector<uint8_t> expected(5, 0);
  for (uint8_t b : counting(1, 6)) expected.push_back(b);
  expected.insert(expected.end(), 5, 0);
  EXPECT_EQ(read_all(a, src, 8), expected);
}

TEST(PulsePacketAssembler, CallsOutOfOrderAreRefusedLikeCoreAudio) {
  FakeFragments src;
  PacketAssembler a(4);
  auto empty = a.get(src);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->frames, 0u);
  EXPECT_TRUE(a.release(src, 0).ok()) << "ReleaseBuffer(0) after an empty GetBuffer";
  EXPECT_EQ(a.release(src, 1).error().code(), kOutOfOrder);

  src.push(counting(0, 8));
  auto p = a.get(src);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(a.get(src).error().code(), kOutOfOrder);
  EXPECT_EQ(a.release(src, 1).error().code(), kInvalidSize);
  EXPECT_EQ(a.discard(src).error().code(), kBufferOperationPending);
  ASSERT_TRUE(a.release(src, 0).ok()) << "nothing consumed: the packet stays";
  EXPECT_EQ(src.drops, 0);
  auto again = a.get(src);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->data, p->data);
  EXPECT_EQ(again->frames, 2u);
  EXPECT_TRUE(a.release(src, 2).ok());
}

TEST(PulsePacketAssembler, DiscardEmptiesTheStreamAndTheCarriedBytes) {
  FakeFragments src;
  src.push(counting(0, 6));
  src.push(counting(6, 7));
  src.push(counting(13, 8));
  PacketAssembler a(4);
  ASSERT_EQ(a.next_size(src).value(), 1u);
  ASSERT_TRUE(a.get(src).ok());
  ASSERT_TRUE(a.release(src, 1).ok());
  ASSERT_EQ(a.next_size(src).value(), 2u);  // 2 carried + 7 bytes: one byte is carried now
  ASSERT_TRUE(a.discard(src).ok());
  EXPECT_EQ(src.pending(), 0u);
  EXPECT_EQ(a.next_size(src).value(), 0u);
  src.push(counting(100, 4));
  EXPECT_EQ(read_all(a, src, 4), counting(100, 4)) << "no stale partial frame in front";
}

}  // namespace
}  // namespace vorel::platform::pulse
