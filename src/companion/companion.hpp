#pragma once
// An opened companion: its own mapping and the validated view of it together with the
// dictionary it belongs to, which the caller has opened and keeps alive.

#include "common/result.hpp"
#include "companion/view.hpp"
#include "dictfile/platform.hpp"

namespace quillet::companion {

class Companion {
 public:
  /// Opens and maps the companion at `path` and validates it against `dict`, a whole dictionary
  /// file that has passed its own checks. The companion never maps the dictionary itself: the
  /// bytes it is checked against are the very bytes it answers from, whatever happens to the file
  /// meanwhile. `dict` must outlive the companion. Every failure releases what was acquired.
  [[nodiscard]] static Result<Companion, OpenError> load(dictfile::platform::PathView path, archive::ByteView dict);

  Companion(Companion&&) noexcept = default;
  Companion& operator=(Companion&&) noexcept = default;

  [[nodiscard]] const View& view() const noexcept { return view_; }

 private:
  Companion(dictfile::platform::MappedFile file, View view) noexcept : file_(std::move(file)), view_(view) {}

  dictfile::platform::MappedFile file_;
  View view_;  ///< points into file_, which never moves its bytes, and into the caller's dictionary
};

}  // namespace quillet::companion
