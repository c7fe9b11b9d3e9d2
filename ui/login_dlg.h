// The login dialog: a number and a password, checked with the directory
// server while the dialog is open; the accepted number and password are
// stored for the next start.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

namespace kestrona {
struct NetContext;
}
class QLineEdit;
class QPushButton;

class CLoginDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CLoginDlg(kestrona::NetContext& net, bool startHidden, QWidget* parent = nullptr);

    // Fills the controls from m_nNumber and m_strPassword and shows the
    // dialog modally. With KESTRONA_AUTO_LOGIN set the dialog is not shown:
    // "cancel" cancels, "NUMBER:PASSWORD" logs in with those (":PASSWORD" keeps the number), anything else
    // logs in with the values given. 1 logged in, 2 cancelled (or an
    // unattended login that failed).
    int Run();

    int32_t m_nNumber = 0;
    QString m_strPassword;

    QLineEdit* m_editNumber = nullptr;    // 1011
    QLineEdit* m_editPassword = nullptr;  // 1012
    QPushButton* m_btnOK = nullptr;       // 1

    // The OK handler: the login exchange; ends the dialog with 1 on success.
    void OnOK();
    void OnConnectionSettings();
    void reject() override { done(2); }

  private:
    kestrona::NetContext& m_net;
    bool m_bStartHidden;
};
