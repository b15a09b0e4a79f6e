#include "dictfile/mapped_dict.hpp"

#include "archive/validate.hpp"

namespace quillet::dictfile {

using archive::ByteView;
using archive::FixedView;

Result<bool, LoadError> MappedDict::check(ByteView file) {
  if (file.size() < kHeaderLen) return Err{LoadError::too_small(file.size())};
  const auto head = FixedView<kHeaderLen>::at(file, 0);
  const std::array<std::uint8_t, 4> magic{head->u8<0>(), head->u8<1>(), head->u8<2>(), head->u8<3>()};
  if (magic[0] != kMagic[0] || magic[1] != kMagic[1] || magic[2] != kMagic[2] || magic[3] != kMagic[3]) {
    return Err{LoadError::bad_magic(magic)};
  }
  if (const std::uint16_t version = head->u16<4>(); version != kFormatVersion) {
    return Err{LoadError::unsupported_version(version)};
  }
  auto valid = archive::validate_body(file.data() + kHeaderLen, file.size() - kHeaderLen);
  if (!valid) return Err{LoadError::integrity(valid.error().message())};
  return true;
}

Result<MappedDict, LoadError> MappedDict::load(platform::PathView path) {
  auto mapped = platform::map_file(path);
  if (!mapped) return Err{LoadError::from_io(std::move(mapped).error())};
  // From here on the file and the mapping have an owner: any early return releases both.
  MappedDict dict(std::move(mapped).value());
  if (auto ok = check(dict.data()); !ok) return Err{std::move(ok).error()};
  return dict;
}

}  // namespace quillet::dictfile
