// Exchanges packets with the Python package through files.
//
//   vamra_exchange version      prints the codec's release
//   vamra_exchange write DIR    writes DIR/cpp_dense.vmra, a float32 tensor of
//                               shape (2, 3), and DIR/cpp_bundle.vmra, a bundle
//                               {"weights": float32 (2, 2), "bias": float32 (2,)}
//   vamra_exchange read DIR     decodes DIR/py_bundle.vmra, a bundle
//                               {"x": float32 (3, 4) with x.flat[i] == i / 4},
//                               and DIR/py_compressed.vmra, a compressed float32
//                               tensor of shape (1000,) with t[i] == i / 2
//
// Exits 0 when every step succeeds and every value matches, 1 otherwise.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vamra/bundle.hpp>
#include <vamra/decode.hpp>
#include <vamra/dense.hpp>
#include <vamra/version.hpp>
#include <vector>

namespace {

using Bytes = std::vector<std::byte>;

const char* kind_name(vamra::ErrorKind kind) {
  switch (kind) {
    case vamra::ErrorKind::TooShort:
      return "TooShort";
    case vamra::ErrorKind::InvalidMagic:
      return "InvalidMagic";
    case vamra::ErrorKind::UnsupportedVersion:
      return "UnsupportedVersion";
    case vamra::ErrorKind::UnknownDtype:
      return "UnknownDtype";
    case vamra::ErrorKind::TooManyDimensions:
      return "TooManyDimensions";
    case vamra::ErrorKind::TooManyElements:
      return "TooManyElements";
    case vamra::ErrorKind::IntegrityMismatch:
      return "IntegrityMismatch";
    case vamra::ErrorKind::TooManyBundleEntries:
      return "TooManyBundleEntries";
    case vamra::ErrorKind::Compression:
      return "Compression";
    case vamra::ErrorKind::BufferTooSmall:
      return "BufferTooSmall";
    case vamra::ErrorKind::Malformed:
      return "Malformed";
  }
  return "?";
}

bool failed(const char* what, const vamra::CodecError& error) {
  std::fprintf(stderr, "%s: %s%s%s\n", what, kind_name(error.kind), error.text ? ": " : "",
               error.text ? error.text : "");
  return false;
}

bool mismatch(const char* what) {
  std::fprintf(stderr, "%s: unexpected value\n", what);
  return false;
}

std::span<const std::byte> as_bytes(const std::vector<float>& values) {
  return std::as_bytes(std::span(values));
}

// A dense float32 packet with an integrity footer, in a buffer of exactly its size.
vamra::Result<Bytes> encode_float32(const std::vector<float>& values,
                                    std::span<const std::uint32_t> shape) {
  const vamra::DenseView view{as_bytes(values), shape, vamra::Dtype::Float32};
  const vamra::EncodeOptions options{.check_integrity = true};
  auto size = vamra::dense_required_size(view, options);
  if (!size) return std::unexpected(size.error());
  Bytes out(*size);
  auto written = vamra::encode_dense_into(view, out, options);
  if (!written) return std::unexpected(written.error());
  out.resize(*written);
  return out;
}

bool write_file(const std::filesystem::path& path, std::span<const std::byte> bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

bool read_file(const std::filesystem::path& path, Bytes& out) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  out.resize(text.size());
  std::memcpy(out.data(), text.data(), text.size());
  return true;
}

// Compares a float32 body, which need not be aligned for float, with `expected(i)`.
template <class F>
bool floats_match(std::span<const std::byte> data, std::size_t count, F expected) {
  if (data.size() != count * sizeof(float)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    float value;
    std::memcpy(&value, data.data() + i * sizeof(float), sizeof(float));
    if (value != expected(i)) return false;
  }
  return true;
}

bool write_packets(const std::filesystem::path& dir) {
  const std::vector<float> tensor{0.5f, -1.25f, 3.0f, 4.75f, -0.0f, 1e-3f};
  const std::uint32_t tensor_shape[] = {2, 3};
  auto dense = encode_float32(tensor, tensor_shape);
  if (!dense) return failed("encode dense", dense.error());

  const std::vector<float> weights{1.0f, 2.0f, 3.0f, 4.0f};
  const std::uint32_t weights_shape[] = {2, 2};
  const std::vector<float> bias{-0.5f, 0.25f};
  const std::uint32_t bias_shape[] = {2};
  auto weights_packet = encode_float32(weights, weights_shape);
  if (!weights_packet) return failed("encode weights", weights_packet.error());
  auto bias_packet = encode_float32(bias, bias_shape);
  if (!bias_packet) return failed("encode bias", bias_packet.error());

  // Entries lend their keys and packets; the bundle copies them into `bundle`.
  const std::string_view keys[] = {"weights", "bias"};
  const vamra::BundleItem items[] = {
      {std::as_bytes(std::span(keys[0])), *weights_packet},
      {std::as_bytes(std::span(keys[1])), *bias_packet},
  };
  auto size = vamra::bundle_required_size(items);
  if (!size) return failed("size bundle", size.error());
  Bytes bundle(*size);
  auto written = vamra::encode_bundle_into(items, bundle);
  if (!written) return failed("encode bundle", written.error());

  return write_file(dir / "cpp_dense.vmra", *dense) &&
         write_file(dir / "cpp_bundle.vmra", std::span(bundle).first(*written));
}

bool read_packets(const std::filesystem::path& dir) {
  // Decoded values borrow `bundle_bytes`: it must outlive `decoded`.
  Bytes bundle_bytes;
  if (!read_file(dir / "py_bundle.vmra", bundle_bytes)) return false;
  auto decoded = vamra::decode(bundle_bytes);
  if (!decoded) return failed("decode bundle", decoded.error());
  // vamra.dumps and vamra.save lay a dict out with an index of the saved
  // tree as its first entry, under the reserved name "__vamra__": a reader
  // that wants the values alone skips it.
  const auto* bundle = std::get_if<vamra::Bundle>(&*decoded);
  if (bundle == nullptr || bundle->entries.size() != 2 || bundle->entries[0].key != "__vamra__" ||
      bundle->entries[1].key != "x") {
    return mismatch("bundle entries");
  }
  const auto* x = std::get_if<vamra::Dense>(&bundle->entries[1].value);
  if (x == nullptr || x->dtype != vamra::Dtype::Float32 || x->shape != vamra::Shape{3, 4} ||
      !floats_match(x->data, 12, [](std::size_t i) { return static_cast<float>(i) / 4; })) {
    return mismatch("bundle entry x");
  }

  // A compressed body cannot be lent from the packet: this path owns its copy.
  Bytes compressed_bytes;
  if (!read_file(dir / "py_compressed.vmra", compressed_bytes)) return false;
  auto owned = vamra::decode_dense_to_owned(compressed_bytes);
  if (!owned) return failed("decode compressed", owned.error());
  if (owned->dtype != vamra::Dtype::Float32 || owned->shape != vamra::Shape{1000} ||
      !floats_match(owned->data.span(), 1000,
                    [](std::size_t i) { return static_cast<float>(i) / 2; })) {
    return mismatch("compressed tensor");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "version" && argc == 2) {
    std::printf("%s\n", vamra::VERSION);
    return 0;
  }
  if (command == "write" && argc == 3) return write_packets(argv[2]) ? 0 : 1;
  if (command == "read" && argc == 3) return read_packets(argv[2]) ? 0 : 1;
  std::fprintf(stderr, "usage: %s version | write DIR | read DIR\n", argv[0]);
  return 2;
}
