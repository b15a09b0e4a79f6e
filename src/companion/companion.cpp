#include "companion/companion.hpp"

namespace quillet::companion {

namespace platform = dictfile::platform;

Result<Companion, OpenError> Companion::load(platform::PathView path, archive::ByteView dict) {
  auto mapped = platform::map_file(path);
  if (!mapped) return Err{OpenError{.kind = OpenError::Kind::Io, .io = std::move(mapped).error()}};
  // A mapping's bytes stay where they are when its owner moves, so the view survives the moves.
  auto view = View::make(dict, mapped.value().view());
  if (!view) return Err{std::move(view).error()};
  return Companion(std::move(mapped).value(), view.value());
}

}  // namespace quillet::companion
