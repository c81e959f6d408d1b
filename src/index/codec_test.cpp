#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <functional>

#include "index/index.h"
#include "index/test_util.h"
#include "memory/msgpack_io.h"

namespace quarn::index {
namespace {

using testing::id;

// A valid index: dims 2, two partitions, subspaces of width 1 with 2 and 3 codewords.
IvfPqIndex valid_index() {
  IvfPqIndex index;
  index.dims = 2;
  index.n_partitions = 2;
  index.n_probe = 8;
  index.n_rerank = 64;
  index.centroids = {0.0f, 0.0f, 1.5f, -2.25f};
  index.pq.sub_offsets = {0, 1, 2};
  index.pq.centroids = {{0.0f, 1.0f}, {0.5f, 1.5f, 2.5f}};
  index.pq.ks = {2, 3};
  index.partitions.resize(2);
  index.partitions[0] = {{id(1), id(2)}, {1, 2, 0, 0}};
  index.partitions[1] = {{id(3)}, {1, 1}};
  return index;
}

Bytes encode(const IvfPqIndex& index) {
  auto bytes = encode_index(index);
  EXPECT_TRUE(bytes.has_value());
  return bytes.value_or(Bytes{});
}

void expect_same(const IvfPqIndex& a, const IvfPqIndex& b) {
  EXPECT_EQ(a.dims, b.dims);
  EXPECT_EQ(a.n_partitions, b.n_partitions);
  EXPECT_EQ(a.n_probe, b.n_probe);
  EXPECT_EQ(a.n_rerank, b.n_rerank);
  EXPECT_EQ(a.centroids, b.centroids);
  EXPECT_EQ(a.pq, b.pq);
  EXPECT_EQ(a.partitions, b.partitions);
}

TEST(IndexCodec, EncodesTheDocumentedBytes) {
  IvfPqIndex index;
  index.dims = 1;
  index.n_partitions = 1;
  index.n_probe = 8;
  index.n_rerank = 64;
  index.centroids = {1.0f};
  index.pq.sub_offsets = {0, 1};
  index.pq.centroids = {{0.5f, 2.0f}};
  index.pq.ks = {2};
  index.partitions = {{{Ulid{0x0102030405060708ULL, 0x090A0B0C0D0E0F10ULL}}, {1}}};
  const Bytes expected = {
      0x97, 0x01, 0x01, 0x08, 0x40,                    // dims, n_partitions, n_probe, n_rerank
      0x91, 0xCA, 0x3F, 0x80, 0x00, 0x00,              // centroids [1.0]
      0x93,                                            // pq
      0x92, 0x00, 0x01,                                //   sub_offsets [0, 1]
      0x91, 0x92, 0xCA, 0x3F, 0x00, 0x00, 0x00,        //   centroids [[0.5,
      0xCA, 0x40, 0x00, 0x00, 0x00,                    //               2.0]]
      0x91, 0x02,                                      //   ks [2]
      0x91, 0x92,                                      // partitions [[
      0x91, 0xC4, 0x10, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // ids [id]
      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,
      0x91, 0x01};                                     // codes [1]
  EXPECT_EQ(encode(index), expected);
  auto back = decode_index(expected, 1);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  expect_same(**back, index);
}

TEST(IndexCodec, CodesUseFixintBelow128AndUint8Above) {
  IvfPqIndex index = valid_index();
  index.partitions = {{{id(1)}, {5, 200}}, {}};
  const Bytes bytes = encode(index);
  const Bytes tail = {0x92, 0x05, 0xCC, 0xC8, 0x92, 0x90, 0x90};  // codes, then the empty posting
  ASSERT_GE(bytes.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - tail.size()));
}

TEST(IndexCodec, RoundTripRebuildsPartitionOfAndUsesLongArrayHeaders) {
  IvfPqIndex index = valid_index();
  index.dims = 20;
  index.centroids = testing::random_floats(40, 3);
  index.pq.sub_offsets = {0, 10, 20};
  index.pq.centroids = {testing::random_floats(20, 4), testing::random_floats(30, 5)};
  const Bytes bytes = encode(index);
  const Bytes header = {0x97, 0x14, 0x02, 0x08, 0x40, 0xDC, 0x00, 0x28};  // array 16 of 40 floats
  EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin()));
  auto back = decode_index(bytes, 20);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  expect_same(**back, index);
  EXPECT_EQ((*back)->partition_of.size(), 3u);
  EXPECT_EQ((*back)->partition_of.at(id(2)), 0u);
  EXPECT_EQ((*back)->partition_of.at(id(3)), 1u);
}

// The map form of valid_index(), with an unknown key at each level; `skip`/`twice` name a field
// of the index to leave out or repeat.
Bytes map_form(std::string_view skip = "", std::string_view twice = "") {
  const IvfPqIndex index = valid_index();
  Bytes out;
  mp::ByteSink sink{&out};
  mp::Packer pk(sink);
  auto floats = [&](const std::vector<float>& v) {
    pk.pack_array(v.size());
    for (float f : v) {
      const auto b = std::bit_cast<std::uint32_t>(f);
      out.insert(out.end(), {0xCA, std::uint8_t(b >> 24), std::uint8_t(b >> 16), std::uint8_t(b >> 8), std::uint8_t(b)});
    }
  };
  using Field = std::pair<std::string_view, std::function<void()>>;
  const std::vector<Field> fields = {
      {"extra", [&] { pk.pack(std::string("ignored")); }},
      {"partitions",
       [&] {
         pk.pack_array(2);
         for (const Posting& p : index.partitions) {
           pk.pack_map(3);
           pk.pack(std::string("codes"));
           pk.pack(std::vector<unsigned>(p.codes.begin(), p.codes.end()));
           pk.pack(std::string("note"));
           pk.pack_nil();
           pk.pack(std::string("ids"));
           pk.pack_array(p.ids.size());
           for (const Ulid& i : p.ids) mp::pack_id(pk, i);
         }
       }},
      {"pq",
       [&] {
         pk.pack_map(4);
         pk.pack(std::string("ks"));
         pk.pack(index.pq.ks);
         pk.pack(std::string("centroids"));
         pk.pack_array(2);
         for (const auto& book : index.pq.centroids) floats(book);
         pk.pack(std::string("sub_offsets"));
         pk.pack(index.pq.sub_offsets);
         pk.pack(std::string("version"));
         pk.pack(7);
       }},
      {"centroids", [&] { floats(index.centroids); }},
      {"n_rerank", [&] { pk.pack(index.n_rerank); }},
      {"n_probe", [&] { pk.pack(index.n_probe); }},
      {"n_partitions", [&] { pk.pack(index.n_partitions); }},
      {"dims", [&] { pk.pack(index.dims); }},
  };
  std::size_t count = 0;
  for (const auto& [name, write] : fields) count += name == skip ? 0 : name == twice ? 2 : 1;
  pk.pack_map(static_cast<std::uint32_t>(count));
  for (const auto& [name, write] : fields) {
    for (int i = 0; i < (name == skip ? 0 : name == twice ? 2 : 1); ++i) {
      pk.pack(std::string(name));
      write();
    }
  }
  return out;
}

TEST(IndexCodec, ReadsTheMapFormAndRefusesMissingOrRepeatedFields) {
  auto back = decode_index(map_form(), 2);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  expect_same(**back, valid_index());
  for (auto [skip, twice] : {std::pair{"n_probe", ""}, std::pair{"", "pq"}}) {
    auto result = decode_index(map_form(skip, twice), 2);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::Serialization);
  }
}

TEST(IndexCodec, DimensionalityMismatchIsReportedBeforeOtherChecks) {
  IvfPqIndex broken = valid_index();
  broken.n_partitions = 0;
  for (const IvfPqIndex& index : {valid_index(), broken}) {
    auto result = decode_index(encode(index), 16);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(),
              "invalid argument: ANN index dimensionality does not match the database");
  }
}

TEST(IndexCodec, InconsistentIndexesAreRefused) {
  const std::vector<std::pair<const char*, std::function<void(IvfPqIndex&)>>> cases = {
      {"no partitions", [](IvfPqIndex& x) { x.n_partitions = 0; x.centroids.clear(); x.partitions.clear(); }},
      {"centroid count", [](IvfPqIndex& x) { x.centroids.push_back(0); }},
      {"centroid count overflows", [](IvfPqIndex& x) { x.n_partitions = 1ULL << 63; x.centroids.clear(); }},
      {"posting count", [](IvfPqIndex& x) { x.partitions.push_back({}); }},
      {"one boundary", [](IvfPqIndex& x) { x.pq.sub_offsets = {2}; }},
      {"first boundary", [](IvfPqIndex& x) { x.pq.sub_offsets[0] = 1; }},
      {"last boundary", [](IvfPqIndex& x) { x.pq.sub_offsets[2] = 3; }},
      {"decreasing boundary", [](IvfPqIndex& x) { x.pq.sub_offsets[1] = 3; }},
      {"codebook count", [](IvfPqIndex& x) { x.pq.centroids.pop_back(); }},
      {"ks count", [](IvfPqIndex& x) { x.pq.ks.push_back(1); }},
      {"ks zero", [](IvfPqIndex& x) { x.pq.ks[0] = 0; x.pq.centroids[0].clear(); }},
      {"ks above 256", [](IvfPqIndex& x) { x.pq.ks[0] = 257; x.pq.centroids[0].resize(257); }},
      {"codebook size", [](IvfPqIndex& x) { x.pq.centroids[1].pop_back(); }},
      {"codes per id", [](IvfPqIndex& x) { x.partitions[1].codes.push_back(0); }},
      {"code beyond ks", [](IvfPqIndex& x) { x.partitions[1].codes[1] = 3; }},
      {"id in two postings", [](IvfPqIndex& x) { x.partitions[1].ids[0] = id(1); }},
      {"id twice in a posting", [](IvfPqIndex& x) { x.partitions[0].ids[1] = id(1); }},
  };
  for (const auto& [name, mutate] : cases) {
    IvfPqIndex index = valid_index();
    mutate(index);
    auto result = decode_index(encode(index), 2);
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error().kind(), ErrorKind::Serialization) << name;
    EXPECT_NE(result.error().text().find("invalid ANN index"), std::string::npos) << name;
  }
}

TEST(IndexCodec, MalformedBytesAreSerializationErrors) {
  Bytes bad_code = encode(valid_index());
  bad_code.back() = 0xCD;  // the last code becomes uint 16 ...
  bad_code.push_back(0x01);
  bad_code.push_back(0x00);  // ... of value 256
  Bytes short_id = encode(valid_index());
  short_id[short_id.size() - 20] = 0x0F;  // last id declared 15 bytes long
  const std::vector<Bytes> blobs = {
      {},
      {0x96, 0x01, 0x01, 0x08, 0x40, 0x90, 0x90},
      {0x97, 0x01, 0x01, 0x08, 0x40, 0xDD, 0xFF, 0xFF, 0xFF, 0xFF,  // four billion centroids
       0xCA, 0, 0, 0, 0, 0xCA, 0, 0, 0, 0},
      {0xC1},
      bad_code,
      short_id,
  };
  for (const Bytes& blob : blobs) {
    const auto start = std::chrono::steady_clock::now();
    auto result = decode_index(blob, 1);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind(), ErrorKind::Serialization) << result.error().message();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
}

}  // namespace
}  // namespace quarn::index
