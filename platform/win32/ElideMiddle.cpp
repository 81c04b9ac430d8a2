#include "platform/win32/ElideMiddle.h"

namespace quorvel::win32 {

namespace {

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::wstring ElideMiddle(const std::wstring& text, const std::vector<int>& ends, int ellipsisWidth,
                         int width) {
    const std::size_t n = text.size();
    if (n == 0 || ends.size() < n || ends[n - 1] <= width) return text;
    const int room = width - ellipsisWidth;
    if (room <= 0) return L"...";
    // Width of the characters [from, to).
    const auto span = [&](std::size_t from, std::size_t to) {
        return (to ? ends[to - 1] : 0) - (from ? ends[from - 1] : 0);
    };
    // The longest start of at most `pixels`, and the shortest end position whose rest fits.
    const auto headFitting = [&](int pixels, std::size_t limit) {
        std::size_t h = 0;
        while (h < limit && ends[h] <= pixels) ++h;
        return h;
    };
    const auto tailFitting = [&](int pixels) {
        std::size_t t = n;
        while (t > 0 && span(t - 1, n) <= pixels) --t;
        return t;
    };

    std::size_t head = 0, tail = n;
    const std::size_t lastSeparator = text.rfind(L'\\');
    if (lastSeparator != std::wstring::npos && lastSeparator > 0 && span(lastSeparator, n) <= room) {
        tail = lastSeparator;
        head = headFitting(room - span(tail, n), tail);
    } else {
        head = headFitting(room / 2, n);
        tail = tailFitting(room - span(0, head));
    }
    if (head > 0 && IsHighSurrogate(text[head - 1])) --head;
    if (tail < n && IsLowSurrogate(text[tail])) ++tail;
    if (tail < head) tail = head;
    return text.substr(0, head) + L"..." + text.substr(tail);
}

}  // namespace quorvel::win32
