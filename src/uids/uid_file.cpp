#include "uids/uid_file.hpp"

namespace quillet::uids {

namespace platform = dictfile::platform;

Result<UidFile, OpenError> UidFile::load(platform::PathView path) {
  auto io = [](platform::OsError e) { return Err{OpenError{.kind = OpenError::Kind::Io, .io = std::move(e)}}; };
  auto file = platform::open_readonly(path);
  if (!file) return io(std::move(file).error());
  auto size = platform::regular_file_size(file.value());
  if (!size) return io(std::move(size).error());
  auto map = platform::map_readonly(file.value(), size.value());
  if (!map) return io(std::move(map).error());
  // A mapping's bytes stay where they are when its owner moves, so the view survives the moves.
  auto view = View::make(map.value().view());
  if (!view) return Err{std::move(view).error()};
  return UidFile(std::move(file).value(), std::move(map).value(), view.value());
}

}  // namespace quillet::uids
