#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/linux/pulse_process_mixer.h"
#include "platform/linux/pulse_process_tree.h"

namespace vorel::platform::pulse {
namespace {

// Mono, where the frames are not the point: sample i is frame i.
constexpr uint32_t kPacket = 10;
constexpr uint32_t kLatency = 40;
constexpr uint32_t kMaxAhead = 200;

std::vector<uint8_t> bytes_of(const std::vector<float>& samples, size_t offset = 0) {
  std::vector<uint8_t> out(offset + samples.size() * sizeof(float));
  std::memcpy(out.data() + offset, samples.data(), samples.size() * sizeof(float));
  return out;
}

// Hands out every packet due at `due`, appending their samples to `out`.
void drain(ClockedMixer& mixer, uint64_t due, std::vector<float>& out, size_t channels = 1) {
  while (uint32_t n = mixer.next_size(due)) {
    ASSERT_EQ(n, kPacket);
    const auto* p = reinterpret_cast<const float*>(mixer.packet());
    out.insert(out.end(), p, p + n * channels);
    mixer.consume();
  }
}

TEST(ClockedMixer, HandsOutWholePacketsOfSilenceAsTheClockAdvances) {
  ClockedMixer mixer(2, kPacket, kLatency, kMaxAhead);
  EXPECT_EQ(mixer.next_size(0), 0u);
  EXPECT_EQ(mixer.next_size(kPacket - 1), 0u);
  std::mt19937 rng(3);
  uint64_t due = 0;
  for (int i = 0; i < 200; ++i) {
    due += std::uniform_int_distribution<uint64_t>(0, 3 * kPacket)(rng);
    while (mixer.next_size(due) != 0) {
      const auto* p = reinterpret_cast<const float*>(mixer.packet());
      for (uint32_t s = 0; s < 2 * kPacket; ++s) ASSERT_EQ(p[s], 0.0f);
      mixer.consume();
    }
    // Never ahead of the clock, never more than a packet behind it.
    ASSERT_LE(mixer.handed_out(), due);
    ASSERT_LT(due - mixer.handed_out(), kPacket);
  }
}

// A stream lands `latency` after it arrives and goes on back to back;
// streams are summed; a hole keeps its place.
TEST(ClockedMixer, PlacesStreamsLatencyAfterArrivalBackToBackAndSumsThem) {
  ClockedMixer mixer(1, kPacket, kLatency, kMaxAhead);
  ClockedMixer::Cursor a, b;
  // Unaligned input, as a server's fragment may be.
  mixer.add(a, bytes_of(std::vector<float>(10, 1.0f), 1).data() + 1, 10, 0);  // 30..40
  mixer.add(a, bytes_of(std::vector<float>(5, 2.0f)).data(), 5, 0);           // 40..45
  mixer.add(a, bytes_of(std::vector<float>(5, 3.0f)).data(), 5, 12);          // 45..50
  mixer.add(b, nullptr, 10, 0);                                                // 30..40
  mixer.add(b, bytes_of(std::vector<float>(20, 0.5f)).data(), 20, 0);         // 40..60
  std::vector<float> out;
  drain(mixer, 100, out);
  ASSERT_EQ(out.size(), 100u);
  for (size_t i = 0; i < out.size(); ++i) {
    const float expected = i < 30   ? 0.0f
                           : i < 40 ? 1.0f
                           : i < 45 ? 2.5f
                           : i < 50 ? 3.5f
                           : i < 60 ? 0.5f
                                    : 0.0f;
    ASSERT_EQ(out[i], expected) << i;
  }
}

TEST(ClockedMixer, AStreamThatFallsBehindStartsAgainWithoutOverlap) {
  ClockedMixer mixer(1, kPacket, kLatency, kMaxAhead);
  ClockedMixer::Cursor cursor;
  std::vector<float> out;
  mixer.add(cursor, bytes_of(std::vector<float>(10, 1.0f)).data(), 10, 0);  // 30..40
  drain(mixer, 45, out);
  // Its next frame (40) is due already: placed anew, 110..120.
  mixer.add(cursor, bytes_of(std::vector<float>(10, 2.0f)).data(), 10, 80);
  drain(mixer, 130, out);
  ASSERT_EQ(out.size(), 130u);
  for (size_t i = 0; i < out.size(); ++i) {
    const float expected = i >= 30 && i < 40 ? 1.0f : i >= 110 && i < 120 ? 2.0f : 0.0f;
    ASSERT_EQ(out[i], expected) << i;
  }
}

TEST(ClockedMixer, AStreamTooFarAheadLosesTheExcessAndGoesOnFromTheLimit) {
  ClockedMixer mixer(1, kPacket, kLatency, kMaxAhead);
  ClockedMixer::Cursor cursor;
  std::vector<float> burst(300);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<float>(i + 1);
  mixer.add(cursor, bytes_of(burst).data(), burst.size(), 0);  // 0..200 kept
  mixer.add(cursor, bytes_of({-1.0f}).data(), 1, 0);            // past the limit
  mixer.add(cursor, bytes_of({-2.0f}).data(), 1, 50);           // the limit moved on
  std::vector<float> out;
  drain(mixer, 260, out);
  ASSERT_EQ(out.size(), 260u);
  for (size_t i = 0; i < 200; ++i) ASSERT_EQ(out[i], static_cast<float>(i + 1)) << i;
  EXPECT_EQ(out[200], -2.0f);
  for (size_t i = 201; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << i;
}

// A stream delivering on the clock's pace in uneven pieces comes out whole
// and in order, across many turns of the mixer's ring, as long as its
// jitter, its largest piece and the clock's largest step together stay
// below the latency (20 + 8 + 5 < 40).
TEST(ClockedMixer, JitteryDeliveryOnTheClocksPaceComesOutUnbroken) {
  constexpr uint16_t kChannels = 2;
  ClockedMixer mixer(kChannels, kPacket, kLatency, kMaxAhead);
  ClockedMixer::Cursor cursor;
  std::mt19937 rng(11);
  std::vector<float> out;
  float next_value = 1.0f;
  uint64_t delivered = 0;
  for (uint64_t due = 0; due < 20'000; due += std::uniform_int_distribution<uint64_t>(1, 5)(rng)) {
    // Delivery trails the clock by up to 20 frames and comes in bursts.
    const uint64_t jitter = std::uniform_int_distribution<uint64_t>(0, 20)(rng);
    while (delivered + jitter < due) {
      const size_t n = std::uniform_int_distribution<size_t>(1, 8)(rng);
      std::vector<float> piece;
      for (size_t f = 0; f < n; ++f) {
        piece.push_back(next_value);
        piece.push_back(-next_value);
        next_value += 1.0f;
      }
      mixer.add(cursor, bytes_of(piece).data(), n, due);
      delivered += n;
    }
    drain(mixer, due, out, kChannels);
  }
  size_t first = 0;
  while (first < out.size() && out[first] == 0.0f) ++first;
  ASSERT_LT(first, out.size());
  ASSERT_LE(first / kChannels, kLatency);
  float expected = 1.0f;
  for (size_t i = first; i + 1 < out.size(); i += kChannels, expected += 1.0f) {
    ASSERT_EQ(out[i], expected) << i;
    ASSERT_EQ(out[i + 1], -expected) << i;
  }
}

// --------------------------------------------------------------------------

TEST(ProcessStat, ParentAndStartTimeAreCountedFromTheNamesEnd) {
  const char* line =
      "4242 (a) b (c)) S 17 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 "
      "1000 10 18446744073709551615\n";
  auto e = parse_process_stat(4242, line);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->pid, 4242u);
  EXPECT_EQ(e->parent, 17u);
  EXPECT_EQ(e->start_time, 987654u);

  EXPECT_FALSE(parse_process_stat(1, "1 (init S 0 1").has_value());
  EXPECT_FALSE(parse_process_stat(1, "1 (init) S x 1 1 0").has_value());
  EXPECT_FALSE(parse_process_stat(1, "1 (init) S 0 1 1 0 -1").has_value()) << "too short";
}

TEST(ProcessTree, HoldsTheRootAndItsDescendantsOnly) {
  ProcessTree tree(10);
  tree.update({{1, 0, 1}, {10, 1, 100}, {11, 10, 110}, {12, 11, 120}, {20, 1, 105}, {21, 20, 130}});
  for (uint32_t pid : {10u, 11u, 12u}) EXPECT_TRUE(tree.contains(pid)) << pid;
  for (uint32_t pid : {1u, 20u, 21u, 99u}) EXPECT_FALSE(tree.contains(pid)) << pid;

  // 11 ended, its child 12 went to init and stays; 13 started since.
  tree.update({{1, 0, 1}, {10, 1, 100}, {12, 1, 120}, {13, 10, 140}});
  for (uint32_t pid : {10u, 12u, 13u}) EXPECT_TRUE(tree.contains(pid)) << pid;
  EXPECT_FALSE(tree.contains(11));

  // Ids of ended members taken by unrelated processes (other start times),
  // the root's included, and their children are not members.
  tree.update({{10, 1, 600}, {12, 1, 610}, {13, 1, 140}, {30, 12, 620}});
  for (uint32_t pid : {10u, 12u, 30u}) EXPECT_FALSE(tree.contains(pid)) << pid;
  EXPECT_TRUE(tree.contains(13));
}

TEST(ProcessTree, ARootMissingAtTheFirstWalkNeverJoins) {
  ProcessTree tree(10);
  tree.update({{1, 0, 1}});
  tree.update({{1, 0, 1}, {10, 1, 100}, {11, 10, 110}});
  EXPECT_FALSE(tree.contains(10));
  EXPECT_FALSE(tree.contains(11));
}

}  // namespace
}  // namespace vorel::platform::pulse
