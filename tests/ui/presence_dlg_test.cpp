// The phone book and a call list with a presence source: each row shows
// what the source says of its number, as a dot and in words for screen
// readers, follows the source's updates and stops the look-ups on closing.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTreeWidget>
#include <map>
#include <set>

#include "store/call_history.h"
#include "store/phone_book.h"
#include "support/book_records.h"
#include "ui/call_log_dlg.h"
#include "ui/phone_book_dlg.h"

namespace {

using kestrona::PresenceState;

class FakePresence : public kestrona::PresenceSource {
  public:
    class Handle : public Watch {
      public:
        explicit Handle(int& live) : m_live(live) { ++m_live; }
        ~Handle() override { --m_live; }

      private:
        int& m_live;
    };
    std::unique_ptr<Watch> WatchNumbers(std::vector<int32_t> numbers) override {
        watched.push_back(std::set<int32_t>(numbers.begin(), numbers.end()));
        return std::make_unique<Handle>(live);
    }
    PresenceState StateOf(int32_t number) const override {
        const auto it = states.find(number);
        return it == states.end() ? PresenceState::kUnknown : it->second;
    }
    void Set(int32_t number, PresenceState state) {
        states[number] = state;
        emit updated();
    }

    std::map<int32_t, PresenceState> states;
    std::vector<std::set<int32_t>> watched;
    int live = 0;
};

// What a row says of its number, and the colour in the middle of its dot.
struct Shown {
    QString description;
    QString name;
    QColor centre;
};
Shown ShownIn(const QTreeWidgetItem& row, int column) {
    const QImage dot = row.icon(column).pixmap(16, 16).toImage();
    return {row.data(column, Qt::AccessibleDescriptionRole).toString(),
            row.data(column, Qt::AccessibleTextRole).toString(),
            dot.isNull() ? QColor() : dot.pixelColor(8, 8)};
}

bool Greenish(const QColor& c) {
    return c.alpha() > 200 && c.green() > c.red() + 40 && c.green() > c.blue() + 40;
}
bool Greyish(const QColor& c) {
    return c.alpha() > 200 && std::abs(c.red() - c.green()) < 20 && c.green() > 100;
}

class PresenceDlgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString();
        std::filesystem::create_directories(root / "list");
        std::filesystem::create_directories(root / "record");
        presence.states = {{11, PresenceState::kOnline}, {22, PresenceState::kOffline}};
    }
    QTemporaryDir dir;
    std::filesystem::path root;
    FakePresence presence;
};

TEST_F(PresenceDlgTest, ThePhoneBookShowsOnlineOfflineAndUnknown) {
    using kestrona::test::Group;
    using kestrona::test::Person;
    ASSERT_EQ(kestrona::SaveBook({Group(1, "family"), Group(2, "work")},
                                 {Person(11, "An", 1), Person(22, "Bo", 1), Person(33, "Cai", 1),
                                  Person(44, "Du", 2)},
                                 root),
              kestrona::SaveBookResult::kSaved);
    {
        CPhoneBookDlg book(nullptr, root, &presence);
        // Every contact is looked up at once, whichever group is shown.
        ASSERT_EQ(presence.watched.size(), 1u);
        EXPECT_EQ(presence.watched[0], (std::set<int32_t>{11, 22, 33, 44}));
        EXPECT_EQ(presence.live, 1);
        book.m_tree->setCurrentItem(book.m_tree->topLevelItem(0));
        ASSERT_EQ(book.m_list->topLevelItemCount(), 3);  // newest first: Cai, Bo, An
        const Shown cai = ShownIn(*book.m_list->topLevelItem(0), 0);
        const Shown bo = ShownIn(*book.m_list->topLevelItem(1), 0);
        const Shown an = ShownIn(*book.m_list->topLevelItem(2), 0);
        EXPECT_EQ(an.description, QStringLiteral("在线"));
        EXPECT_EQ(bo.description, QStringLiteral("离线"));
        EXPECT_EQ(cai.description, QStringLiteral("状态未知"));
        EXPECT_TRUE(an.name.contains("An") && an.name.contains(QStringLiteral("在线")))
            << an.name.toStdString();
        EXPECT_TRUE(Greenish(an.centre)) << an.centre.name(QColor::HexArgb).toStdString();
        EXPECT_TRUE(Greyish(bo.centre)) << bo.centre.name(QColor::HexArgb).toStdString();
        EXPECT_LT(cai.centre.alpha(), 50) << "a hollow ring";

        presence.Set(33, PresenceState::kOnline);
        presence.Set(11, PresenceState::kOffline);
        EXPECT_EQ(ShownIn(*book.m_list->topLevelItem(0), 0).description, QStringLiteral("在线"));
        EXPECT_EQ(ShownIn(*book.m_list->topLevelItem(2), 0).description, QStringLiteral("离线"));
    }
    EXPECT_EQ(presence.live, 0) << "the look-ups end with the book";

    // Without a source nothing is shown or asked.
    CPhoneBookDlg plain(nullptr, root);
    plain.m_tree->setCurrentItem(plain.m_tree->topLevelItem(0));
    EXPECT_TRUE(plain.m_list->topLevelItem(0)->icon(0).isNull());
    EXPECT_EQ(presence.watched.size(), 1u);
}

TEST_F(PresenceDlgTest, ACallListShowsTheStateBesideTheName) {
    for (const int32_t number : {11, 22, 33}) {
        kestrona::HistoryRecord r;
        r.number = number;
        r.time = kestrona::SystemTime{2003, 5, 6, 17, 9, 15, static_cast<uint16_t>(number), 0};
        ASSERT_EQ(kestrona::AppendRecord(r, root), kestrona::AppendResult::kAppended);
    }
    CCallLogDlg log(0, nullptr, root, &presence);
    ASSERT_EQ(presence.watched.size(), 1u);
    EXPECT_EQ(presence.watched[0], (std::set<int32_t>{11, 22, 33}));
    ASSERT_EQ(log.m_list->topLevelItemCount(), 3);
    QStringList states;
    for (int i = 0; i < 3; ++i) states << ShownIn(*log.m_list->topLevelItem(i), 1).description;
    EXPECT_EQ(states, (QStringList{QStringLiteral("状态未知"), QStringLiteral("离线"),
                                   QStringLiteral("在线")}));
    // The kind-of-call icon keeps its column.
    EXPECT_TRUE(ShownIn(*log.m_list->topLevelItem(0), 0).description.isEmpty());
    presence.Set(33, PresenceState::kOffline);
    EXPECT_EQ(ShownIn(*log.m_list->topLevelItem(0), 1).description, QStringLiteral("离线"));
}

}  // namespace
