#include "ui/call_log_dlg.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMetaObject>
#include <QPushButton>
#include <QStandardPaths>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <system_error>

#include "media/wave_player.h"
#include "platform/wav_file.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "store/call_history.h"
#include "ui/presence_marks.h"

using kestrona::HistoryRecord;

namespace kestrona {

std::filesystem::path RecordingPath(const HistoryRecord& record, const char* side,
                                    const std::filesystem::path& root) {
    const std::string stem = record.Stem();
    if (stem.empty()) {
        return {};  // names no recording: nothing to play, export or delete
    }
    return root / "record" / (stem + side);
}

QString EventText(const SystemTime& t) {
    return QString::asprintf("%d/%d/%d %d:%d:%d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                             t.wSecond);
}

bool ExportRecordingWav(const std::filesystem::path& inPath, const std::filesystem::path& outPath,
                        int rate, const std::filesystem::path& wavPath, std::string& error) {
    if (rate <= 0) {
        error = "the recording has no sample rate";
        return false;
    }
    std::vector<int16_t> in, out;
    std::string ignored;
    const bool haveIn = ReadRawPcmFile(inPath, in, ignored);
    const bool haveOut = ReadRawPcmFile(outPath, out, ignored);
    if (!haveIn && !haveOut) {
        error = "the recording files are missing";
        return false;
    }
    PcmAudio audio;
    audio.rate = static_cast<uint32_t>(rate);
    audio.channels = 1;
    audio.samples.resize(std::max(in.size(), out.size()));
    for (size_t i = 0; i < audio.samples.size(); ++i) {
        const int a = i < in.size() ? in[i] : 0;
        const int b = i < out.size() ? out[i] : 0;
        audio.samples[i] = static_cast<int16_t>(std::clamp(a + b, -32768, 32767));
    }
    return WriteWavFile(wavPath, audio, error);
}

}  // namespace kestrona

namespace {
constexpr int kNumberRole = Qt::UserRole;
}  // namespace

CCallLogDlg::CCallLogDlg(int type, QWidget* parent, std::filesystem::path root,
                         kestrona::PresenceSource* presence)
    : QDialog(parent),
      m_type(type),
      m_root(std::move(root)),
      m_presence(presence),
      m_player(new CWavePlayer) {
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("1002"));
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto makeButton = [this](int id, const QString& text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::number(id));
        b->setAutoDefault(id == kIdCall);
        b->setDefault(id == kIdCall);
        return b;
    };
    QPushButton* play = makeButton(kIdPlay, tr("播放"));
    QPushButton* stop = makeButton(kIdStop, tr("停止"));
    QPushButton* exportWav = makeButton(kIdExport, tr("导出WAV..."));
    QPushButton* del = makeButton(kIdDelete, tr("删除"));
    QPushButton* delAll = makeButton(kIdDeleteAll, tr("全部删除"));
    QPushButton* call = makeButton(kIdCall, tr("呼叫"));
    QPushButton* close = makeButton(kIdClose, tr("关闭"));
    play->setEnabled(false);
    stop->setEnabled(false);
    exportWav->setEnabled(false);

    auto* side = new QVBoxLayout;
    for (QPushButton* b : {play, stop, exportWav, del, delAll}) side->addWidget(b);
    side->addStretch();
    side->addWidget(call);
    side->addWidget(close);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(side);

    connect(play, &QPushButton::clicked, this, &CCallLogDlg::OnPlay);
    connect(stop, &QPushButton::clicked, this, &CCallLogDlg::OnStop);
    connect(exportWav, &QPushButton::clicked, this, &CCallLogDlg::OnExport);
    connect(del, &QPushButton::clicked, this, &CCallLogDlg::OnDelete);
    connect(delAll, &QPushButton::clicked, this, &CCallLogDlg::OnDeleteAll);
    connect(call, &QPushButton::clicked, this, &CCallLogDlg::OnCallBack);
    connect(close, &QPushButton::clicked, this, &CCallLogDlg::OnClose);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &CCallLogDlg::OnSelectionChanged);

    // Opening.
    m_list->setHeaderLabels({tr("号码"), tr("名字"), tr("事件")});
    m_list->header()->resizeSection(0, 70);
    m_list->header()->resizeSection(1, 100);
    m_list->header()->resizeSection(2, 140);
    static const char* const kTitles[] = {QT_TR_NOOP("接受的呼叫"), QT_TR_NOOP("拨出的电话"),
                                          QT_TR_NOOP("未接电话")};
    if (m_type >= 0 && m_type <= 2)
        setWindowTitle(tr(kTitles[m_type]));
    m_path = kestrona::HistoryFile(m_type, m_root);
    m_images = kestrona::ImageList::FromFile(
        kestrona::res::BitmapPath(kestrona::res::kBmpListIcons), QSize(16, 16), Qt::white);
    m_list->setIconSize(QSize(16, 16));
    Reload();
    if (m_presence) {
        connect(m_presence, &kestrona::PresenceSource::updated, this,
                &CCallLogDlg::ShowPresenceStates);
        std::vector<int32_t> numbers;
        for (const HistoryRecord& r : m_records) numbers.push_back(r.number);
        m_watch = m_presence->WatchNumbers(std::move(numbers));
    }
    resize(480, 300);
}

CCallLogDlg::~CCallLogDlg() {
    PlayerStop();
}

QPushButton* CCallLogDlg::Button(int id) const {
    return findChild<QPushButton*>(QString::number(id));
}

void CCallLogDlg::Reload() {
    m_list->clear();
    m_records.clear();
    if (m_path.empty())
        return;
    m_records = kestrona::ReadHistory(m_path);
    for (const HistoryRecord& r : m_records) {
        auto* row =
            new QTreeWidgetItem({QString::number(r.number), QString::fromStdString(r.Name()),
                                 kestrona::EventText(r.time)});
        const int icon = r.recorded ? 3 : r.type;
        if (icon >= 0 && icon < m_images.Count())
            row->setIcon(0, m_images.Pixmap(icon));
        row->setData(0, kNumberRole, r.number);
        m_list->insertTopLevelItem(0, row);
    }
    ShowPresenceStates();
}

void CCallLogDlg::ShowPresenceStates() {
    if (!m_presence)
        return;
    // The name's column: the first holds the kind of call.
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        kestrona::ShowPresence(*row, 1, m_presence->StateOf(row->data(0, kNumberRole).toInt()));
    }
}

int CCallLogDlg::SelectedRow() const {
    const auto selected = m_list->selectedItems();
    return selected.isEmpty() ? -1 : m_list->indexOfTopLevelItem(selected.front());
}

void CCallLogDlg::SelectRow(int row) {
    if (row < 0 || row >= m_list->topLevelItemCount())
        return;
    m_list->setCurrentItem(m_list->topLevelItem(row));
    m_list->topLevelItem(row)->setSelected(true);
}

void CCallLogDlg::OnSelectionChanged() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const HistoryRecord& r = m_records[m_records.size() - 1 - static_cast<size_t>(row)];
    Button(kIdPlay)->setEnabled(r.recorded != 0);
    Button(kIdExport)->setEnabled(r.recorded != 0);
}

void CCallLogDlg::OnPlay() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const HistoryRecord& r = m_records[m_records.size() - 1 - static_cast<size_t>(row)];
    Button(kIdPlay)->setEnabled(false);
    Button(kIdStop)->setEnabled(true);
    PlayerStop();
    PlayerPlay(kestrona::RecordingPath(r, "in", m_root), kestrona::RecordingPath(r, "out", m_root),
               r.rate);
}

void CCallLogDlg::OnStop() {
    Button(kIdStop)->setEnabled(false);
    PlayerStop();
}

void CCallLogDlg::OnPlayDone() {
    OnStop();
}

void CCallLogDlg::PostEngineMessage(int msg, int) {
    if (msg != kestrona::kMsgPlaybackDone)
        return;
    QMetaObject::invokeMethod(
        this, [this] { OnPlayDone(); }, Qt::QueuedConnection);
}

void CCallLogDlg::RemoveRecordingFiles(const HistoryRecord& r) {
    std::error_code ec;
    for (const char* side : {"in", "out"}) {
        std::filesystem::remove(kestrona::RecordingPath(r, side, m_root), ec);
    }
}

void CCallLogDlg::OnDelete() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    HistoryRecord& r = m_records[m_records.size() - 1 - static_cast<size_t>(row)];
    // The player may be reading these very files.
    PlayerStop();
    Button(kIdStop)->setEnabled(false);
    RemoveRecordingFiles(r);
    r.number = -1;
    kestrona::RewriteHistory(m_path, m_records);
    Reload();
    SelectRow(row);
}

void CCallLogDlg::OnDeleteAll() {
    if (Ask(kestrona::ResString(kestrona::res::kStrDeleteAll),
            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    PlayerStop();
    Button(kIdStop)->setEnabled(false);
    for (const HistoryRecord& r : m_records) RemoveRecordingFiles(r);
    m_records.clear();
    m_list->clear();
    kestrona::RewriteHistory(m_path, m_records);
}

void CCallLogDlg::OnExport() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    const HistoryRecord r = m_records[m_records.size() - 1 - static_cast<size_t>(row)];
    if (!r.recorded)
        return;
    const QString suggested = QString::fromStdString(r.Stem()) + QStringLiteral(".wav");
    const QString file = AskExportFile(suggested);
    if (file.isEmpty())
        return;
    std::string error;
    if (!kestrona::ExportRecordingWav(kestrona::RecordingPath(r, "in", m_root),
                                      kestrona::RecordingPath(r, "out", m_root), r.rate,
                                      file.toStdString(), error)) {
        Tell(tr("录音导出失败：%1").arg(QString::fromStdString(error)));
    }
}

void CCallLogDlg::OnCallBack() {
    const int row = SelectedRow();
    if (row < 0)
        return;
    m_selectedNumber = m_list->topLevelItem(row)->data(0, kNumberRole).toInt();
    PlayerStop();
    done(QDialog::Accepted);
}

void CCallLogDlg::OnClose() {
    PlayerStop();
    done(QDialog::Rejected);
}

void CCallLogDlg::accept() {
    OnCallBack();
}
void CCallLogDlg::reject() {
    OnClose();
}

void CCallLogDlg::PlayerPlay(const std::filesystem::path& in, const std::filesystem::path& out,
                             int rate) {
    m_player->Play(in, out, rate, this);
}

void CCallLogDlg::PlayerStop() {
    m_player->Stop();
}

int CCallLogDlg::Ask(const QString& text, QMessageBox::StandardButtons buttons) {
    return QMessageBox::question(this, QStringLiteral("Kestrona"), text, buttons);
}

void CCallLogDlg::Tell(const QString& text) {
    QMessageBox::warning(this, QStringLiteral("Kestrona"), text);
}

QString CCallLogDlg::AskExportFile(const QString& suggested) {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return QFileDialog::getSaveFileName(
        this, tr("导出录音"), dir.isEmpty() ? suggested : dir + QLatin1Char('/') + suggested,
        QStringLiteral("WAV (*.wav)"));
}
