// What makes a path argument a URL for fsspec rather than a local path.
#pragma once

#include <string_view>

namespace molvane::core {

// True for text that starts with a scheme and "://" ("s3://b/x.sdf",
// "https://host/x.sdf.gz", "file:///tmp/x.sdf"): a letter, then letters,
// digits, '+', '-' or '.', then "://". Such text is never taken as a local
// path; a local file whose name looks like one is reached as "./name".
bool is_url(std::string_view text) noexcept;

}  // namespace molvane::core
