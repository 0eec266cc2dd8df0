#include "app/KavelinApp.h"

#include <cstdlib>
#include <ctime>

#include "acquisition/Recommender.h"
#include "acquisition/UpdateCheck.h"
#include "catalog/CatalogFile.h"
#include "catalog/CatalogOperations.h"
#include "platform/addresses/ServiceAddresses.h"
#include "platform/messages/MessageBox.h"
#include "ui/DownloadDlg.h"

namespace kavelin {

std::string ForeignCatalogText() {
    return std::string("The file '") + kCatalogFileName +
           "' in the Kavelin directory is not a Kavelin catalog for this system. It was left as "
           "it is. Please put a Kavelin catalog in its place. Sorry, have to quit now...";
}

std::string MdacText() {
    return "Kavelin needs an update to your system. Please install the latest MDAC from " +
           MdacDownloadPage() + ". Sorry, have to quit...";
}

CKavelinApp::~CKavelinApp() {
    ShutDown();
}

int CKavelinApp::Run() {
    try {
        if (!StartUp()) {
            return 1;
        }
        // The main window's modal run joins here when the window exists; without
        // it there is nothing for the user to do, and the program ends.
        ShutDown();
        return 0;
    } catch (...) {
        ShowMessageBox(kUnexpectedErrorText, kFatalTitle, MessageIcon::Error);
        return 1;
    }
}

bool CKavelinApp::StartUp() {
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    switch (CheckCatalogFile(kCatalogFileName)) {
        case CatalogFileState::Missing:
            ShowMessageBox(kMissingCatalogText, kFatalTitle, MessageIcon::Error);
            return false;
        case CatalogFileState::Foreign:
            // Opening another system's database as ours could change it; leave it alone.
            ShowMessageBox(ForeignCatalogText(), kFatalTitle, MessageIcon::Error);
            return false;
        case CatalogFileState::Present:
            break;
    }

    try {
        m_pDataBase = std::make_unique<CADODataBase>();
        if (!m_pDataBase->Connect(kCatalogConnectionString, "", "")) {
            // Running on without the catalog would drop every rating and play
            // in silence: say so and end instead.
            ShowMessageBox("Cannot open the Kavelin database file 'Kavelin.mdb'.\n\n" +
                               m_pDataBase->GetLastErrorText() + "\nSorry, have to quit now...",
                           kFatalTitle, MessageIcon::Error);
            m_pDataBase.reset();
            return false;
        }
    } catch (...) {
        m_pDataBase.reset();
        ShowMessageBox(MdacText(), kFatalTitle, MessageIcon::Error);
        ShellOpen(MdacHelpPage());
        return false;
    }

    {
        CDownloadDlg downloadDialog(*m_pDataBase);
        downloadDialog.exec();
    }

    // The reply arrives while the main window runs.
    m_pUpdateRequest = std::make_unique<CUrlRequest>();
    StartUpdateCheck(*m_pUpdateRequest);
    return true;
}

void CKavelinApp::ShutDown() {
    // Lookups write to the catalog; none may outlive it.
    EndSimilarArtistLookups();
    if (m_pDataBase) {
        m_pDataBase->Disconnect();
        m_pDataBase.reset();
    }
}

}  // namespace kavelin
