#include "companion/companion.hpp"

namespace quillet::companion {

namespace platform = dictfile::platform;

Result<Companion, OpenError> Companion::load(platform::PathView path, archive::ByteView dict) {
  auto io = [](platform::OsError e) { return Err{OpenError{.kind = OpenError::Kind::Io, .io = std::move(e)}}; };
  auto file = platform::open_readonly(path);
  if (!file) return io(std::move(file).error());
  auto size = platform::regular_file_size(file.value());
  if (!size) return io(std::move(size).error());
  auto map = platform::map_readonly(file.value(), size.value());
  if (!map) return io(std::move(map).error());
  // A mapping's bytes stay where they are when its owner moves, so the view survives the moves.
  auto view = View::make(dict, map.value().view());
  if (!view) return Err{std::move(view).error()};
  return Companion(std::move(file).value(), std::move(map).value(), view.value());
}

}  // namespace quillet::companion
