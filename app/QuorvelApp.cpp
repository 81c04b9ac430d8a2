#include "app/QuorvelApp.h"

#include "base/Descriptors.h"
#include "ui/QuorvelDlg.h"
#include "ui/res/Texts.h"

namespace quorvel {

namespace {
// Size of the common-controls initialisation structure and the class mask for the
// list-view, progress and the other classic control classes.
constexpr unsigned kInitCommonControlsSize = 8;
constexpr unsigned kIccWin95Classes = 0xFF;
}  // namespace

CQuorvelApp theApp;

bool CQuorvelApp::InitInstance() {
    if (!m_pPort) return false;
    // The walk holds folders open as the limit allows: allow as many as the system lets us.
    RaiseDescriptorLimit();
    m_pPort->InitCommonControls(kInitCommonControlsSize, kIccWin95Classes);
    m_pPort->SetRegistryKey(text::kRegistryKey);

    CQuorvelDlg dlg(m_pPort->MainDialogPort());
    dlg.SetStartFolder(m_strStartFolder);
    m_pMainWnd = &dlg;
    // However the dialog was closed, the run ends the same way.
    m_pPort->DoModal(dlg);
    m_pMainWnd = nullptr;
    return false;
}

}  // namespace quorvel
