#include "platform/linux/pulse_packet_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <numeric>
#include <random>
#include <vector>

#include "platform/linux/pulse_connection.h"
#include "platform/linux/pulse_wall_clock_start.h"

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

// --------------------------------------------------------------------------
// Where a record stream's first frame goes on the wall clock

using std::chrono::milliseconds;

constexpr uint32_t kRate = 44100;
constexpr size_t kFrameBytes = 8;  // float stereo

SteadyTime at_ms(int64_t ms) { return SteadyTime(milliseconds(1'000'000 + ms)); }

TEST(PulseWallClockStart, PlayTimeComesFromTheSinksLeadAndWhatIsQueued) {
  RecordTiming t;
  t.measured_at = at_ms(0);
  // A fresh idle sink: nothing queued yet, rendered 1932 ms ahead.
  t.sink_usec = 1'932'000;
  EXPECT_EQ(next_read_plays_at(t, kRate, kFrameBytes), at_ms(1932));
  // 441 frames (10 ms) queued before the frame the sink renders next.
  t.sink_usec = 9'700;
  t.write_index = 441 * kFrameBytes;
  EXPECT_EQ(next_read_plays_at(t, kRate, kFrameBytes),
            at_ms(0) + std::chrono::microseconds(9'700) - milliseconds(10));
  // A source's own latency: captured that long before it was queued.
  t.sink_usec = 0;
  t.source_usec = 700;
  t.read_index = t.write_index;
  EXPECT_EQ(next_read_plays_at(t, kRate, kFrameBytes),
            at_ms(0) - std::chrono::microseconds(700));
  // A read index past the write index (the client's local correction ran
  // ahead) counts as nothing queued.
  t.read_index = t.write_index + 100 * kFrameBytes;
  EXPECT_EQ(next_read_plays_at(t, kRate, kFrameBytes),
            at_ms(0) - std::chrono::microseconds(700));
}

TEST(PulseWallClockStart, SilenceFillsWhatTheSinkRenderedBeforeTheStart) {
  WallClockStart s(kRate);
  s.start(at_ms(0), 0);
  EXPECT_TRUE(s.waiting());
  EXPECT_EQ(s.pending(0), 0u);
  // Nothing arrives for a while: the clock makes silence due, held back by
  // a fragment's worth.
  s.nothing_yet(at_ms(10));
  EXPECT_EQ(s.pending(0), 0u);
  s.nothing_yet(at_ms(520));
  EXPECT_EQ(s.pending(0), 22050u);  // 500 ms
  // Handed out; then the first frame arrives, played 1932 ms after the start.
  s.first_frame(at_ms(1932));
  EXPECT_FALSE(s.waiting());
  EXPECT_EQ(s.pending(22050), uint64_t{85201} - 22050);
  EXPECT_EQ(s.pending(85201), 0u);
  // Placed once: the clock makes nothing more due.
  s.nothing_yet(at_ms(5000));
  EXPECT_EQ(s.pending(85201), 0u);
}

TEST(PulseWallClockStart, SilenceHandedOutIsNeverTakenBackAndLeadsAreBounded) {
  WallClockStart s(kRate);
  s.start(at_ms(0), 0);
  s.nothing_yet(at_ms(120));  // 100 ms due
  // The first frame plays earlier than the silence already due (the sink
  // rewound): it simply follows.
  s.first_frame(at_ms(50));
  EXPECT_EQ(s.pending(0), 4410u);
  EXPECT_EQ(s.pending(4410), 0u);

  // A frame played before the start gets no silence.
  s.start(at_ms(0), 0);
  s.first_frame(at_ms(-30));
  EXPECT_EQ(s.pending(0), 0u);

  // No sink renders half a minute ahead: such a figure is not believed.
  s.start(at_ms(0), 0);
  s.first_frame(at_ms(30'000));
  EXPECT_EQ(s.pending(0), 0u);

  // Without a timing figure the first frame follows at once.
  s.start(at_ms(0), 0);
  s.first_frame_unplaced();
  EXPECT_FALSE(s.waiting());
  EXPECT_EQ(s.pending(0), 0u);
}

TEST(PulseWallClockStart, ARestartContinuesTheTimeLineAndStopEndsTheSilence) {
  WallClockStart s(kRate);
  s.start(at_ms(0), 0);
  s.first_frame(at_ms(0));
  // Stopped after 1 s of frames, resumed at 5 s: the gap is the resume's.
  s.stop();
  s.start(at_ms(5000), 44100);
  s.first_frame(at_ms(5100));
  EXPECT_EQ(s.pending(44100), 4410u);
  s.stop();
  EXPECT_EQ(s.pending(44100), 0u);
  EXPECT_FALSE(s.waiting());
  s.nothing_yet(at_ms(9000));
  EXPECT_EQ(s.pending(44100), 0u) << "no clock silence while stopped";
}

TEST(PulseWallClockStart, FrameCountsSurviveLongRecordings) {
  const uint64_t day = uint64_t{86'400} * 192'000;
  EXPECT_EQ(duration_to_frames(frames_to_duration(day, 192'000), 192'000), day);
  EXPECT_EQ(duration_to_frames(milliseconds(-5), kRate), 0u);
  EXPECT_EQ(frames_to_duration(100, 0).count(), 0);
}

}  // namespace
}  // namespace vorel::platform::pulse
