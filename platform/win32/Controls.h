// Thin wrappers over a dialog window and the two common controls the program uses: mostly
// one-line calls over SendMessageW, so that the backend reads like the messages it sends.
#pragma once

#include "platform/win32/Win32.h"

namespace quorvel::win32 {

// A dialog window made from a resource template. The static dialog procedure keeps `this`
// in the window's GWLP_USERDATA and calls the virtual handlers; a C++ exception that reaches
// it is reported in a message box and does not unwind into the system.
class Dialog {
public:
    virtual ~Dialog() = default;
    // Runs template `templateId` modally over `owner`; the value passed to End, or -1 when
    // the window cannot be created.
    INT_PTR DoModal(HINSTANCE instance, int templateId, HWND owner);
    // The same with a template in memory (a DLGTEMPLATEEX).
    INT_PTR DoModalIndirect(HINSTANCE instance, const void* dialogTemplate, HWND owner);
    // The window while it exists, null otherwise.
    HWND Handle() const { return m_hwnd; }
    // A control of the dialog; null when there is no such control.
    HWND Item(int id) const { return ::GetDlgItem(m_hwnd, id); }
    // Ends the modal run; DoModal returns `result`.
    void End(INT_PTR result) { ::EndDialog(m_hwnd, result); }
    // Centres the window over its owner, or on the work area of its monitor when it has no
    // visible owner, keeping it inside that work area.
    void Centre();
    // Makes every text static wide enough for its one line of text in the dialog's font: a
    // template laid out for one font clips its texts in another. A static that needs more
    // room grows to the right; the controls beside it on its right move along, and when they
    // would pass the dialog's right margin the dialog grows, and controls that reached across
    // to that margin (the list, the progress bar) grow with it. Nothing ever shrinks. With
    // `changed`, only that control's text is new: nothing is done when it fits.
    void FitStaticTexts(HWND changed = nullptr);

protected:
    // WM_INITDIALOG: true lets the dialog manager give the first control the focus. A dialog
    // that this does not move is centred afterwards (see Centre).
    virtual bool OnInitDialog() { return true; }
    // WM_COMMAND: true when handled. The default ends the dialog on OK and Cancel.
    virtual bool OnCommand(int id, int code);
    // Any other message: the dialog procedure's result, FALSE for default processing.
    virtual INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_hwnd = nullptr;
};

// A SysListView32 control in report view. Each call is the list-view message of its name;
// the bool results are the control's success flag (false for an invalid row or column).
class ListView {
public:
    // Binds the wrapper to a control window.
    void Attach(HWND hwnd) { m_hwnd = hwnd; }
    // The control window, null before Attach.
    HWND Handle() const { return m_hwnd; }
    // Number of rows.
    int GetItemCount() const { return static_cast<int>(Send(LVM_GETITEMCOUNT, 0, 0)); }
    // Removes every row.
    bool DeleteAllItems() { return Send(LVM_DELETEALLITEMS, 0, 0) != 0; }
    // Removes one row.
    bool DeleteItem(int item) { return Send(LVM_DELETEITEM, Index(item), 0) != 0; }
    // Inserts a row (index clamped to the end); the index it got, or -1.
    int InsertItem(const LVITEMW& item) { return static_cast<int>(Send(LVM_INSERTITEMW, 0, Ptr(&item))); }
    // Sets the fields of a row named by item.mask.
    bool SetItem(const LVITEMW& item) { return Send(LVM_SETITEMW, 0, Ptr(&item)) != 0; }
    // Reads the fields of a row named by item.mask.
    bool GetItem(LVITEMW& item) const { return Send(LVM_GETITEMW, 0, Ptr(&item)) != 0; }
    // Sets the text of column sub.iSubItem of a row.
    bool SetItemText(int item, const LVITEMW& sub) { return Send(LVM_SETITEMTEXTW, Index(item), Ptr(&sub)) != 0; }
    // The next row after `item` (-1: the first) matching `flags`, or -1.
    int GetNextItem(int item, UINT flags) const { return static_cast<int>(Send(LVM_GETNEXTITEM, Index(item), flags)); }
    // Scrolls a row into view, fully unless `partialOk`.
    bool EnsureVisible(int item, bool partialOk) { return Send(LVM_ENSUREVISIBLE, Index(item), partialOk) != 0; }
    // Inserts a column; the index it got, or -1.
    int InsertColumn(int column, const LVCOLUMNW& col) { return static_cast<int>(Send(LVM_INSERTCOLUMNW, Index(column), Ptr(&col))); }
    // A column's width in pixels; 0 for no such column.
    int GetColumnWidth(int column) const { return static_cast<int>(Send(LVM_GETCOLUMNWIDTH, Index(column), 0)); }
    // Sets the extended styles in `mask` to those of `styles`.
    void SetExtendedStyle(DWORD mask, DWORD styles) { Send(LVM_SETEXTENDEDLISTVIEWSTYLE, mask, static_cast<LPARAM>(styles)); }
    // The extended styles.
    DWORD GetExtendedStyle() const { return static_cast<DWORD>(Send(LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0)); }
    // The row at a point of the client area, or -1.
    int HitTest(POINT client) const {
        LVHITTESTINFO info{};
        info.pt = client;
        return static_cast<int>(Send(LVM_HITTEST, 0, Ptr(&info)));
    }
    // A row's rectangle in client coordinates (the whole row: LVIR_BOUNDS).
    RECT GetItemRect(int item) const {
        RECT rc{};
        rc.left = LVIR_BOUNDS;
        Send(LVM_GETITEMRECT, Index(item), Ptr(&rc));
        return rc;
    }

private:
    static WPARAM Index(int i) { return static_cast<WPARAM>(static_cast<INT_PTR>(i)); }
    static LPARAM Ptr(const void* p) { return reinterpret_cast<LPARAM>(p); }
    LRESULT Send(UINT msg, WPARAM wParam, LPARAM lParam) const { return ::SendMessageW(m_hwnd, msg, wParam, lParam); }
    HWND m_hwnd = nullptr;
};

// A msctls_progress32 control.
class ProgressBar {
public:
    // Binds the wrapper to a control window.
    void Attach(HWND hwnd) { m_hwnd = hwnd; }
    // The control window, null before Attach.
    HWND Handle() const { return m_hwnd; }
    // Sets the range with full ints (PBM_SETRANGE would cut it to 16 bits).
    void SetRange32(int lower, int upper) { ::SendMessageW(m_hwnd, PBM_SETRANGE32, static_cast<WPARAM>(lower), upper); }
    // Sets the position; the control clamps it into the range.
    void SetPos(int pos) { ::SendMessageW(m_hwnd, PBM_SETPOS, static_cast<WPARAM>(pos), 0); }

private:
    HWND m_hwnd = nullptr;
};

}  // namespace quorvel::win32
