// What people expect of a desktop file list beyond showing its rows: a status cut at its end
// (paths are cut in the middle, see ReportView), each cell's whole text as its tooltip (see
// RowModel), a menu that opens a file's folder, copies its path or saves the whole list, and
// Ctrl+C.
#pragma once

#include <functional>
#include <string>

#include <QObject>
#include <QString>

#include "platform/qt/FolderOpener.h"

class QPoint;

namespace quorvel {
class IListView;
}

namespace quorvel::qt {

class ReportView;

class ListConventions : public QObject {
public:
    // Sets `view` up and watches its events; the rows' bytes are read from `list`.
    ListConventions(ReportView& view, const IListView& list);

    // "Save list as..." in the menu runs `onSaveList`; it is offered when the list has rows,
    // and enabled while `canSaveList` (when set) says so: the window is not busy.
    std::function<void()> onSaveList;
    std::function<bool()> canSaveList;

    // The selected rows in row order as lines "path<TAB>version" (ui/RowText.h: odd names
    // quoted as a shell reads them back), joined by "\n" (no newline after the last). Empty
    // when none is selected.
    QString SelectedRowsText() const;
    // Puts SelectedRowsText on the clipboard; false (clipboard untouched) when none is selected.
    bool CopySelectedRows() const;
    // Puts the path of `row` on the clipboard (quoted the same way); false when the row names no file.
    bool CopyPath(int row) const;
    // The folder that holds `row`'s file, its bytes kept; empty when the row names no file.
    std::string FolderPath(int row) const;
    // Shows that folder in the desktop's file manager (xdg-open); a failure, then or when
    // xdg-open ends, goes to Opener().onFailed. False when the row names no file or xdg-open
    // could not be started.
    bool OpenContainingFolder(int row);
    // Shows the menu of `row` (-1: below the rows) at `globalPos` and runs the chosen item.
    // A row that names a file offers "Open containing folder" and "Copy path"; every place in
    // a list with rows offers "Save list as...".
    void ShowRowMenu(int row, const QPoint& globalPos);
    // The xdg-open runs, for the failure report and for tests.
    FolderOpener& Opener() { return m_opener; }

protected:
    // Right clicks and the menu key on the rows, and Ctrl+C in the list.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The path of `row` when the row names a file (an absolute path), empty otherwise.
    std::string FilePath(int row) const;

    ReportView& m_view;
    const IListView& m_list;
    FolderOpener m_opener;
};

}  // namespace quorvel::qt
