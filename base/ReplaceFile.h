// Writing a small file of the program's own (a saved list) whole or not at all.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// Makes `path` hold exactly `bytes`: writes them to a new file in the same folder, flushes it
// to disk and renames it over `path` in one step, so that `path` holds either its old content
// or the new, never a part. Returns "" on success, else a short reason (the system's text of
// the error), with `path` as it was and no new file left behind. `path` is UTF-8 on Windows,
// raw bytes elsewhere.
std::string ReplaceFileContents(const std::string& path, std::string_view bytes);

}  // namespace quorvel
