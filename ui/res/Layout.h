// The dialog templates of the main dialog and the About box as plain data: ids, classes,
// texts, positions in dialog units, styles and tab order. The Qt backend builds its windows
// from this table; the Win32 resource file is tested against it.
#pragma once

#include <cstdint>
#include <span>

namespace quorvel::layout {

// Window and control style bits, with the values the Windows headers give them.
namespace style {
inline constexpr std::uint32_t kPopup = 0x80000000u;
inline constexpr std::uint32_t kChild = 0x40000000u;
inline constexpr std::uint32_t kVisible = 0x10000000u;
inline constexpr std::uint32_t kCaption = 0x00C00000u;
inline constexpr std::uint32_t kBorder = 0x00800000u;
inline constexpr std::uint32_t kSysMenu = 0x00080000u;
inline constexpr std::uint32_t kGroup = 0x00020000u;
inline constexpr std::uint32_t kTabStop = 0x00010000u;
inline constexpr std::uint32_t kModalFrame = 0x00000080u;   // DS_MODALFRAME
inline constexpr std::uint32_t kSetFont = 0x00000040u;      // DS_SETFONT
inline constexpr std::uint32_t kFixedSys = 0x00000008u;     // DS_FIXEDSYS
inline constexpr std::uint32_t kExAppWindow = 0x00040000u;  // WS_EX_APPWINDOW
inline constexpr std::uint32_t kPushButton = 0x00000000u;
inline constexpr std::uint32_t kDefPushButton = 0x00000001u;
inline constexpr std::uint32_t kLeftText = 0x00000000u;     // SS_LEFT
inline constexpr std::uint32_t kIcon = 0x00000003u;         // SS_ICON
inline constexpr std::uint32_t kNoPrefix = 0x00000080u;     // SS_NOPREFIX
inline constexpr std::uint32_t kReport = 0x00000001u;       // LVS_REPORT
inline constexpr std::uint32_t kAlignLeft = 0x00000800u;    // LVS_ALIGNLEFT
}  // namespace style

enum class ControlClass { Button, Static, ListView, Progress };

struct Control {
    int id;                  // -1 for a static without id
    ControlClass cls;
    const char* text;        // caption; for an SS_ICON static the icon id as text ("128")
    int x, y, cx, cy;        // dialog units
    std::uint32_t style;     // control style bits besides WS_CHILD | WS_VISIBLE
};

struct DialogTemplate {
    int id;
    const char* caption;
    int cx, cy;              // dialog units
    const char* fontFace;
    int fontPoints;
    std::uint32_t style;
    std::uint32_t exStyle;
    std::span<const Control> controls;  // template and tab order
};

// The main dialog.
const DialogTemplate& MainDialog();
// The About box.
const DialogTemplate& AboutDialog();
// The control of `dlg` with id `id`, or null.
const Control* FindControl(const DialogTemplate& dlg, int id);

}  // namespace quorvel::layout
