// The pages of the options sheet: connection and proxy (CPage1), firewall
// ports (CPage2), auto-answer (CPage3), quality (CPage4), about (CPage5),
// sound devices and echo control (CPage6) and the general page (CPage7). A page is built and loads
// from the settings store the first time it is shown; on OK every page that was shown stores its
// values, and the auto-answer and quality pages also update the running program at once.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_backend.h"
#include "settings/settings_model.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QGridLayout;
class QSlider;

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
    void ShowMappingState();

    int m_nFixPort = 0;
    int m_nCmdPort = 0;
    int m_nAiPort = 0;
    int m_nAoPort = 0;
    // Router forwarding: 1 on (also when the store has no value), 0 off.
    int m_nPortMapping = 1;

    QButtonGroup* m_modeGroup = nullptr;  // 1035 = 0, 1036 = 1
    QLineEdit* m_cmd = nullptr;           // 1011
    QLineEdit* m_ai = nullptr;            // 1012
    QLineEdit* m_ao = nullptr;            // 1013
    QCheckBox* m_mapping = nullptr;
    // The running phone's forwarding state.
    QLabel* m_mappingState = nullptr;
    QLabel* m_reachState = nullptr;

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
    // Desktop notifications of calls: on unless the store says 0.
    int m_nNotifications = 1;

    QLineEdit* m_wait = nullptr;        // 1038
    QLineEdit* m_limit = nullptr;       // 1039
    QCheckBox* m_autoAA = nullptr;      // 1032
    QCheckBox* m_forceBreak = nullptr;  // 1037
    QCheckBox* m_notify = nullptr;

  protected:
    void OnInitDialog() override;
};

class CPage4 : public COptionPage {
    Q_OBJECT
  public:
    explicit CPage4(kestrona::SettingsModel* live = nullptr);
    void OnOK() override;

    QComboBox* m_delay = nullptr;  // 1046
    QCheckBox* m_plainCalls = nullptr;

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

namespace kestrona {
class TestSound;
}

// Sound: the microphone and loudspeaker by their human names (the system
// default first), a test sound on the loudspeaker shown, and echo control.
// The devices are listed, and the test sound played, in the background,
// since the sound server may be slow to answer or not answer at all; until
// the lists arrive they hold the default and the device kept in the
// settings. A kept device that is not there stays chosen, marked as
// missing (a headset that is unplugged now), until the user chooses another.
// The levels of the microphone, the loudspeaker and the ring count at once,
// in a call that is up too (levelsChanged), and go back when the sheet is
// cancelled.
class CPage6 : public COptionPage {
    Q_OBJECT
  public:
    // backend: whose devices are listed (default: the process's).
    explicit CPage6(kestrona::SettingsModel* live = nullptr,
                    std::shared_ptr<kestrona::AudioBackend> backend = nullptr);
    ~CPage6() override;
    bool Validate(QString& message, QWidget*& field) override;
    void OnOK() override;
    void PlayTestSound();
    // True once the device lists have arrived.
    bool DevicesListed() const { return m_listed; }
    // How many test sounds have reported whether they play.
    int TestSoundsAnswered() const { return m_testAnswers; }

    kestrona::AudioSettings m_values;

    QComboBox* m_input = nullptr;
    QComboBox* m_output = nullptr;
    QPushButton* m_test = nullptr;
    QCheckBox* m_echo = nullptr;
    QLabel* m_status = nullptr;
    QSlider* m_micLevel = nullptr;
    QSlider* m_speakerLevel = nullptr;
    QSlider* m_ringLevel = nullptr;

  signals:
    void levelsChanged();

  protected:
    void OnInitDialog() override;

  private:
    void ShowDevices(const std::vector<kestrona::AudioDeviceInfo>& inputs,
                     const std::vector<kestrona::AudioDeviceInfo>& outputs);
    void ShowTestSound(bool ok, const std::string& why);
    void Fill(QComboBox* box, const std::vector<kestrona::AudioDeviceInfo>& devices,
              const std::string& chosen);
    static std::string ChosenId(const QComboBox* box);

    std::shared_ptr<kestrona::AudioBackend> m_backend;
    std::unique_ptr<kestrona::TestSound> m_testSound;
    QSlider* AddLevel(QGridLayout* grid, int row, const QString& name, int most, int value,
                      int kestrona::AudioSettings::*field);
    void ShowLevels();
    int m_loadedEcho = -1;
    kestrona::AudioSettings m_loaded;
    bool m_bStored = false;
    bool m_listed = false;
    int m_testAnswers = 0;
};

// General: the directory server's host and port, whether the phone talks
// to it through TLS and the server certificate's pinned fingerprint, and the
// language of the phone's texts (automatic follows the desktop's locale).
// All take effect at the next start, like the connection page's values;
// call encryption counts from the next call, and appearing offline to others
// is told to the server at once.
class CPage7 : public COptionPage {
    Q_OBJECT
  public:
    explicit CPage7(kestrona::SettingsModel* live = nullptr);
    bool Validate(QString& message, QWidget*& field) override;
    void OnOK() override;

    std::string m_strHost;
    int m_nHostPort = 0;
    bool m_bTls = false;
    // 64 lower-case hex digits, or empty for none.
    std::string m_strTlsPin;
    // "", "zh" or "en".
    std::string m_strLanguage;
    kestrona::Encryption m_encryption = kestrona::Encryption::kPreferred;
    bool m_bAppearOffline = false;

    QLineEdit* m_host = nullptr;
    QLineEdit* m_port = nullptr;
    QCheckBox* m_tls = nullptr;
    QLineEdit* m_tlsPin = nullptr;
    QComboBox* m_language = nullptr;
    QComboBox* m_encryptionChoice = nullptr;
    QCheckBox* m_appearOffline = nullptr;

  protected:
    void OnInitDialog() override;

  private:
    // As loaded: an unchanged value is not written as the user's own, so a
    // site's default keeps reaching this user.
    bool m_bLoadedTls = false;
    std::string m_strLoadedPin;
    bool m_bLoadedAppearOffline = false;
};
