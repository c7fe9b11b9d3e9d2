// The stand-alone connection dialog: connection type, reply time-out and the
// proxy settings, written to the store only (they take effect at the next
// start). Shown before the first registration and from the login and
// registration dialogs.
#pragma once

#include <QDialog>
#include <QString>

#include "settings/settings_model.h"
#include "settings/sys_reg_info.h"

class QComboBox;
class QLineEdit;
class QRadioButton;

class CConnectionDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CConnectionDlg(const CSysRegInfo& store = CSysRegInfo(), QWidget* parent = nullptr);

    // Shows the dialog modally (or, with KESTRONA_AUTO_CONNECTION set, takes
    // the loaded values as if OK were pressed at once). 1 OK, 2 cancel.
    int Run();

    // The values, as the data exchange reads and writes them.
    kestrona::ConnectionSettings m_values;

    // The controls (numbered as the template numbers them).
    QComboBox* m_cbRate = nullptr;         // 1021
    QLineEdit* m_editTimeout = nullptr;    // 1028
    QRadioButton* m_rbNoProxy = nullptr;   // 1022
    QRadioButton* m_rbProxy = nullptr;     // 1023
    QLineEdit* m_editAddress = nullptr;    // 1029
    QLineEdit* m_editSock5Port = nullptr;  // 1024
    QLineEdit* m_editHttpPort = nullptr;   // 1025
    QLineEdit* m_editUser = nullptr;       // 1026
    QLineEdit* m_editPassword = nullptr;   // 1027

    void OnInitDialog();
    // Reads the controls; false (dialog stays) when a check fails.
    bool ReadControls();
    void WriteControls();
    void EnableProxyFields(bool on);
    void OnOK();
    // Cancel ends the dialog with 2.
    void reject() override { done(2); }

  private:
    CSysRegInfo m_store;
};
