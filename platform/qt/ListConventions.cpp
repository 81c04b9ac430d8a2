#include "platform/qt/ListConventions.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>

#include "platform/qt/DisplayText.h"
#include "platform/qt/QtList.h"
#include "ui/Port.h"
#include "ui/RowText.h"
#include "ui/res/Texts.h"

namespace quorvel::qt {

ListConventions::ListConventions(ReportView& view, const IListView& list)
    : m_view(view), m_list(list) {
    // Mouse menus arrive at the viewport, keys at the view itself.
    m_view.viewport()->installEventFilter(this);
    m_view.installEventFilter(this);
}

std::string ListConventions::FilePath(int row) const {
    // Rows that name a file hold its absolute path; the search's placeholder rows hold a sentence.
    std::string path = m_list.GetItemText(row, 0);
    if (path.empty() || path.front() != '/') path.clear();
    return path;
}

QString ListConventions::SelectedRowsText() const {
    std::vector<int> rows;
    for (const QModelIndex& index : m_view.selectionModel()->selectedIndexes())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    QStringList lines;
    for (const int row : rows) lines << DisplayText(RowLine(m_list, row));
    return lines.join(u'\n');
}

bool ListConventions::CopySelectedRows() const {
    const QString text = SelectedRowsText();
    if (text.isEmpty()) return false;
    QGuiApplication::clipboard()->setText(text);
    return true;
}

bool ListConventions::CopyPath(int row) const {
    const std::string path = FilePath(row);
    if (path.empty()) return false;
    QGuiApplication::clipboard()->setText(DisplayText(QuotedName(path)));
    return true;
}

std::string ListConventions::FolderPath(int row) const {
    const std::string path = FilePath(row);
    if (path.empty()) return {};
    // The folder keeps its exact bytes: names need not be UTF-8, so no QString in between.
    return path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
}

bool ListConventions::OpenContainingFolder(int row) {
    const std::string folder = FolderPath(row);
    return !folder.empty() && m_opener.Open(folder);
}

void ListConventions::ShowRowMenu(int row, const QPoint& globalPos) {
    const bool namesFile = row >= 0 && !FilePath(row).empty();
    if (!namesFile && m_list.GetItemCount() == 0) return;
    QMenu menu(&m_view);
    QAction* open = nullptr;
    QAction* copy = nullptr;
    if (namesFile) {
        open = menu.addAction(DisplayText(text::kOpenFolderMenu));
        copy = menu.addAction(DisplayText(text::kCopyPathMenu));
        menu.addSeparator();
    }
    QAction* save = menu.addAction(DisplayText(text::kSaveListMenu));
    save->setEnabled(onSaveList && (!canSaveList || canSaveList()));
    QAction* chosen = menu.exec(globalPos);
    if (!chosen) return;
    if (chosen == open) OpenContainingFolder(row);
    else if (chosen == copy) CopyPath(row);
    else if (chosen == save && onSaveList) onSaveList();
}

bool ListConventions::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_view.viewport() && event->type() == QEvent::ContextMenu) {
        const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        // From the keyboard the menu is for the current row, shown below its start.
        const QModelIndex index = menuEvent->reason() == QContextMenuEvent::Keyboard
                                      ? m_view.currentIndex()
                                      : m_view.indexAt(menuEvent->pos());
        const QPoint at = menuEvent->reason() == QContextMenuEvent::Keyboard && index.isValid()
                              ? m_view.viewport()->mapToGlobal(m_view.visualRect(index).bottomLeft())
                              : menuEvent->globalPos();
        // Below the rows the menu offers what concerns the whole list; the dialog's own menu
        // belongs to its background.
        ShowRowMenu(index.isValid() ? index.row() : -1, at);
        return true;
    }
    if (watched == &m_view && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        CopySelectedRows();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace quorvel::qt
