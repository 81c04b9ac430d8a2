// Which file paths the folder search lists.
#pragma once

#include <string_view>

namespace quorvel {

// True when the text from the last dot of the whole path to its end is ".olv" in any letter
// case: "a.olv", "A.OLV" and ".olv" match; "a.olv.bak", "olv" and "x.olv/readme" do not.
bool IsOlvPath(std::string_view path);

}  // namespace quorvel
