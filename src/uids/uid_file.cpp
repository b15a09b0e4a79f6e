#include "uids/uid_file.hpp"

namespace quillet::uids {

namespace platform = dictfile::platform;

Result<UidFile, OpenError> UidFile::load(platform::PathView path) {
  auto mapped = platform::map_file(path);
  if (!mapped) return Err{OpenError{.kind = OpenError::Kind::Io, .io = std::move(mapped).error()}};
  // A mapping's bytes stay where they are when its owner moves, so the view survives the moves.
  auto view = View::make(mapped.value().view());
  if (!view) return Err{std::move(view).error()};
  return UidFile(std::move(mapped).value(), view.value());
}

}  // namespace quillet::uids
