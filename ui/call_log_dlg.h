// CCallLogDlg: one call-history file (calls taken, made or missed), newest
// first. Plays and stops a call's recording, exports it as a WAV file,
// deletes one record or all of them together with their recordings, and
// ends with 1 when the chosen number is to be called back. With a presence
// source, each record shows whether its number can be called now.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/presence.h"
#include "media/engine_owner.h"
#include "store/records.h"
#include "ui/skin_images.h"

class CWavePlayer;
class QPushButton;
class QTreeWidget;

namespace kestrona {

// The recording files of a record: "record/<stem>in" and "record/<stem>out".
std::filesystem::path RecordingPath(const HistoryRecord& record, const char* side,
                                    const std::filesystem::path& root = {});
// "%d/%d/%d %d:%d:%d" of the record's date and time.
QString EventText(const SystemTime& t);
// Writes both sides of a recording, mixed, as a 16-bit mono WAV at `rate`.
// A side that is missing counts as silence; both missing is an error.
bool ExportRecordingWav(const std::filesystem::path& inPath, const std::filesystem::path& outPath,
                        int rate, const std::filesystem::path& wavPath, std::string& error);

}  // namespace kestrona

class CCallLogDlg : public QDialog, public kestrona::IEngineOwner {
    Q_OBJECT
  public:
    static constexpr int kIdPlay = 1006;
    static constexpr int kIdStop = 1040;
    static constexpr int kIdDelete = 1042;
    static constexpr int kIdDeleteAll = 1017;
    static constexpr int kIdCall = 1;
    static constexpr int kIdClose = 2;
    static constexpr int kIdExport = 1050;

    // type: 0 taken, 1 made, 2 missed. root: where "list/" and "record/" are.
    explicit CCallLogDlg(int type, QWidget* parent = nullptr, std::filesystem::path root = {},
                         kestrona::PresenceSource* presence = nullptr);
    ~CCallLogDlg() override;

    void Reload();
    void OnSelectionChanged();
    void OnPlay();
    void OnStop();
    void OnDelete();
    void OnDeleteAll();
    void OnExport();
    void OnCallBack();
    void OnClose();

    // IEngineOwner: the player's "one recording has played" arrives on a
    // device thread and is handled on the dialog's thread.
    void PostEngineMessage(int msg, int code) override;

    std::filesystem::path m_path;
    int32_t m_type = 0;
    kestrona::ImageList m_images;
    int32_t m_selectedNumber = 0;
    std::vector<kestrona::HistoryRecord> m_records;
    QTreeWidget* m_list = nullptr;  // 1002

    QPushButton* Button(int id) const;
    int SelectedRow() const;
    void SelectRow(int row);

  protected:
    // The player and the questions, replaceable for tests.
    virtual void PlayerPlay(const std::filesystem::path& in, const std::filesystem::path& out,
                            int rate);
    virtual void PlayerStop();
    virtual int Ask(const QString& text, QMessageBox::StandardButtons buttons);
    virtual void Tell(const QString& text);
    virtual QString AskExportFile(const QString& suggested);
    void reject() override;
    void accept() override;

  private:
    void OnPlayDone();
    void RemoveRecordingFiles(const kestrona::HistoryRecord& record);
    void ShowPresenceStates();

    std::filesystem::path m_root;
    kestrona::PresenceSource* m_presence;
    std::unique_ptr<kestrona::PresenceSource::Watch> m_watch;
    std::unique_ptr<CWavePlayer> m_player;
};
