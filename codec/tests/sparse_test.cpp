#include "vamra/sparse.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <string>

#include "test_support.hpp"

namespace vamra::test {
namespace {

std::vector<DenseView> views(const std::vector<Tensor>& c) {
  std::vector<DenseView> v;
  for (const Tensor& t : c) v.push_back(t.view());
  return v;
}

Bytes encode_sparse(SparseFormat format, const Dims& shape, const std::vector<Tensor>& c) {
  const auto v = views(c);
  Bytes out(sparse_required_size(shape.size(), v).value());
  EXPECT_EQ(encode_sparse_into(format, shape, v, out).value(), out.size());
  return out;
}

// A sparse packet framed by hand around any three packets.
Bytes sparse_of(std::uint16_t flag, const Dims& shape, std::initializer_list<Bytes> parts) {
  Bytes p = v4_prefix(flag, 0, shape);
  for (const Bytes& part : parts) {
    put_u32(p, static_cast<std::uint32_t>(part.size()));
    put(p, part);
  }
  return p;
}

// A 3 x 3 CSR matrix with two float64 values and int32 indices.
const std::vector<Tensor> CSR = {tensor(Dtype::Float64, {2}, 1), tensor(Dtype::Int32, {2}, 2),
                                 tensor(Dtype::Int32, {4}, 3)};

TEST(SparseEncode, EmptyCooLayout) {
  const std::vector<Tensor> c = {tensor(Dtype::Float64, {0}), tensor(Dtype::Int32, {0}),
                                 tensor(Dtype::Int32, {0})};
  const Bytes p = encode_sparse(SparseFormat::Coo, {0, 0}, c);
  ASSERT_EQ(p.size(), 222u);
  EXPECT_EQ(cut(p, 22),
            bytes({'V', 'M', 'R', 'A', 4, 8, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0, 0}));
  EXPECT_EQ(Bytes(p.begin() + 22, p.begin() + 86), encode_dense(c[0].view()));
  EXPECT_EQ(Bytes(p.begin() + 86, p.begin() + 90), bytes({64, 0, 0, 0}));
  const auto r = decode(p);
  const Sparse& s = as<Sparse>(r);
  EXPECT_EQ(s.format, SparseFormat::Coo);
  EXPECT_EQ(s.shape, (Dims{0, 0}));
  ASSERT_EQ(s.components.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(std::get<Dense>(s.components[i]).dtype, c[i].dtype);
    EXPECT_TRUE(std::get<Dense>(s.components[i]).data.empty());
  }
}

class SparseFormats : public ::testing::TestWithParam<SparseFormat> {};

TEST_P(SparseFormats, CsrSizedMatrixRoundTrip) {
  const Bytes p = encode_sparse(GetParam(), {3, 3}, CSR);
  ASSERT_EQ(p.size(), 262u);
  Bytes coo = encode_sparse(SparseFormat::Coo, {3, 3}, CSR);
  coo[5] = p[5];
  EXPECT_EQ(coo, p);  // the formats differ only in the flags
  const auto r = decode(p);
  const Sparse& s = as<Sparse>(r);
  EXPECT_EQ(s.format, GetParam());
  EXPECT_EQ(s.shape, (Dims{3, 3}));
  std::size_t at = 18;
  for (std::size_t i = 0; i < 3; ++i) {
    const Dense& d = std::get<Dense>(s.components.at(i));
    at += 4 + 64;  // length field, then the nested header, shape and padding
    EXPECT_EQ(d.data.data(), p.data() + at);
    EXPECT_EQ(copy(d.data), CSR[i].data);
    EXPECT_EQ(d.shape, CSR[i].shape);
    at += d.data.size();
  }
  Bytes extra = p;
  put(extra, noise(33));
  EXPECT_EQ(as<Sparse>(decode(extra)).components.size(), 3u);
  expect_every_cut_too_short(p);
}

INSTANTIATE_TEST_SUITE_P(All, SparseFormats,
                         ::testing::Values(SparseFormat::Coo, SparseFormat::Csr,
                                           SparseFormat::Csc));

TEST(SparseEncode, RefusedBeforeAnyWrite) {
  const Tensor f64 = CSR[0], i32 = CSR[1];
  const struct {
    const char* name;
    Dims shape;
    std::vector<Tensor> components;
    CodecError expected;
    SparseFormat format = SparseFormat::Csr;
    std::size_t buffer = 4096;
  } cases[] = {
      {"two components", {3, 3}, {f64, i32}, {K::Malformed}},
      {"four components", {3, 3}, {f64, i32, i32, i32}, {K::Malformed}},
      {"33 dimensions", Dims(33, 1), {f64, i32, i32}, {K::TooManyDimensions}},
      {"component 33 dims",
       {3},
       {f64, i32, {Dims(33, 1), Dtype::Int8, Bytes(1)}},
       {K::TooManyDimensions}},
      {"component elements",
       {3},
       {f64, {{100000, 10001}, Dtype::Int8, {}}, i32},
       {K::TooManyElements}},
      {"qint4", {3}, {{{2}, Dtype::QInt4, Bytes(1)}, i32, i32}, {K::UnknownDtype, 18}},
      {"bytes", {3}, {f64, i32, {{2}, Dtype::Bytes, Bytes(2)}}, {K::UnknownDtype, 21}},
      {"data length", {3}, {f64, {{2}, Dtype::Int32, Bytes(7)}, i32}, {K::Malformed}},
      {"unknown format", {3}, {f64, i32, i32}, {K::Malformed}, static_cast<SparseFormat>(3)},
      {"one byte short", {3, 3}, {f64, i32, i32}, {K::BufferTooSmall}, SparseFormat::Csr, 253},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto v = views(c.components);
    expect_untouched_failure(
        [&](MutableByteSpan out) { return encode_sparse_into(c.format, c.shape, v, out); },
        c.buffer, c.expected);
    if (c.expected.kind != K::BufferTooSmall && c.format == SparseFormat::Csr) {
      EXPECT_TRUE(is_error(sparse_required_size(c.shape.size(), v), c.expected));
    }
  }
  const Dims dims32(32, 7);  // the most a shape may have
  EXPECT_EQ(as<Sparse>(decode(encode_sparse(SparseFormat::Coo, dims32, CSR))).shape, dims32);
}

TEST(SparseEncode, ComponentPacketMustFitItsLengthField) {
  // Sizes only: the encoder never reads the data of such a component.
  const Bytes small(16);
  const Dims fits{268435451}, too_big{268435452};  // packets of 0xFFFFFFF0 and 2^32 bytes
  const DenseView big{ByteSpan(small.data(), 16 * std::size_t{fits[0]}), fits, Dtype::Complex128};
  const DenseView bigger{ByteSpan(small.data(), 16 * std::size_t{too_big[0]}), too_big,
                         Dtype::Complex128};
  EXPECT_EQ(sparse_component_size(big).value(), 0xFFFFFFF0u);
  const std::array<DenseView, 3> ok{big, CSR[1].view(), CSR[1].view()};
  EXPECT_EQ(sparse_required_size(2, ok).value(), std::size_t{18} + 4 + 0xFFFFFFF0u + 2 * 76);
  const std::array<DenseView, 3> bad{CSR[1].view(), bigger, CSR[1].view()};
  EXPECT_ERR(sparse_required_size(2, bad), K::Malformed);
  const Dims shape{1, 1};
  expect_untouched_failure(
      [&](MutableByteSpan out) { return encode_sparse_into(SparseFormat::Coo, shape, bad, out); },
      512, {K::Malformed});
}

TEST(SparseDecode, DamagedAndNested) {
  const Bytes p = encode_sparse(SparseFormat::Csr, {3, 3}, CSR);
  // The second length field (at 18 + 4 + 80) claims one byte more than remains.
  Bytes long_claim = p;
  store_u32(long_claim.data() + 102, static_cast<std::uint32_t>(p.size() - 106 + 1));
  EXPECT_ERR(decode(long_claim), K::TooShort);
  EXPECT_ERR(decode(with_byte(p, 22, 'X')), K::InvalidMagic);  // a component's own error
  EXPECT_ERR(decode(v4_prefix(FLAG_SPARSE_COO, 0, Dims(33, 0))), K::TooManyDimensions);

  // Version 3 sparse packets, and components that are themselves bundles or sparse packets.
  Bytes v3 = v3_prefix(FLAG_SPARSE_CSC, 0, {3, 3});
  v3.insert(v3.end(), p.begin() + 18, p.end());
  const auto r3 = decode(v3);
  EXPECT_EQ(as<Sparse>(r3).format, SparseFormat::Csc);
  EXPECT_EQ(copy(std::get<Dense>(as<Sparse>(r3).components[2]).data), CSR[2].data);
  const Bytes nested = sparse_of(FLAG_SPARSE_COO, {5},
                                 {v4_prefix(FLAG_BUNDLE, 0, {}), p, encode_dense(CSR[0].view())});
  const auto n = decode(nested);
  EXPECT_TRUE(std::holds_alternative<Bundle>(as<Sparse>(n).components[0]));
  EXPECT_EQ(std::get<Sparse>(as<Sparse>(n).components[1]).format, SparseFormat::Csr);
}

TEST(SparseDecode, NestingLimit) {
  const Bytes leaf = encode_dense(tensor(Dtype::UInt8, {3}).view());
  auto chain = [&](int levels) {
    Bytes p = leaf;
    for (int i = 0; i < levels; ++i) p = sparse_of(FLAG_SPARSE_CSR, {1}, {leaf, p, leaf});
    return p;
  };
  // The innermost leaf sits at depth 64, then 65.
  const Bytes deep = chain(64);
  const auto ok = decode(deep);
  ASSERT_TRUE(ok);
  const Decoded* d = &*ok;
  for (int i = 0; i < 64; ++i) d = &std::get<Sparse>(*d).components.at(1);
  EXPECT_TRUE(std::holds_alternative<Dense>(*d));
  EXPECT_ERR(decode(chain(65)), K::Malformed);
}

// --- check_sparse ---------------------------------------------------------------

// An array's little-endian bytes, as a packet carries them.
template <class T>
Bytes le(std::initializer_list<T> values) {
  Bytes out;
  for (const T v : values) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      out.push_back(static_cast<std::byte>(static_cast<std::uint64_t>(v) >> (8 * i)));
    }
  }
  return out;
}

struct Matrix {
  SparseFormat format;
  std::vector<std::uint64_t> shape;
  Bytes data, first, second;
  Dtype data_type = Dtype::Float32, first_type = Dtype::Int32, second_type = Dtype::Int32;

  Result<void> check() const {
    const SparseArray arrays[] = {{data, data_type}, {first, first_type}, {second, second_type}};
    return check_sparse(format, shape, arrays);
  }
};

// 2 x 3, values at (0, 2), (1, 0), (1, 2); CSC and COO hold the same matrix.
Matrix csr() {
  return {SparseFormat::Csr,
          {2, 3},
          Bytes(12),
          le<std::int32_t>({2, 0, 2}),
          le<std::int32_t>({0, 1, 3})};
}
Matrix csc() {
  return {SparseFormat::Csc,
          {2, 3},
          Bytes(12),
          le<std::int32_t>({1, 0, 1}),
          le<std::int32_t>({0, 1, 1, 3})};
}
Matrix coo() {
  return {SparseFormat::Coo,
          {2, 3},
          Bytes(12),
          le<std::int32_t>({0, 1, 1}),
          le<std::int32_t>({2, 0, 2})};
}

TEST(SparseCheck, SoundMatricesPass) {
  for (const Matrix& m : {csr(), csc(), coo()}) EXPECT_TRUE(m.check());
  // Empty ones: no stored value, and no row or column at all.
  EXPECT_TRUE((Matrix{SparseFormat::Csr, {2, 3}, {}, {}, le<std::int32_t>({0, 0, 0})}.check()));
  EXPECT_TRUE((Matrix{SparseFormat::Csc, {0, 0}, {}, {}, le<std::int32_t>({0})}.check()));
  EXPECT_TRUE((Matrix{SparseFormat::Coo, {0, 0}, {}, {}, {}}.check()));
  // Every integer type serves, each array on its own; data of any dense type.
  Matrix m = csr();
  m.first = le<std::uint8_t>({2, 0, 2});
  m.first_type = Dtype::UInt8;
  m.second = le<std::int64_t>({0, 1, 3});
  m.second_type = Dtype::Int64;
  m.data = Bytes(3 * 16);
  m.data_type = Dtype::Complex128;
  EXPECT_TRUE(m.check());
  // Indices at the very edge of a dimension beyond 32 bits (shapes from outside a packet).
  Matrix wide = coo();
  wide.shape = {2, 1ull << 40};
  wide.second = le<std::uint64_t>({0, (1ull << 40) - 1, 5});
  wide.second_type = Dtype::UInt64;
  EXPECT_TRUE(wide.check());
}

struct Breach {
  const char* name;
  Matrix (*make)();
  void (*damage)(Matrix&);
};

const Breach BREACHES[] = {
    {"csr column at the width", csr,
     [](Matrix& m) {
       m.first = le<std::int32_t>({2, 0, 3});
     }},
    {"csr negative column", csr,
     [](Matrix& m) {
       m.first = le<std::int32_t>({2, -1, 2});
     }},
    {"csr negative int8 column", csr,
     [](Matrix& m) {
       m.first = le<std::int8_t>({2, -1, 2});
       m.first_type = Dtype::Int8;
     }},
    {"csr huge uint64 column", csr,
     [](Matrix& m) {
       m.first = le<std::uint64_t>({2, 0, ~0ull});
       m.first_type = Dtype::UInt64;
     }},
    {"csr indptr not from 0", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({1, 1, 3});
     }},
    {"csr indptr decreases", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, 4, 3});
     }},
    {"csr indptr negative", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, -1, 3});
     }},
    {"csr indptr short of nnz", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, 1, 2});
     }},
    {"csr indptr past nnz", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, 1, 4});
     }},
    {"csr indptr too long", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, 1, 1, 3});
     }},
    {"csr indptr too short", csr,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, 3});
     }},
    {"csr indptr empty", csr, [](Matrix& m) { m.second = {}; }},
    {"csr fewer indices than data", csr,
     [](Matrix& m) {
       m.first = le<std::int32_t>({2, 0});
     }},
    {"csr more data than indices", csr, [](Matrix& m) { m.data = Bytes(16); }},
    {"csr partial element", csr, [](Matrix& m) { m.first.pop_back(); }},
    {"csr float indices", csr, [](Matrix& m) { m.first_type = Dtype::Float32; }},
    {"csr bool indptr", csr,
     [](Matrix& m) {
       m.second = bytes({0, 1, 1});
       m.second_type = Dtype::Bool;
     }},
    {"csr string data", csr, [](Matrix& m) { m.data_type = Dtype::String; }},
    {"csr one dimension", csr, [](Matrix& m) { m.shape = {6}; }},
    {"csr three dimensions", csr,
     [](Matrix& m) {
       m.shape = {2, 3, 1};
     }},
    {"csr shape of rows near 2^64", csr, [](Matrix& m) { m.shape[0] = ~0ull; }},
    {"csc row at the height", csc,
     [](Matrix& m) {
       m.first = le<std::int32_t>({1, 0, 2});
     }},
    {"csc indptr sized by rows", csc,
     [](Matrix& m) {
       m.second = le<std::int32_t>({0, 1, 3});
     }},
    {"coo row at the height", coo,
     [](Matrix& m) {
       m.first = le<std::int32_t>({0, 2, 1});
     }},
    {"coo column at the width", coo,
     [](Matrix& m) {
       m.second = le<std::int32_t>({2, 0, 3});
     }},
    {"coo negative row", coo,
     [](Matrix& m) {
       m.first = le<std::int32_t>({0, -5, 1});
     }},
    {"coo rows shorter", coo,
     [](Matrix& m) {
       m.first = le<std::int32_t>({0, 1});
     }},
    {"coo columns longer", coo,
     [](Matrix& m) {
       m.second = le<std::int32_t>({2, 0, 2, 0});
     }},
    {"coo float64 rows", coo,
     [](Matrix& m) {
       m.first = Bytes(24);
       m.first_type = Dtype::Float64;
     }},
};

class SparseBreaches : public ::testing::TestWithParam<Breach> {};

TEST_P(SparseBreaches, AreMalformed) {
  Matrix m = GetParam().make();
  ASSERT_TRUE(m.check());
  GetParam().damage(m);
  EXPECT_ERR(m.check(), K::Malformed);
}

INSTANTIATE_TEST_SUITE_P(All, SparseBreaches, ::testing::ValuesIn(BREACHES), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
});

TEST(SparseCheck, ReadsArraysAtAnyAddress) {
  // The arrays a packet lends sit wherever its buffer puts them.
  Bytes store(1 + 12);
  const Bytes indices = le<std::int32_t>({2, 0, 2});
  std::copy(indices.begin(), indices.end(), store.begin() + 1);
  Matrix m = csr();
  const SparseArray arrays[] = {
      {m.data, m.data_type}, {ByteSpan(store).subspan(1), Dtype::Int32}, {m.second, m.second_type}};
  EXPECT_TRUE(check_sparse(SparseFormat::Csr, m.shape, arrays));
  store[1 + 8] = std::byte{3};
  EXPECT_ERR(check_sparse(SparseFormat::Csr, m.shape, arrays), K::Malformed);
}

}  // namespace
}  // namespace vamra::test
