#pragma once
// An opened companion: its own mapping, a mapping of the dictionary it belongs to, and the
// validated view of the pair.

#include <string_view>

#include "common/result.hpp"
#include "companion/view.hpp"
#include "dictfile/mapped_dict.hpp"
#include "dictfile/platform.hpp"

namespace quillet::companion {

/// Why opening failed: the dictionary itself (its load error's text), or the companion.
struct LoadFailure {
  bool of_dictionary;
  std::string dictionary_text;  ///< of_dictionary: the dictionary's load error, as open reports it
  OpenError companion;          ///< otherwise
};

class Companion {
 public:
  /// Opens and maps the dictionary at `dict_path` (checked as `open` checks it) and the companion
  /// at `path`, and validates the pair. Every failure releases what was acquired.
  [[nodiscard]] static Result<Companion, LoadFailure> load(dictfile::platform::PathView path,
                                                           dictfile::platform::PathView dict_path);

  Companion(Companion&&) noexcept = default;
  Companion& operator=(Companion&&) noexcept = default;

  [[nodiscard]] const View& view() const noexcept { return view_; }

 private:
  Companion(dictfile::MappedDict dict, dictfile::platform::File file, dictfile::platform::Mapping map,
            View view) noexcept
      : dict_(std::move(dict)), file_(std::move(file)), map_(std::move(map)), view_(view) {}

  dictfile::MappedDict dict_;
  // Declared before the mapping so that the view is unmapped before the file is closed.
  dictfile::platform::File file_;
  dictfile::platform::Mapping map_;
  View view_;  ///< points into dict_ and map_, which never move their bytes
};

}  // namespace quillet::companion
