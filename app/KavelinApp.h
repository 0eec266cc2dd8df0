#pragma once

#include <memory>
#include <string>

#include "acquisition/UrlRequest.h"
#include "catalog/ADODataBase.h"

namespace kavelin {

// The application object: owns the shared objects, runs start-up, the
// program's life and the orderly shutdown.
class CKavelinApp {
public:
    CKavelinApp() = default;
    ~CKavelinApp();
    CKavelinApp(const CKavelinApp&) = delete;
    CKavelinApp& operator=(const CKavelinApp&) = delete;

    // The whole life of the program, in the working directory. Returns the
    // process exit status: 0 after a normal end, 1 when start-up could not go on.
    int Run();

    CADODataBase* GetDataBase() const { return m_pDataBase.get(); }

private:
    bool StartUp();
    void ShutDown();

    std::unique_ptr<CADODataBase> m_pDataBase;
    // Asks the maker's web site for a newer version; lives to the end of the program.
    std::unique_ptr<CUrlRequest> m_pUpdateRequest;
};

// Fatal texts the user may see at start-up.
inline constexpr const char* kFatalTitle = "Fatal Error...";
inline constexpr const char* kMissingCatalogText =
    "Cannot find the Kavelin database file. Please make sure that 'Kavelin.mdb' is in the Kavelin "
    "directory. Sorry, have to quit now...";
inline constexpr const char* kUnexpectedErrorText = "Unexpected error occured. Kavelin will close.";

std::string ForeignCatalogText();
std::string MdacText();

}  // namespace kavelin
