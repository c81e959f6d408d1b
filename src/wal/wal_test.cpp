#include "wal/wal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "format/header.h"
#include "pager/testing/mem_file.h"

namespace quarn::wal {
namespace {

using pager::testing::CrashModel;
using pager::testing::FaultFile;
using pager::testing::MemFile;
using pager::testing::OpKind;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kRegion = kPageSize;  // byte offset of a region starting at page 1
constexpr std::size_t kWalStartAt = 186;      // where a header image names its log region

// A distinct 8192-byte image per (page, seed).
Bytes image_of(std::uint64_t page, std::uint8_t seed) {
  Bytes image(kPageSize);
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 31 + page * 7 + seed);
  return image;
}

// A stand-in header image that names `wal_start` where the real header keeps it.
Bytes header_naming(std::uint64_t wal_start) {
  Bytes image(kPageSize, 0);
  put_le<std::uint64_t>(image.data() + kWalStartAt, wal_start);
  return image;
}

std::vector<PageImage> images(std::initializer_list<std::uint64_t> pages, std::uint8_t seed = 0) {
  std::vector<PageImage> out;
  for (std::uint64_t p : pages) out.push_back({p, image_of(p, seed)});
  return out;
}

Bytes& bytes_of(MemFile& file) { return file.disk()->bytes; }

Bytes concat(const std::vector<PageImage>& list) {
  Bytes all;
  for (const PageImage& p : list) all.insert(all.end(), p.image.begin(), p.image.end());
  return all;
}

TEST(WalCommit, WritesTheDocumentedFramesAndRecoverReturnsThem) {
  MemFile file;
  const auto tx = images({9, 10, 0});
  ASSERT_TRUE(commit(file, 1, 8, 5, tx));
  const Bytes& b = bytes_of(file);
  ASSERT_EQ(b.size(), kRegion + 3 * kPageFrameSize + kFrameHeadSize);

  const std::uint8_t* f1 = b.data() + kRegion + kPageFrameSize;
  EXPECT_EQ(std::string(f1, f1 + 4), "QWAL");
  EXPECT_EQ(f1[4], 1);
  EXPECT_EQ(get_le<std::uint64_t>(f1 + 5), 5u);
  EXPECT_EQ(get_le<std::uint64_t>(f1 + 13), 10u);
  EXPECT_EQ(get_le<std::uint32_t>(f1 + 21), kPageSize);
  EXPECT_EQ(get_le<std::uint32_t>(f1 + 25), format::crc32(tx[1].image));
  EXPECT_TRUE(std::equal(tx[1].image.begin(), tx[1].image.end(), f1 + kFrameHeadSize));
  const std::uint8_t* c = b.data() + kRegion + 3 * kPageFrameSize;
  EXPECT_EQ(c[4], 2);
  EXPECT_EQ(get_le<std::uint64_t>(c + 5), 5u);
  EXPECT_EQ(get_le<std::uint32_t>(c + 25), format::crc32(concat(tx)));

  auto got = recover(file, 1, 8, 4);
  ASSERT_TRUE(got);
  ASSERT_TRUE(got->has_value());
  EXPECT_EQ(**got, tx);
}

TEST(WalCommit, RefusesBadTransactionsWithoutWriting) {
  struct Case {
    std::string name;
    std::uint64_t wal_start, wal_pages;
    std::vector<PageImage> tx;
    std::string message;
  };
  auto short_image = images({4});
  short_image[0].image.resize(100);
  const std::vector<Case> cases = {
      {"8 images into the 8-page region of a new file", 1, 8, images({1, 2, 3, 4, 5, 6, 7, 0}),
       "invalid argument: transaction needs 65797 WAL bytes but the region holds 65536"},
      {"region over page 0", 0, 8, images({0}),
       "invalid argument: transaction needs 8250 WAL bytes but the region holds 0"},
      {"region past the largest offset", kMax, kMax, images({0}),
       "invalid argument: transaction needs 8250 WAL bytes but the region holds 0"},
      {"image not page-sized", 1, 8, short_image, "invalid argument: WAL frame is not page-sized"},
      {"page past the largest offset", 1, 8, images({std::uint64_t{1} << 50}),
       "invalid argument: page 1125899906842624 lies beyond the largest file offset"},
  };
  for (const Case& c : cases) {
    FaultFile file;
    auto r = commit(file, c.wal_start, c.wal_pages, 1, c.tx);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().message(), c.message) << c.name;
    EXPECT_EQ(file.writes(), 0u) << c.name;
  }
  MemFile fits;
  EXPECT_TRUE(commit(fits, 1, 8, 1, images({1, 2, 3, 4, 5, 6, 0})));  // 57576 bytes
}

// A committed 3-frame transaction with id 5 at page 1, changed by `damage`, recovered with the
// row's region and last id.
TEST(WalRecover, AnythingButACompleteNewerTransactionYieldsNothing) {
  using Damage = std::function<void(Bytes&)>;
  auto at = [](std::uint64_t frame, std::uint64_t field) {
    return kRegion + frame * kPageFrameSize + field;
  };
  auto flip = [](std::uint64_t offset) { return [offset](Bytes& b) { b[offset] ^= 0x01; }; };
  auto cut = [](std::uint64_t length) { return [length](Bytes& b) { b.resize(length); }; };
  auto set_u64 = [](std::uint64_t offset, std::uint64_t v) {
    return [offset, v](Bytes& b) { put_le<std::uint64_t>(b.data() + offset, v); };
  };
  const Damage none = [](Bytes&) {};
  struct Case {
    std::string name;
    Damage damage;
    std::uint64_t wal_start = 1, wal_pages = 8, last = 4;
  };
  const std::vector<Case> cases = {
      {"commit frame missing", cut(at(3, 0))},
      {"commit frame cut short", cut(at(3, 20))},
      {"last page frame cut short", cut(at(2, kFrameHeadSize + 4000))},
      {"one data byte changed", flip(at(1, kFrameHeadSize + 100))},
      {"commit crc changed", flip(at(3, 25))},
      {"page frame crc changed", flip(at(0, 25))},
      {"bad magic", flip(at(0, 0))},
      {"a frame of another transaction", flip(at(2, 5))},
      {"commit frame of another transaction", flip(at(3, 12))},
      {"unknown kind", [&](Bytes& b) { b[at(1, 4)] = 3; }},
      {"page past the largest offset", set_u64(at(1, 13), std::uint64_t{1} << 50)},
      {"page 2^64-1", set_u64(at(1, 13), kMax)},
      {"length past the end of the file", [&](Bytes& b) { put_le<std::uint32_t>(b.data() + at(2, 21), 9000); }},
      {"region too small for the commit frame", none, 1, 3},
      {"id equal to the last committed", none, 1, 8, 5},
      {"id below the last committed", none, 1, 8, 9},
      {"no region", none, 1, 0},
      {"region past the end of the file", none, 10, 8},
      {"region past the largest offset", none, kMax, kMax},
      {"fewer than 29 bytes", cut(kRegion + 28)},
      {"region of zeros",
       [&](Bytes& b) { std::fill(b.begin() + kRegion, b.end(), std::uint8_t{0}); }},
  };
  for (const Case& c : cases) {
    MemFile file;
    ASSERT_TRUE(commit(file, 1, 8, 5, images({9, 10, 0})));
    c.damage(bytes_of(file));
    auto got = recover(file, c.wal_start, c.wal_pages, c.last);
    ASSERT_TRUE(got) << c.name << ": " << got.error().message();
    EXPECT_FALSE(got->has_value()) << c.name;
  }
}

TEST(WalRecover, OnlyTheFirstTransactionOfARegionCounts) {
  MemFile file;
  ASSERT_TRUE(commit(file, 1, 8, 1, images({2, 3, 4, 5, 0}, 1)));
  const auto shorter = images({6, 0}, 2);
  ASSERT_TRUE(commit(file, 1, 8, 2, shorter));  // the tail of transaction 1 stays behind it
  auto got = recover(file, 1, 8, 1);
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ(**got, shorter);
  got = recover(file, 1, 8, 2);
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->has_value());

  ASSERT_TRUE(commit(file, 1, 8, 3, {}));  // a commit frame alone
  got = recover(file, 1, 8, 0);
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->has_value());
}

// Page 0 holds last_txn_id: it may reach the disk only after every other image is durable.
TEST(WalCheckpoint, PageZeroIsWrittenOnlyAfterTheOtherImagesAreSynced) {
  using WriteHome = Result<void> (*)(pager::File&, const std::vector<PageImage>&);
  for (WriteHome write_home : {&checkpoint, &replay}) {
    for (const auto& list : {images({5, 7, 0}), images({0, 5, 7}), images({0}), images({5, 6})}) {
      FaultFile file;
      ASSERT_TRUE(write_home(file, list));
      const auto& ops = file.ops();
      bool other_unsynced = false, zero_written = false;
      for (const auto& op : ops) {
        if (op.kind == OpKind::Sync) other_unsynced = false;
        if (op.kind != OpKind::Write) continue;
        if (op.offset == 0) {
          EXPECT_FALSE(other_unsynced) << "page 0 written before the other pages were synced";
          zero_written = true;
        } else {
          EXPECT_FALSE(zero_written) << "a page written after page 0";
          other_unsynced = true;
        }
      }
      ASSERT_FALSE(ops.empty());
      EXPECT_EQ(ops.back().kind, OpKind::Sync);
      for (const PageImage& p : list) {
        Bytes home(kPageSize);
        ASSERT_TRUE(file.read_at(p.page * kPageSize, home));
        EXPECT_EQ(home, p.image) << "page " << p.page;
      }
    }
  }
  // A crash at the sync before page 0 leaves the old header on disk, whatever else got written.
  auto disk = std::make_shared<pager::testing::MemDisk>();
  disk->bytes = Bytes(kPageSize, 0xAA);
  FaultFile crashing(disk);
  crashing.crash_at(OpKind::Sync, 1);
  EXPECT_FALSE(checkpoint(crashing, images({5, 7, 0})));
  const Bytes after = crashing.crash_image(CrashModel::KeepWritten);
  EXPECT_TRUE(std::all_of(after.begin(), after.begin() + kPageSize,
                          [](std::uint8_t v) { return v == 0xAA; }));
}

TEST(WalReplay, RefusesAFrameThatIsNotPageSizedBeforeWriting) {
  auto frames = images({5, 0});
  frames[1].image.resize(kPageSize - 1);
  FaultFile file;
  auto r = replay(file, frames);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "invalid argument: WAL frame is not page-sized");
  EXPECT_EQ(file.writes(), 0u);
}

TEST(WalFallback, PicksTheNewestTransactionWhoseHeaderNamesItsRegion) {
  const AcceptHeader names_region = [](std::uint64_t k, ByteView image) {
    return image.size() == kPageSize && get_le<std::uint64_t>(image.data() + kWalStartAt) == k;
  };
  auto tx = [](std::uint64_t page, std::uint64_t names) {
    auto list = images({page});
    list.push_back({0, header_naming(names)});
    return list;
  };
  MemFile file;
  ASSERT_TRUE(commit(file, 1, 8, 3, tx(10, 1)));        // abandoned region
  ASSERT_TRUE(commit(file, 129, 8, 7, tx(11, 129)));    // current region: the answer
  ASSERT_TRUE(commit(file, 200, 8, 9, tx(12, 129)));    // header names another region
  ASSERT_TRUE(commit(file, 300, 8, 11, images({13})));  // no header; the file ends mid-page

  auto got = find_newest_transaction(file, names_region);
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ(**got, tx(11, 129));

  std::fill_n(bytes_of(file).begin() + 129 * kPageSize, 4, std::uint8_t{0});  // region 129 gone
  got = find_newest_transaction(file, names_region);
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ(**got, tx(10, 1));

  got = find_newest_transaction(file, [](std::uint64_t, ByteView) { return false; });
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->has_value());
}

// A file whose reported length is far beyond the bytes it holds, as a header's huge region fields
// would make a naive reader believe.
class VastFile : public MemFile {
 public:
  Result<std::uint64_t> size() override { return std::uint64_t{1} << 62; }
  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> out) override {
    largest_read = std::max(largest_read, out.size());
    return MemFile::read_at(offset, out);
  }
  std::size_t largest_read = 0;  // buffers are sized to reads, so this bounds them
};

TEST(WalRecover, HugeFieldsDoNotDriveAllocations) {
  MemFile file;
  const auto tx = images({9, 0});
  ASSERT_TRUE(commit(file, 1, 8, 5, tx));
  auto got = recover(file, 1, kMax, 0);  // capped at the end of the file
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ(**got, tx);

  VastFile vast;
  ASSERT_TRUE(commit(vast, 1, 8, 5, tx));
  got = recover(vast, 1, kMax, 0);  // stops at the commit frame
  ASSERT_TRUE(got && got->has_value());
  EXPECT_EQ(**got, tx);
  put_le<std::uint32_t>(bytes_of(vast).data() + kRegion + 21, 0xFFFFFFFFu);
  got = recover(vast, 1, kMax, 0);  // read piece by piece: fails at the real end, no 4 GiB buffer
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), ErrorKind::Io);
  EXPECT_LE(vast.largest_read, std::size_t{1} << 20);
}

TEST(WalIo, FailuresAreIoErrors) {
  FaultFile file;
  ASSERT_TRUE(commit(file, 1, 8, 5, images({9, 0})));
  file.fail_nth(OpKind::Read, file.count(OpKind::Read) + 1);
  auto got = recover(file, 1, 8, 0);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), ErrorKind::Io);

  FaultFile writes;
  writes.fail_nth(OpKind::Write, 1);
  auto r = commit(writes, 1, 8, 5, images({9, 0}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);

  FaultFile syncs;
  syncs.fail_nth(OpKind::Sync, 1);
  r = checkpoint(syncs, images({9, 0}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(syncs.writes(), 1u);  // page 0 not written after the failed sync
}

TEST(WalSizing, FlushRegionArithmetic) {
  EXPECT_EQ(region_bytes_needed(0).value(), 8250u);
  EXPECT_EQ(region_bytes_needed(7).value(), 65797u);  // 7 runs + page 0 outgrow 8 pages
  EXPECT_GT(region_bytes_needed(7).value(), region_capacity(1, 8));
  EXPECT_LE(region_bytes_needed(6).value(), region_capacity(1, 8));
  EXPECT_EQ(region_bytes_needed(kMax).error().kind(), ErrorKind::InvalidArgument);

  struct Case {
    std::uint64_t needed, pages;
  };
  for (const Case c : {Case{0, 8}, Case{8250, 8}, Case{3 * 8192, 8}, Case{4 * 8192, 10},
                       Case{65797, 17}, Case{81920, 19}, Case{kMax, 3377699720527876}}) {
    EXPECT_EQ(grown_region_pages(c.needed), c.pages) << c.needed;
    if (c.needed != kMax) {
      EXPECT_GE(grown_region_pages(c.needed) * kPageSize, c.needed);
    }
  }

  EXPECT_EQ(region_capacity(1, 8), 65536u);
  EXPECT_EQ(region_capacity(0, 8), 0u);                      // would overwrite the header
  EXPECT_EQ(region_capacity(std::uint64_t{1} << 50, 1), 0u);  // no valid offset
  EXPECT_EQ(region_capacity(1, kMax), static_cast<std::uint64_t>(INT64_MAX) - kPageSize);
}

}  // namespace
}  // namespace quarn::wal
