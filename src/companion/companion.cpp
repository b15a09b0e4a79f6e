#include "companion/companion.hpp"

namespace quillet::companion {

namespace platform = dictfile::platform;

Result<Companion, LoadFailure> Companion::load(dictfile::platform::PathView path,
                                               dictfile::platform::PathView dict_path) {
  auto dict = dictfile::MappedDict::load(dict_path);
  if (!dict) return Err{LoadFailure{true, dict.error().message(), {}}};
  auto io = [](platform::OsError e) {
    return Err{LoadFailure{false, {}, OpenError{.kind = OpenError::Kind::Io, .io = std::move(e)}}};
  };
  auto file = platform::open_readonly(path);
  if (!file) return io(std::move(file).error());
  auto size = platform::regular_file_size(file.value());
  if (!size) return io(std::move(size).error());
  auto map = platform::map_readonly(file.value(), size.value());
  if (!map) return io(std::move(map).error());
  // A mapping's bytes stay where they are when its owner moves, so the view survives the moves.
  auto view = View::make(dict.value().data(), map.value().view());
  if (!view) return Err{LoadFailure{false, {}, std::move(view).error()}};
  return Companion(std::move(dict).value(), std::move(file).value(), std::move(map).value(), view.value());
}

}  // namespace quillet::companion
