// Texts are never clipped, whatever the font: the main dialog made from template 102 in its own
// font and in a larger one, and the About box. A screenshot at the larger font is saved for a
// person to look at (QUORVEL_SCREENSHOT_LARGE).

#include <cstdlib>

#include "tests/win32/Support.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::test {
namespace {

using namespace win32;

// Template 102 with its font's point size changed (a DLGTEMPLATEEX: after the fixed header
// come the menu, the class and the caption, then the point size).
std::vector<WORD> MainTemplateInPoints(WORD points) {
    const HMODULE self = ::GetModuleHandleW(nullptr);
    const HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(IDD_MAIN), MAKEINTRESOURCEW(5));  // RT_DIALOG
    const auto* data = static_cast<const WORD*>(::LockResource(::LoadResource(self, found)));
    std::vector<WORD> words(data, data + ::SizeofResource(self, found) / sizeof(WORD));
    std::size_t at = 13;  // 26 bytes of fixed header
    for (int field = 0; field < 2; ++field) {  // menu, class: none, an ordinal or a string
        if (words[at] == 0) at += 1;
        else if (words[at] == 0xFFFF) at += 2;
        else while (words[at++] != 0) {}
    }
    while (words[at++] != 0) {}  // the caption
    words[at] = points;
    return words;
}

// The width the text of a static needs on one line in its font.
int NeededWidth(HWND control) {
    const std::wstring text = Widen(WindowText(control));
    const HDC dc = ::GetDC(control);
    const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return size.cx;
}

// Every text static holds its whole text on its line, no two controls overlap, and all lie
// inside the window.
void ExpectNothingClipped(HWND dlg) {
    RECT client{};
    ::GetClientRect(dlg, &client);
    std::vector<std::pair<HWND, RECT>> placed;
    for (HWND c = ::GetWindow(dlg, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        RECT rc{}, inside{};
        ::GetWindowRect(c, &rc);
        ::MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&rc), 2);
        ::GetClientRect(c, &inside);
        const bool text = ClassName(c) == "Static" && !::SendMessageW(c, STM_GETICON, 0, 0);
        if (text) {
            EXPECT_LE(NeededWidth(c), inside.right) << "cut short: " << WindowText(c);
        }
        EXPECT_TRUE(rc.left >= 0 && rc.top >= 0 && rc.right <= client.right && rc.bottom <= client.bottom)
            << ClassName(c) << " " << WindowText(c) << " outside the window";
        for (const auto& [other, otherRc] : placed) {
            RECT both{};
            EXPECT_FALSE(::IntersectRect(&both, &rc, &otherRc)) << WindowText(c) << " overlaps " << WindowText(other);
        }
        placed.emplace_back(c, rc);
    }
}

TEST(Win32Layout, NoTextIsClippedInTheTemplatesFontOrALargerOne) {
    const struct { const char* name; WORD points; } fonts[] = {{"the template's font", 0}, {"12 points", 12}};
    for (const auto& font : fonts) {
        SCOPED_TRACE(font.name);
        const std::vector<WORD> larger = MainTemplateInPoints(font.points);
        DialogDriver driver;
        if (font.points) driver.app.Main().templateForTest = larger.data();
        driver.onBox = [](HWND box) { ExpectNothingClipped(box); };
        driver.Run({[&](HWND dlg) {
                        ExpectNothingClipped(dlg);
                        // The longest text the second step shows, set while the window runs.
                        driver.app.Main().SetDlgItemText(IDC_STEP2_TEXT, text::kStep2Examine);
                        ExpectNothingClipped(dlg);
                        const char* shot = std::getenv("QUORVEL_SCREENSHOT_LARGE");
                        if (font.points && shot) {
                            EXPECT_TRUE(SaveScreenshot(dlg, shot));
                        }
                        driver.app.Main().RunAboutBox();
                    },
                    [&](HWND dlg) {
                        EXPECT_EQ(driver.boxes.size(), 1u) << "the About box";
                        ::EndDialog(dlg, 0);
                    }});
    }
}

}  // namespace
}  // namespace quorvel::test
