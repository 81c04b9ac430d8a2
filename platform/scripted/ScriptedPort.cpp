#include "platform/scripted/ScriptedPort.h"

#include <algorithm>

#include "base/Path.h"
#include "ui/res/Layout.h"
#include "ui/res/Texts.h"
#include "ui/res/resource.h"

namespace quorvel::scripted {

void ScriptedList::DeleteItem(int nItem) {
    if (Valid(nItem)) rows.erase(rows.begin() + nItem);
}

int ScriptedList::InsertItem(int nItem, const std::string& text) {
    const int at = std::clamp(nItem, 0, GetItemCount());
    rows.insert(rows.begin() + at, Row{text, {}, 0});
    return at;
}

void ScriptedList::SetItemText(int nItem, int nSubItem, const std::string& text) {
    if (!Valid(nItem)) return;
    (nSubItem == 0 ? rows[nItem].file : rows[nItem].version) = text;
}

std::string ScriptedList::GetItemText(int nItem, int nSubItem) const {
    if (!Valid(nItem)) return {};
    return nSubItem == 0 ? rows[nItem].file : rows[nItem].version;
}

void ScriptedList::SetItemData(int nItem, std::intptr_t data) {
    if (Valid(nItem)) rows[nItem].data = data;
}

std::intptr_t ScriptedList::GetItemData(int nItem) const {
    return Valid(nItem) ? rows[nItem].data : 0;
}

void ScriptedList::UpdateWindow() {
    ++updates;
    if (onUpdate) onUpdate();
}

void ScriptedList::InsertColumn(int nCol, const std::string& heading, int nWidth) {
    const int at = std::clamp(nCol, 0, static_cast<int>(columns.size()));
    columns.insert(columns.begin() + at, Column{heading, nWidth});
}

void ScriptedProgress::SetRange(int nLower, int nUpper) {
    lower = nLower;
    upper = nUpper;
    pos = std::clamp(pos, lower, std::max(lower, upper));
}

void ScriptedProgress::SetPos(int nPos) {
    pos = std::clamp(nPos, lower, std::max(lower, upper));
    positions.push_back(nPos);
}

// An open scripted folder: its path, to open subfolders by name.
class ScriptedTree::Handle : public IFolder {
public:
    Handle(ScriptedTree& tree, std::string path, FileIdentity id, std::vector<FolderEntry> entries)
        : m_tree(tree), m_path(std::move(path)), m_id(id), m_entries(std::move(entries)) {}
    FileIdentity Identity() const override { return m_id; }
    FolderProblem ReadEntries(std::vector<FolderEntry>& entries) override {
        for (FolderEntry& e : m_entries)
            if (e.name != "." && e.name != "..") entries.push_back(std::move(e));
        m_entries.clear();
        return FolderProblem::None;
    }
    // ".." is not scripted: the walk then reopens a folder by name from an open one.
    OpenedFolder OpenFolder(const std::string& name, Links links) override {
        if (name == "..") return {nullptr, FolderProblem::Gone, false};
        return m_tree.Open(m_path + kPathSep + name, links);
    }
    bool RemoveFile(const std::string&) override { return false; }

private:
    ScriptedTree& m_tree;
    const std::string m_path;
    const FileIdentity m_id;
    std::vector<FolderEntry> m_entries;
};

void ScriptedTree::AddFolder(const std::string& path, std::vector<FolderEntry> entries) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_folders[path] = Folder{{0, m_nextId++}, std::move(entries)};
}

void ScriptedTree::AddUnreadable(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_folders.erase(path);
    m_unreadable.insert(path);
}

void ScriptedTree::AddLink(const std::string& path, const std::string& target) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_links[path] = target;
}

OpenedFolder ScriptedTree::OpenFolder(const std::string& path) { return Open(path, Links::Follow); }

OpenedFolder ScriptedTree::Open(const std::string& path, Links links) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_opened.push_back(path);
    const auto link = m_links.find(path);
    if (link != m_links.end() && links == Links::Refuse) return {nullptr, FolderProblem::Changed, false};
    const std::string& folder = link != m_links.end() ? link->second : path;
    const auto found = m_folders.find(folder);
    if (found == m_folders.end())
        return {nullptr, m_unreadable.count(folder) != 0 ? FolderProblem::Denied : FolderProblem::Gone, false};
    // Subfolders are looked up beneath the folder the link leads to.
    return {std::make_unique<Handle>(*this, folder, found->second.id, found->second.entries), FolderProblem::None,
            link != m_links.end()};
}

std::vector<std::string> ScriptedTree::Opened() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opened;
}

ScriptedDialogPort::ScriptedDialogPort() {
    strings[IDS_ABOUTBOX] = text::kAboutMenu;
    enabled[IDOK] = true;
    enabled[IDCANCEL] = true;
    enabled[IDC_BROWSE] = true;
}

void ScriptedDialogPort::SetDlgItemText(int nId, const std::string& text) { texts[nId] = text; }

bool ScriptedDialogPort::IsDlgItemEnabled(int nId) const {
    const auto it = enabled.find(nId);
    return it == enabled.end() || it->second;
}

std::string ScriptedDialogPort::DlgItemText(int nId) const {
    if (const auto it = texts.find(nId); it != texts.end()) return it->second;
    const layout::Control* control = layout::FindControl(layout::MainDialog(), nId);
    return control ? control->text : "";
}

bool ScriptedDialogPort::AppendSystemMenu(int nCommand, const std::string& text) {
    if (!hasSystemMenu) return false;
    systemMenu.emplace_back(nCommand, text);
    return true;
}

void ScriptedDialogPort::SetIcon(IconHandle hIcon, bool bBig) {
    (bBig ? bigIcon : smallIcon) = hIcon;
}

std::string ScriptedDialogPort::LoadString(int nId) {
    const auto it = strings.find(nId);
    return it == strings.end() ? std::string() : it->second;
}

void ScriptedDialogPort::MessageBox(const std::string& text) {
    messageBoxes.push_back(text);
    if (onMessageBox) onMessageBox(text);
}

std::optional<std::string> ScriptedDialogPort::BrowseForFolder(const std::string& title) {
    pickerTitles.push_back(title);
    if (pickerAnswers.empty()) return std::nullopt;
    std::optional<std::string> answer = std::move(pickerAnswers.front());
    pickerAnswers.pop_front();
    return answer;
}

std::optional<std::string> ScriptedDialogPort::SaveFileDialog(const std::string& title,
                                                              const std::string& name) {
    saveDialogs.emplace_back(title, name);
    if (saveAnswers.empty()) return std::nullopt;
    std::optional<std::string> answer = std::move(saveAnswers.front());
    saveAnswers.pop_front();
    return answer;
}

void ScriptedDialogPort::BeginWaitCursor() {
    ++waitBegins;
    maxWaitDepth = std::max(maxWaitDepth, ++waitDepth);
}

void ScriptedDialogPort::EndWaitCursor() {
    if (waitDepth > 0) --waitDepth;
}

void ScriptedDialogPort::PumpMessages() {
    ++pumps;
    if (onPump) onPump();
}

void ScriptedDialogPort::WaitForEvents() {
    ++waits;
    {
        std::unique_lock<std::mutex> lock(m_wakeMutex);
        m_woken.wait(lock, [this] { return m_wakePending; });
        m_wakePending = false;
    }
    PumpMessages();
}

void ScriptedDialogPort::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_wakePending = true;
    }
    m_woken.notify_one();
}

void ScriptedDialogPort::DefaultSysCommand(unsigned nId, std::intptr_t lParam) {
    defaultSysCommands.emplace_back(nId, lParam);
}

class ScriptedPaintContext : public IPaintContext {
public:
    explicit ScriptedPaintContext(ScriptedDialogPort& port) : m_port(port) {
        m_port.paintOpen = true;
    }
    ~ScriptedPaintContext() override { m_port.paintOpen = false; }
    void EraseIconBackground() override { ++m_port.iconErases; }
    void DrawIcon(int x, int y) override { m_port.iconsDrawn.emplace_back(x, y); }

private:
    ScriptedDialogPort& m_port;
};

std::unique_ptr<IPaintContext> ScriptedDialogPort::BeginPaint() {
    return std::make_unique<ScriptedPaintContext>(*this);
}

IFileSystem& ScriptedDialogPort::FileSystem() {
    if (fileSystem) return *fileSystem;
    if (tree) return *tree;
    return m_realFs;
}

}  // namespace quorvel::scripted
