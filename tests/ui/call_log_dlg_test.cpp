#include <gtest/gtest.h>

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <fstream>

#include "platform/wav_file.h"
#include "store/call_history.h"
#include "ui/call_log_dlg.h"

namespace {

using kestrona::HistoryRecord;

class Log : public CCallLogDlg {
  public:
    using CCallLogDlg::CCallLogDlg;
    std::vector<std::string> played;
    int stops = 0;
    int answer = QMessageBox::Yes;
    QStringList asked;
    QString exportTo;

  protected:
    void PlayerPlay(const std::filesystem::path& in, const std::filesystem::path& out,
                    int rate) override {
        played.push_back(in.filename().string() + "," + out.filename().string() + "," +
                         std::to_string(rate));
    }
    void PlayerStop() override { ++stops; }
    int Ask(const QString& text, QMessageBox::StandardButtons) override {
        asked << text;
        return answer;
    }
    void Tell(const QString&) override {}
    QString AskExportFile(const QString&) override { return exportTo; }
};

HistoryRecord Record(int number, int second, bool recorded, int type = 0) {
    kestrona::SystemTime t{2003, 5, 6, 17, 9, 15, static_cast<uint16_t>(second), 0};
    HistoryRecord r;
    r.number = number;
    r.type = type;
    r.time = t;
    r.recorded = recorded ? 1 : 0;
    const std::string stem = kestrona::MakeRecordStem(t);
    std::copy(stem.begin(), stem.end(), r.stem);
    r.rate = 8000;
    return r;
}

void WriteRaw(const std::filesystem::path& p, const std::vector<int16_t>& samples) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * 2));
}

class CallLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString();
        std::filesystem::create_directories(root / "list");
        std::filesystem::create_directories(root / "record");
        records = {Record(100, 1, true), Record(200, 2, false), Record(300, 3, true)};
        for (const auto& r : records) {
            ASSERT_EQ(kestrona::AppendRecord(r, root), kestrona::AppendResult::kAppended);
            if (r.recorded) {
                WriteRaw(kestrona::RecordingPath(r, "in", root), {1, 2, 3});
                WriteRaw(kestrona::RecordingPath(r, "out", root), {4, 5});
            }
        }
    }
    std::uintmax_t FileSize() const { return std::filesystem::file_size(root / "list/ilist.dat"); }
    static QStringList Column(const Log& log, int column) {
        QStringList out;
        for (int i = 0; i < log.m_list->topLevelItemCount(); ++i)
            out << log.m_list->topLevelItem(i)->text(column);
        return out;
    }

    QTemporaryDir dir;
    std::filesystem::path root;
    std::vector<HistoryRecord> records;
};

TEST_F(CallLogTest, RowsAreNewestFirstWithTitleColumnsAndEventText) {
    Log log(0, nullptr, root);
    EXPECT_EQ(log.windowTitle(), QStringLiteral("接受的呼叫"));
    EXPECT_EQ(Column(log, 0), (QStringList{"300", "200", "100"}));
    EXPECT_EQ(log.m_list->topLevelItem(0)->text(2), "2003/5/17 9:15:3");
    EXPECT_EQ(log.m_list->headerItem()->text(1), QStringLiteral("名字"));
    EXPECT_FALSE(log.m_list->topLevelItem(0)->icon(0).isNull());
    EXPECT_FALSE(log.Button(CCallLogDlg::kIdPlay)->isEnabled());
    EXPECT_FALSE(log.Button(CCallLogDlg::kIdStop)->isEnabled());
    EXPECT_EQ(Log(2, nullptr, root).windowTitle(), QStringLiteral("未接电话"));
    EXPECT_EQ(Log(1, nullptr, root).m_list->topLevelItemCount(), 0);
}

TEST_F(CallLogTest, PlayFollowsTheRecordedFlagAndStopsAtTheEnd) {
    Log log(0, nullptr, root);
    log.SelectRow(1);
    EXPECT_FALSE(log.Button(CCallLogDlg::kIdPlay)->isEnabled());
    log.SelectRow(0);
    EXPECT_TRUE(log.Button(CCallLogDlg::kIdPlay)->isEnabled());
    log.OnPlay();
    ASSERT_EQ(log.played.size(), 1u);
    EXPECT_EQ(log.played[0], "20030517091503in,20030517091503out,8000");
    EXPECT_FALSE(log.Button(CCallLogDlg::kIdPlay)->isEnabled());
    EXPECT_TRUE(log.Button(CCallLogDlg::kIdStop)->isEnabled());
    const int stopsBefore = log.stops;
    log.PostEngineMessage(11026, 0);  // from the device thread in real use
    QTest::qWait(50);
    EXPECT_FALSE(log.Button(CCallLogDlg::kIdStop)->isEnabled());
    EXPECT_EQ(log.stops, stopsBefore + 1);
    EXPECT_FALSE(log.Button(CCallLogDlg::kIdPlay)->isEnabled());  // only a new selection
}

TEST_F(CallLogTest, DeleteRemovesTheRecordAndItsFilesAndSelectsTheNextOlder) {
    Log log(0, nullptr, root);
    log.SelectRow(0);
    log.OnPlay();
    const int stopsBefore = log.stops;
    log.OnDelete();
    EXPECT_GT(log.stops, stopsBefore);  // playback of the deleted recording stops
    EXPECT_FALSE(std::filesystem::exists(kestrona::RecordingPath(records[2], "in", root)));
    EXPECT_FALSE(std::filesystem::exists(kestrona::RecordingPath(records[2], "out", root)));
    EXPECT_TRUE(std::filesystem::exists(kestrona::RecordingPath(records[0], "in", root)));
    EXPECT_EQ(FileSize(), 2u * 76);
    EXPECT_EQ(Column(log, 0), (QStringList{"200", "100"}));
    EXPECT_EQ(log.SelectedRow(), 0);

    log.SelectRow(1);
    log.OnDelete();
    EXPECT_EQ(log.SelectedRow(), -1);  // there was no older record
    EXPECT_EQ(Column(log, 0), (QStringList{"200"}));
}

TEST_F(CallLogTest, DeleteAllAsksThenEmptiesTheFileAndRemovesEveryRecording) {
    Log log(0, nullptr, root);
    log.answer = QMessageBox::No;
    log.OnDeleteAll();
    EXPECT_EQ(log.asked, QStringList{QStringLiteral("确定删除所有记录吗？")});
    EXPECT_EQ(FileSize(), 3u * 76);
    log.answer = QMessageBox::Yes;
    log.OnDeleteAll();
    EXPECT_EQ(log.m_list->topLevelItemCount(), 0);
    ASSERT_TRUE(std::filesystem::exists(root / "list/ilist.dat"));
    EXPECT_EQ(FileSize(), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(root / "record"));
}

TEST_F(CallLogTest, DeleteAllOfAMissingFileLeavesAnEmptyOne) {
    Log log(2, nullptr, root);
    log.OnDeleteAll();
    ASSERT_TRUE(std::filesystem::exists(root / "list/mlist.dat"));
    EXPECT_EQ(std::filesystem::file_size(root / "list/mlist.dat"), 0u);
}

TEST_F(CallLogTest, CallBackHandsOverTheNumber) {
    Log log(0, nullptr, root);
    log.OnCallBack();
    EXPECT_EQ(log.result(), 0);  // nothing selected: stays open
    log.SelectRow(2);
    log.OnCallBack();
    EXPECT_EQ(log.result(), 1);
    EXPECT_EQ(log.m_selectedNumber, 100);
}

TEST_F(CallLogTest, ExportWritesOneMixedWavOfBothSides) {
    Log log(0, nullptr, root);
    log.SelectRow(0);
    EXPECT_TRUE(log.Button(CCallLogDlg::kIdExport)->isEnabled());
    log.exportTo = QString::fromStdString((root / "call.wav").string());
    log.OnExport();
    kestrona::PcmAudio audio;
    std::string error;
    ASSERT_TRUE(kestrona::ReadWavFile(root / "call.wav", audio, error)) << error;
    EXPECT_EQ(audio.rate, 8000u);
    EXPECT_EQ(audio.channels, 1);
    EXPECT_EQ(audio.samples, (std::vector<int16_t>{5, 7, 3}));
}

TEST(ExportRecordingWav, ClipsMissingSideAndRefusesNonsense) {
    QTemporaryDir dir;
    const std::filesystem::path root = dir.path().toStdString();
    WriteRaw(root / "a", {30000, -30000, 10});
    WriteRaw(root / "b", {30000, -30000});
    std::string error;
    ASSERT_TRUE(kestrona::ExportRecordingWav(root / "a", root / "b", 16000, root / "x.wav", error));
    kestrona::PcmAudio audio;
    ASSERT_TRUE(kestrona::ReadWavFile(root / "x.wav", audio, error));
    EXPECT_EQ(audio.samples, (std::vector<int16_t>{32767, -32768, 10}));
    EXPECT_TRUE(
        kestrona::ExportRecordingWav(root / "a", root / "none", 8000, root / "y.wav", error));
    EXPECT_FALSE(
        kestrona::ExportRecordingWav(root / "none", root / "none2", 8000, root / "z.wav", error));
    EXPECT_FALSE(kestrona::ExportRecordingWav(root / "a", root / "b", 0, root / "z.wav", error));
    EXPECT_FALSE(std::filesystem::exists(root / "z.wav"));
}

}  // namespace
