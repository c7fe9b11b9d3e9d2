// The five pages of the options sheet: connection and proxy (CPage1),
// firewall ports (CPage2), auto-answer (CPage3), quality (CPage4) and about
// (CPage5). A page is built and loads from the settings store the first time
// it is shown; on OK every page that was shown stores its values, and the
// auto-answer and quality pages also update the running program at once.
#pragma once

#include <QString>
#include <QWidget>

#include "settings/settings_model.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// What every page shares: lazy creation and the data exchange.
class COptionPage : public QWidget {
    Q_OBJECT
  public:
    COptionPage(const QString& title, kestrona::SettingsModel* live);
    const QString& Title() const { return m_title; }
    bool IsCreated() const { return m_bCreated; }
    // Builds the controls and loads (once).
    void EnsureCreated();
    // Reads the controls into the members. On a bad field: false, with the
    // message and the field to put the focus on.
    virtual bool Validate(QString& message, QWidget*& field);
    // Stores the members (only called for created pages, after Validate).
    virtual void OnOK() {}

  protected:
    virtual void OnInitDialog() = 0;
    kestrona::SettingsModel* m_live;

  private:
    QString m_title;
    bool m_bCreated = false;
};

class CPage1 : public COptionPage {
    Q_OBJECT
  public:
    explicit CPage1(kestrona::SettingsModel* live = nullptr);
    bool Validate(QString& message, QWidget*& field) override;
    void OnOK() override;
    void EnableProxyFields(bool on);

    kestrona::ConnectionSettings m_values;

    QComboBox* m_rate = nullptr;           // 1021
    QLineEdit* m_address = nullptr;        // 1029
    QLineEdit* m_http = nullptr;           // 1025
    QLineEdit* m_password = nullptr;       // 1027
    QLineEdit* m_sock5 = nullptr;          // 1024
    QLineEdit* m_timeout = nullptr;        // 1028
    QLineEdit* m_user = nullptr;           // 1026
    QButtonGroup* m_proxyGroup = nullptr;  // 1022 = 0, 1023 = 1

  protected:
    void OnInitDialog() override;

  private:
    void ToControls();
};

class CPage2 : public COptionPage {
    Q_OBJECT
  public:
    static constexpr int kPortMax = 99999;
    explicit CPage2(kestrona::SettingsModel* live = nullptr);
    bool Validate(QString& message, QWidget*& field) override;
    void OnOK() override;
    void OnPortMode();

    int m_nFixPort = 0;
    int m_nCmdPort = 0;
    int m_nAiPort = 0;
    int m_nAoPort = 0;

    QButtonGroup* m_modeGroup = nullptr;  // 1035 = 0, 1036 = 1
    QLineEdit* m_cmd = nullptr;           // 1011
    QLineEdit* m_ai = nullptr;            // 1012
    QLineEdit* m_ao = nullptr;            // 1013

  protected:
    void OnInitDialog() override;
};

class CPage3 : public COptionPage {
    Q_OBJECT
  public:
    explicit CPage3(kestrona::SettingsModel* live = nullptr);
    bool Validate(QString& message, QWidget*& field) override;
    void OnOK() override;

    int m_nAATime = 0;
    int m_nAAFBTime = 0;
    int m_nAutoAA = 0;
    int m_nForceBreak = 0;

    QLineEdit* m_wait = nullptr;        // 1038
    QLineEdit* m_limit = nullptr;       // 1039
    QCheckBox* m_autoAA = nullptr;      // 1032
    QCheckBox* m_forceBreak = nullptr;  // 1037

  protected:
    void OnInitDialog() override;
};

class CPage4 : public COptionPage {
    Q_OBJECT
  public:
    explicit CPage4(kestrona::SettingsModel* live = nullptr);
    void OnOK() override;

    QComboBox* m_delay = nullptr;  // 1046

  protected:
    void OnInitDialog() override;
};

class CPage5 : public COptionPage {
    Q_OBJECT
  public:
    static constexpr const char* kMakerSite = "https://www.ostravine.example/";
    static constexpr const char* kProductSite = "https://kestrona.ostravine.example/";
    static constexpr const char* kBuySite = "https://www.ostravine.example/buy";

    explicit CPage5(kestrona::SettingsModel* live = nullptr);

  protected:
    void OnInitDialog() override;
};
