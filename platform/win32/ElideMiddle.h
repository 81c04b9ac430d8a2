// Cutting a path to a width by leaving out part of its middle, as the shell shows long paths:
// the start and the file name stay, "..." stands for what is left out.
#pragma once

#include <string>
#include <vector>

namespace quorvel::win32 {

// `text` as shown in `width` pixels. `ends[i]` is the width of its first i + 1 characters
// (as GetTextExtentExPointW gives them) and `ellipsisWidth` the width of "...". A text that
// fits comes back whole. Otherwise a middle part becomes "...": the last path component
// (from the last backslash on) stays whole when it fits beside "...", and the start takes the
// rest of the room; when even that component is too wide, start and end share the room.
// Surrogate pairs are never split. "..." alone when nothing else fits.
std::wstring ElideMiddle(const std::wstring& text, const std::vector<int>& ends, int ellipsisWidth,
                         int width);

}  // namespace quorvel::win32
