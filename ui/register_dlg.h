// The registration dialog: the data of a new account, registered with the
// directory server while the dialog is open; the new number is stored and
// told to the user. Users who already have a number leave through the
// "已有号码" button (result 4).
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

namespace kestrona {
struct NetContext;
}
class QLineEdit;
class QPushButton;

class CRegisterDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CRegisterDlg(kestrona::NetContext& net, QWidget* parent = nullptr);

    // Shows the dialog modally. With KESTRONA_AUTO_REGISTER set it is not
    // shown: "cancel" gives 2, "existing" gives 4, and
    // "NAME|PASSWORD|EMAIL|COUNTRY|CITY" registers with those (2 when that
    // does not succeed).
    int Run();

    int32_t m_nNewNumber = 0;
    QString m_strName;
    QString m_strPassword;
    QString m_strPassword2;
    QString m_strEmail;
    QString m_strCountry;
    QString m_strCity;

    QLineEdit* m_editName = nullptr;       // 1011
    QLineEdit* m_editPassword = nullptr;   // 1012
    QLineEdit* m_editPassword2 = nullptr;  // 1014
    QLineEdit* m_editEmail = nullptr;      // 1015
    QLineEdit* m_editCountry = nullptr;    // 1016
    QLineEdit* m_editCity = nullptr;       // 1017
    QPushButton* m_btnRegister = nullptr;  // 1

    // The "注册" handler.
    void OnRegister();
    void OnExistingNumber() { done(4); }
    void OnNetworkSettings();
    void reject() override { done(2); }

    // The completeness rule of the registration data.
    static bool IsValidRegistration(const QString& name, const QString& password,
                                    const QString& password2, const QString& email,
                                    const QString& country, const QString& city);

  private:
    bool ReadControls();
    kestrona::NetContext& m_net;
};
