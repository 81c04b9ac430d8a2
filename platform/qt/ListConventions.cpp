#include "platform/qt/ListConventions.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QStyledItemDelegate>

#include "platform/qt/DisplayText.h"
#include "platform/qt/QtList.h"
#include "ui/Port.h"
#include "ui/res/Texts.h"

namespace quorvel::qt {

namespace {

// The "Version" column holds statuses such as "4 - failed: <reason>": their start says the
// most, so they are cut at the end while paths are cut in the middle.
class StatusDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = Qt::ElideRight;
    }
};

}  // namespace

ListConventions::ListConventions(ReportView& view, const IListView& list)
    : m_view(view), m_list(list) {
    m_view.setItemDelegateForColumn(1, new StatusDelegate(this));
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
    for (const int row : rows)
        lines << DisplayText(m_list.GetItemText(row, 0)) + u'\t' +
                     DisplayText(m_list.GetItemText(row, 1));
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
    QGuiApplication::clipboard()->setText(DisplayText(path));
    return true;
}

QUrl ListConventions::FolderUrl(int row) const {
    const std::string path = FilePath(row);
    if (path.empty()) return {};
    // The folder keeps its exact bytes: names need not be UTF-8, so no QString in between.
    const std::size_t slash = path.rfind('/');
    const QByteArray folder = QByteArray::fromStdString(path.substr(0, std::max<std::size_t>(slash, 1)));
    return QUrl::fromEncoded("file://" + folder.toPercentEncoding("/"), QUrl::StrictMode);
}

bool ListConventions::OpenContainingFolder(int row) const {
    const QUrl url = FolderUrl(row);
    return url.isValid() && QDesktopServices::openUrl(url);
}

void ListConventions::ShowRowMenu(int row, const QPoint& globalPos) {
    if (FilePath(row).empty()) return;
    QMenu menu(&m_view);
    QAction* open = menu.addAction(DisplayText(text::kOpenFolderMenu));
    QAction* copy = menu.addAction(DisplayText(text::kCopyPathMenu));
    QAction* chosen = menu.exec(globalPos);
    if (chosen == open) OpenContainingFolder(row);
    else if (chosen == copy) CopyPath(row);
}

bool ListConventions::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_view.viewport() && event->type() == QEvent::ContextMenu) {
        const auto* menuEvent = static_cast<QContextMenuEvent*>(event);
        // From the keyboard the menu is for the current row, shown below its start.
        const QModelIndex index = menuEvent->reason() == QContextMenuEvent::Keyboard
                                      ? m_view.currentIndex()
                                      : m_view.indexAt(menuEvent->pos());
        if (index.isValid()) {
            const QPoint at = menuEvent->reason() == QContextMenuEvent::Keyboard
                                  ? m_view.viewport()->mapToGlobal(m_view.visualRect(index).bottomLeft())
                                  : menuEvent->globalPos();
            ShowRowMenu(index.row(), at);
        }
        // Below the rows there is no menu: the dialog's own menu belongs to its background.
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
