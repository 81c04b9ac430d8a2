// CQuorvelApp: the application object. Its InitInstance runs the whole of the user's work
// inside the main dialog's modal run and then lets the process end.
#pragma once

#include <string>
#include <utility>

#include "ui/Port.h"

namespace quorvel {

class CQuorvelDlg;

class CQuorvelApp {
public:
    CQuorvelApp() = default;

    // The backend the application runs on; set by the platform entry point before InitInstance.
    void SetPlatform(IAppPort* pPort) { m_pPort = pPort; }
    // A folder to Browse as soon as the window shows ("" for none: the user clicks Browse).
    void SetStartFolder(std::string folder) { m_strStartFolder = std::move(folder); }
    // Runs the main dialog modally; returns false so that no application loop follows.
    bool InitInstance();

    // The main dialog while it runs, null otherwise.
    CQuorvelDlg* m_pMainWnd = nullptr;

private:
    IAppPort* m_pPort = nullptr;
    std::string m_strStartFolder;
};

// The one application object.
extern CQuorvelApp theApp;

}  // namespace quorvel
