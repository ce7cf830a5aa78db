// The two hand-over items: in-place refills that keep their buffers, the
// reset item's round trip, and 10^5 messages through each item's pool/queue
// pair with producer and consumer threads.
#include <gtest/gtest.h>

#include <cstdint>

#include "Bounded.h"
#include "HandOverStream.h"
#include "la/ClientSendingData.h"
#include "la/MutexBuffer.h"
#include "la/TrackMatchingData.h"

namespace {

constexpr double kLimit = 60.0;

template <class T>
CVD::Image<T> Filled(int w, int h, T value) {
  CVD::Image<T> image(CVD::ImageRef(w, h));
  image.fill(value);
  return image;
}

// Fills one frame of `matches` map matches per level over a w x h image.
void FillFrame(TrackMatchingData& d, u32 frame, int w, int h, u32 matches) {
  d.frameId = frame;
  CVD::Image<u8> levels[4];
  for (int l = 0; l < 4; ++l) levels[l] = Filled<u8>(w >> l, h >> l, static_cast<u8>(frame + l));
  d.SetImages(levels, Filled<float>(w / 2, h / 2, 0.5f),
              Filled<LA::Vector2<float>>(w / 2, h / 2, {1.0f, -1.0f}));
  d.texture = 3.0f;
  for (int l = 0; l < 4; ++l) {
    std::vector<LA::Vector2<u16>> corners(matches * 2, {static_cast<u16>(l), 7});
    std::vector<int> rows(static_cast<size_t>(h >> l) + 1, static_cast<int>(matches));
    d.SetCorners(l, corners.data(), static_cast<u32>(corners.size()), rows.data(),
                 static_cast<u32>(rows.size()));
    d.ResizeMatches(l, matches);
    for (u32 i = 0; i < matches; ++i) {
      d.points[l][i] = {{float(i), 0.0f, 1.0f, 1.0f}};
      d.measurements[l][i] = {float(i), float(l)};
      d.normalizedMeasurements[l][i] = {0.1f, 0.2f};
      d.trackIndices[l][i] = i;
      d.trackFlags[l][i] = TrackMatchingData::kInlierFlag;
      d.planeIndices[l][i] = 65535;
    }
  }
  d.relocalisationKeyFrame = 65535;
  d.alignmentKeyFrame = 65535;
  d.meanDepth = 0.0f;
}

TEST(TrackMatchingData, NewItemIsEmptyWithAlignedZeroPose) {
  MutexBufferPool<TrackMatchingData> pool(1);
  TrackMatchingData* d = pool.Get();
  ASSERT_NE(d->pose, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(d->pose) % 32, 0u);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(d->pose->m[i][j], 0.0f);
  for (int l = 0; l < 4; ++l) {
    EXPECT_EQ(d->pyramid[l].size(), CVD::ImageRef(0, 0));
    EXPECT_EQ(d->MatchCount(l), 0u);
    EXPECT_TRUE(d->points[l].Owns());
    EXPECT_TRUE(d->trackIndices[l].empty());
  }
  pool.Put(d);
}

TEST(TrackMatchingData, RefillWithASmallerFrameKeepsEveryBuffer) {
  TrackMatchingData d;
  FillFrame(d, 1, 64, 48, 300);
  const void* pointBuffer = d.points[2].Data();
  const void* cornerBuffer = d.corners[1].Data();
  const void* measurementBuffer = d.measurements[3].Data();
  const void* indexBuffer = d.trackIndices[0].data();
  const void* pixels = d.pyramid[0].data();
  const void* floatPixels = d.floatImage.data();

  FillFrame(d, 2, 64, 48, 40);
  EXPECT_EQ(d.MatchCount(2), 40u);
  EXPECT_EQ(d.trackIndices[0].size(), 40u);
  EXPECT_EQ(d.corners[1].Size(), 80u);
  EXPECT_EQ(d.points[2].Data(), pointBuffer);
  EXPECT_EQ(d.corners[1].Data(), cornerBuffer);
  EXPECT_EQ(d.measurements[3].Data(), measurementBuffer);
  EXPECT_EQ(d.trackIndices[0].data(), indexBuffer);
  EXPECT_EQ(d.pyramid[0].data(), pixels);
  EXPECT_EQ(d.floatImage.data(), floatPixels);
  EXPECT_EQ(d.pyramid[3][CVD::ImageRef(2, 2)], 2 + 3);
  EXPECT_EQ(d.points[2][39][0], 39.0f);

  // An empty source image leaves the field as it was.
  CVD::Image<u8> none[4];
  d.SetImages(none, CVD::Image<float>(), CVD::Image<LA::Vector2<float>>());
  EXPECT_EQ(d.pyramid[0].size(), CVD::ImageRef(64, 48));
  EXPECT_EQ(d.pyramid[0][CVD::ImageRef(5, 5)], 2);
  EXPECT_EQ(d.gradientImage[CVD::ImageRef(1, 1)].y, -1.0f);
}

TEST(TrackMatchingData, ResetItemComesBackUnchanged) {
  RunBounded(kLimit, "reset item", [] {
    MutexBufferPool<TrackMatchingData> pool(1);
    MutexBufferQueue<TrackMatchingData> queue(1);
    std::atomic<bool> run{true};
    u32 worked = 0;
    std::thread matcher([&] {
      ConsumerLoop(queue, pool, run, [&](TrackMatchingData& d) {
        if (d.IsReset()) return;
        ++worked;
        d.points[0].Clear();
      });
    });
    HandOverSynchronous(pool, queue, [](TrackMatchingData& d) {
      FillFrame(d, 5, 32, 32, 10);
      d.frameId = TrackMatchingData::kResetFrameId;
    });
    TrackMatchingData* back = pool.Get();
    EXPECT_TRUE(back->IsReset());
    EXPECT_EQ(back->MatchCount(0), 10u);
    EXPECT_EQ(worked, 0u);
    pool.Put(back);
    run = false;
    queue.Put(nullptr);
    matcher.join();
  });
}

TEST(ClientSendingData, NewItemIsEmptyAndEmptySourceKeepsTheImage) {
  MutexBufferPool<ClientSendingData> pool(5);
  ClientSendingData* m = pool.Get();
  EXPECT_EQ(m->image.size(), CVD::ImageRef(0, 0));
  EXPECT_EQ(m->image.data(), nullptr);
  EXPECT_EQ(m->type, 0);
  EXPECT_EQ(m->flag, 0);

  m->Set(3, 120, 40, Filled<u8>(16, 8, 9), 0);
  const void* pixels = m->image.data();
  m->Set(0, 121, 0x7FFFFFFF, CVD::Image<u8>(), 1);
  EXPECT_EQ(m->type, 0);
  EXPECT_EQ(m->frameId, 121);
  EXPECT_EQ(m->value, 0x7FFFFFFF);
  EXPECT_EQ(m->flag, 1);
  EXPECT_EQ(m->image.size(), CVD::ImageRef(16, 8));
  EXPECT_EQ(m->image.data(), pixels);
  EXPECT_EQ(m->image[CVD::ImageRef(15, 7)], 9);
  pool.Put(m);
}

constexpr u32 kMessages = 100000;

TEST(HandOverItems, HundredThousandMessagesThroughEachPair) {
  for (bool synchronous : {true, false}) {
    RunBounded(kLimit, "TrackMatchingData stream", [&] {
      StreamThroughPair<TrackMatchingData>(
          1, kMessages, synchronous, 1ull << 32,
          [](TrackMatchingData& d, u32 i) {
            d.frameId = i;
            d.meanDepth = static_cast<float>(i % 1000);
          },
          [](const TrackMatchingData& d) {
            EXPECT_EQ(d.meanDepth, static_cast<float>(d.frameId % 1000));
            return d.frameId;
          });
    });
    RunBounded(kLimit, "ClientSendingData stream", [&] {
      StreamThroughPair<ClientSendingData>(
          5, kMessages, synchronous, 1ull << 32,
          [](ClientSendingData& m, u32 i) {
            m.Set(0, static_cast<i32>(i), static_cast<i32>(i / 2), CVD::Image<u8>(), 0);
          },
          [](const ClientSendingData& m) {
            EXPECT_EQ(m.value, m.frameId / 2);
            return static_cast<u32>(m.frameId);
          });
    });
  }
}

}  // namespace
