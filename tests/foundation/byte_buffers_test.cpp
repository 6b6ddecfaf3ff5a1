#include "foundation/byte_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Seq(int from, int n) {
  std::vector<uint8_t> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), static_cast<uint8_t>(from));
  return v;
}

TEST(ByteRing, SizeIsRoundedToEight) {
  const struct { int asked, size; } cases[] = {{-4, 8}, {1, 8}, {8, 8}, {9, 16}, {16, 16}, {17, 24}};
  for (const auto& c : cases) EXPECT_EQ(TDaxBufferThreadUnSafe(c.asked).Size(), c.size) << c.asked;
}

TEST(ByteRing, WrapsAndKeepsOrder) {
  TDaxBufferThreadUnSafe ring(16);
  std::vector<uint8_t> out(16);
  ring.Write(Seq(0, 10).data(), 10);
  ring.Read(out.data(), 8);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8), Seq(0, 8));
  ring.Write(Seq(10, 12).data(), 12);  // 6 at the end, 6 wrapped to the start
  EXPECT_EQ(ring.Count(), 14);
  try {
    ring.Write(Seq(0, 3).data(), 3);
    FAIL();
  } catch (const EDaxBufferNotEnoughtFreeSpace& e) {
    EXPECT_STREQ(e.what(), "Not enough free space in buffer");
  }
  EXPECT_EQ(ring.Count(), 14);
  ring.Write(Seq(22, 2).data(), 2);  // exactly full
  EXPECT_EQ(ring.Count(), 16);
  EXPECT_THROW(ring.Write(Seq(0, 1).data(), 1), EDaxBufferNotEnought);
  ring.Read(out.data(), 16);
  EXPECT_EQ(out, Seq(8, 16));
  EXPECT_EQ(ring.Count(), 0);
}

TEST(ByteRing, UnderflowAndZeroLengthChangeNothing) {
  TDaxBufferThreadUnSafe ring(8);
  uint8_t b = 7;
  try {
    ring.Read(&b, 1);
    FAIL();
  } catch (const EDaxBufferNotEnoughtData& e) {
    EXPECT_STREQ(e.what(), "Not enough data in buffer");
  }
  ring.Read(&b, 0);
  ring.Write(&b, -1);
  EXPECT_EQ(ring.Count(), 0);
  ring.Write(Seq(1, 3).data(), 3);
  uint8_t two[2];
  EXPECT_THROW(ring.Read(two, 4), EDaxBufferNotEnoughtData);
  EXPECT_EQ(ring.Count(), 3);
}

TEST(ByteRing, EmptyingRestartsAtTheBeginning) {
  // After an emptying read the whole size is one stretch again: a write of
  // the full size must succeed and read back intact.
  TDaxBufferThreadUnSafe ring(8);
  std::vector<uint8_t> out(8);
  ring.Write(Seq(0, 5).data(), 5);
  ring.Read(out.data(), 5);
  ring.Write(Seq(50, 8).data(), 8);
  ring.Read(out.data(), 8);
  EXPECT_EQ(out, Seq(50, 8));
  // Random-ish traffic against a plain model.
  std::vector<uint8_t> model;
  TDaxBufferThreadUnSafe big(24);
  uint8_t next = 0;
  for (int step = 0; step < 2000; ++step) {
    int n = (step * 7) % 11;
    if (step % 3 != 2) {
      if (n > big.FreeSpace()) continue;
      std::vector<uint8_t> in(static_cast<size_t>(n));
      for (auto& v : in) v = next++;
      big.Write(in.data(), n);
      model.insert(model.end(), in.begin(), in.end());
    } else {
      n = std::min(n, big.Count());
      std::vector<uint8_t> got(static_cast<size_t>(n));
      big.Read(got.data(), n);
      ASSERT_EQ(got, std::vector<uint8_t>(model.begin(), model.begin() + n)) << step;
      model.erase(model.begin(), model.begin() + n);
    }
    ASSERT_EQ(big.Count(), static_cast<int>(model.size()));
  }
}

TEST(ByteBuffer, InitAndReserveCapacities) {
  TDaxByteBuffer buf;
  DaxByteBufferInit(buf, 0);
  EXPECT_EQ(buf.Capacity, 132u);
  EXPECT_EQ(buf.Length, 0u);
  EXPECT_EQ(buf.Data[0], 0);
  DaxByteBufferInit(buf, 2048);  // re-init frees the old block
  EXPECT_EQ(buf.Capacity, 2052u);
  std::memcpy(buf.Data, "hello", 6);
  buf.Length = 5;
  DaxByteBufferReserve(buf, 2051);  // fits with its zero byte
  EXPECT_EQ(buf.Capacity, 2052u);
  DaxByteBufferReserve(buf, 5000);
  EXPECT_EQ(buf.Capacity, 6252u);
  EXPECT_EQ(buf.Length, 5u);
  EXPECT_STREQ(reinterpret_cast<char*>(buf.Data), "hello");
  TDaxByteBuffer empty;
  DaxByteBufferInit(empty, 8);
  DaxByteBufferReserve(empty, 100);
  EXPECT_EQ(empty.Capacity, 128u);
  EXPECT_EQ(empty.Data[0], 0);
}

TEST(ByteBuffer, HugeRequestsRaiseInsteadOfWrapping) {
  TDaxByteBuffer buf;
  DaxByteBufferInit(buf, 16);
  std::memcpy(buf.Data, "keep", 5);
  buf.Length = 4;
  // 0xFFFFFFFF + 1 and n + n/4 + 4 both wrap in 32 bits to tiny capacities.
  for (uint32_t n : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xCCCCCCCCu, kDaxByteBufferMaxCapacity}) {
    EXPECT_THROW(DaxByteBufferReserve(buf, n), EDaxByteBufferTooLarge) << n;
    EXPECT_EQ(buf.Capacity, 20u);
    EXPECT_STREQ(reinterpret_cast<char*>(buf.Data), "keep");
  }
  EXPECT_THROW(DaxByteBufferInit(buf, 0x7FFFFFFF), EDaxByteBufferTooLarge);
}

TEST(MappedMemoryStream, ReadsTheCallersMemoryAndWritesNothing) {
  std::vector<uint8_t> block(1555);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13);
  const std::vector<uint8_t> copy = block;
  TMappedMemoryStream s(block.data(), static_cast<int64_t>(block.size()));
  EXPECT_EQ(s.Size(), 1555);
  EXPECT_EQ(s.Memory(), block.data());
  std::vector<uint8_t> out(1000);
  EXPECT_EQ(s.Read(out.data(), 1000), 1000);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), block.begin()));
  EXPECT_EQ(s.Write("0123456789", 10), 0);
  EXPECT_EQ(s.Position(), 1000);
  EXPECT_EQ(s.Read(out.data(), 1000), 555);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 555, block.begin() + 1000));
  EXPECT_EQ(s.Read(out.data(), 10), 0);
  EXPECT_EQ(s.Seek(-5, TDaxSeekOrigin::End), 1550);
  EXPECT_EQ(s.Seek(2, TDaxSeekOrigin::Current), 1552);
  EXPECT_EQ(s.Read(out.data(), 10), 3);
  EXPECT_EQ(s.Seek(-10, TDaxSeekOrigin::Beginning), 0);
  EXPECT_EQ(s.Seek(INT64_MAX, TDaxSeekOrigin::End), INT64_MAX);
  EXPECT_EQ(s.Read(out.data(), 10), 0);
  EXPECT_EQ(block, copy);
}

}  // namespace
