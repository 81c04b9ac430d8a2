// A headless port for tests and benchmarks. It records what the dialog shows (rows, column
// texts, item data, progress, control texts and states, message boxes, wait-cursor depth,
// repaint requests) and answers the folder picker from a script. Its directory enumeration
// reads the real file system or replays a scripted tree in a chosen order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/PosixFileSystem.h"
#include "ui/Port.h"

namespace quorvel::scripted {

struct Row {
    std::string file;     // column 0
    std::string version;  // column 1
    std::intptr_t data = 0;
};

struct Column {
    std::string heading;
    int width = 0;
};

class ScriptedList : public IListView {
public:
    void DeleteAllItems() override { rows.clear(); }
    void DeleteItem(int nItem) override;
    int GetItemCount() const override { return static_cast<int>(rows.size()); }
    int InsertItem(int nItem, const std::string& text) override;
    void SetItemText(int nItem, int nSubItem, const std::string& text) override;
    std::string GetItemText(int nItem, int nSubItem) const override;
    void SetItemData(int nItem, std::intptr_t data) override;
    std::intptr_t GetItemData(int nItem) const override;
    void EnsureVisible(int nItem) override { lastEnsuredVisible = nItem; }
    void UpdateWindow() override;
    void InsertColumn(int nCol, const std::string& heading, int nWidth) override;
    int GetClientWidth() const override { return clientWidth; }
    int GetVScrollWidth() const override { return vScrollWidth; }

    std::vector<Row> rows;
    std::vector<Column> columns;
    int clientWidth = 700;
    int vScrollWidth = 17;
    int lastEnsuredVisible = -1;
    int updates = 0;
    // Called on every UpdateWindow, e.g. to capture what the user sees at that moment.
    std::function<void()> onUpdate;

private:
    bool Valid(int nItem) const { return nItem >= 0 && nItem < GetItemCount(); }
};

class ScriptedProgress : public IProgressBar {
public:
    void SetRange(int nLower, int nUpper) override;
    void SetPos(int nPos) override;
    void UpdateWindow() override { ++updates; }

    int lower = 0;
    int upper = 100;
    int pos = 0;
    int updates = 0;
    std::vector<int> positions;  // every SetPos, in order
};

// A directory tree replayed from a script: folders with entries in the given order. Folders
// may be opened from several threads at once (the walk lists folders ahead on workers).
class ScriptedTree : public IFileSystem {
public:
    // Adds (or replaces) a readable folder whose entries come in exactly this order.
    void AddFolder(const std::string& path, std::vector<FolderEntry> entries);
    // Makes `path` a folder that cannot be read (permission denied).
    void AddUnreadable(const std::string& path);
    // Makes `path` a link to the folder `target`: it enumerates as the target, with its identity.
    void AddLink(const std::string& path, const std::string& target);

    OpenedFolder OpenFolder(const std::string& path) override;

    // Every folder opened, in the order the opens happened.
    std::vector<std::string> Opened() const;

private:
    struct Folder {
        FileIdentity id;
        std::vector<FolderEntry> entries;
    };
    class Handle;
    OpenedFolder Open(const std::string& path, Links links);

    mutable std::mutex m_mutex;
    std::map<std::string, Folder> m_folders;
    std::map<std::string, std::string> m_links;
    std::set<std::string> m_unreadable;
    std::vector<std::string> m_opened;
    std::uint64_t m_nextId = 1;
};

class ScriptedPaintContext;

class ScriptedDialogPort : public IDialogPort {
public:
    ScriptedDialogPort();

    IListView& List() override { return list; }
    IProgressBar& Progress() override { return progress; }
    void SetDlgItemText(int nId, const std::string& text) override;
    void EnableDlgItem(int nId, bool bEnable) override { enabled[nId] = bEnable; }
    bool IsDlgItemEnabled(int nId) const override;
    void GotoDlgItem(int nId) override { focused = nId; }
    bool AppendSystemMenu(int nCommand, const std::string& text) override;
    IconHandle LoadAppIcon() override { return appIcon; }
    void SetIcon(IconHandle hIcon, bool bBig) override;
    std::string LoadString(int nId) override;
    void MessageBox(const std::string& text) override;
    std::optional<std::string> BrowseForFolder(const std::string& title) override;
    std::optional<std::string> SaveFileDialog(const std::string& title, const std::string& name) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void RedrawWindow() override { ++redraws; }
    void PumpMessages() override;
    // Waits for a Wake, then pumps (which runs onPump).
    void WaitForEvents() override;
    void Wake() override;
    void RunAboutBox() override { ++aboutBoxes; }
    void EndDialog(int nResult) override { endResult = nResult; }
    void DefaultSysCommand(unsigned nId, std::intptr_t lParam) override;
    bool IsIconic() const override { return iconic; }
    void DefaultPaint() override { ++defaultPaints; }
    std::unique_ptr<IPaintContext> BeginPaint() override;
    int GetIconWidth() const override { return iconWidth; }
    int GetIconHeight() const override { return iconHeight; }
    int GetClientWidth() const override { return clientWidth; }
    int GetClientHeight() const override { return clientHeight; }
    IFileSystem& FileSystem() override;

    // Text of a control: what the template holds until the dialog changes it.
    std::string DlgItemText(int nId) const;

    ScriptedList list;
    ScriptedProgress progress;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::optional<int> focused;  // the control the last GotoDlgItem named

    // Window menu: each appended item, as (command, text); a separator precedes each.
    bool hasSystemMenu = true;
    std::vector<std::pair<int, std::string>> systemMenu;
    std::map<int, std::string> strings;  // string resources
    IconHandle appIcon = 0x128;
    std::optional<IconHandle> bigIcon, smallIcon;

    // Folder picker: answers in order; an exhausted script answers "cancel".
    std::deque<std::optional<std::string>> pickerAnswers;
    std::vector<std::string> pickerTitles;
    // Save-file dialog: answers in order; an exhausted script answers "cancel". Each call's
    // title and proposed name are recorded.
    std::deque<std::optional<std::string>> saveAnswers;
    std::vector<std::pair<std::string, std::string>> saveDialogs;

    std::vector<std::string> messageBoxes;
    std::function<void(const std::string&)> onMessageBox;

    int waitDepth = 0;
    int maxWaitDepth = 0;
    int waitBegins = 0;
    int redraws = 0;
    int pumps = 0;
    // Called on every PumpMessages: the place where a test delivers clicks and keys.
    std::function<void()> onPump;
    int waits = 0;  // WaitForEvents calls

    int aboutBoxes = 0;
    std::optional<int> endResult;
    std::vector<std::pair<unsigned, std::intptr_t>> defaultSysCommands;

    bool iconic = false;
    int defaultPaints = 0;
    int iconWidth = 32, iconHeight = 32;
    int clientWidth = 800, clientHeight = 600;
    int iconErases = 0;
    std::vector<std::pair<int, int>> iconsDrawn;
    bool paintOpen = false;

    // The file system the search walks: `fileSystem` when set, else the scripted tree when
    // there is one, else the real file system.
    std::optional<ScriptedTree> tree;
    IFileSystem* fileSystem = nullptr;

private:
    posix::PosixFileSystem m_realFs;
    std::mutex m_wakeMutex;
    std::condition_variable m_woken;
    bool m_wakePending = false;
};

}  // namespace quorvel::scripted
