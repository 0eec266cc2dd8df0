#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "catalog/ADODataBase.h"

namespace Ui {
class CDownloadDlg;
}

namespace kavelin {

// Asks the user at start-up for a few artists to download music of. Every
// added name starts a similar-artist lookup at once; OK stores the listed
// names in the recommender list, cancel stores none.
class CDownloadDlg : public QDialog {
    Q_OBJECT

public:
    explicit CDownloadDlg(CADODataBase& database, QWidget* parent = nullptr);
    ~CDownloadDlg() override;

    // The names in the list, in list order.
    std::vector<std::string> Names() const;

public slots:
    void accept() override;

private slots:
    void OnAddArtist();

private:
    CADODataBase& m_database;
    std::unique_ptr<Ui::CDownloadDlg> m_pUi;
};

}  // namespace kavelin
