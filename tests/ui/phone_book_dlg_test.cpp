#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "store/phone_book.h"
#include "support/book_records.h"
#include "ui/add_contact_dlg.h"
#include "ui/phone_book_dlg.h"

namespace {

using kestrona::GroupRecord;
using kestrona::PersonRecord;
using kestrona::test::Group;
using kestrona::test::Person;

// The book with its questions answered by the test.
class Book : public CPhoneBookDlg {
  public:
    using CPhoneBookDlg::CPhoneBookDlg;
    QStringList asked, told;
    int answer = QMessageBox::Ok;
    bool addOk = true;
    QString name = "Zhao", number = "555", email = "z@x.cn";

  protected:
    int Ask(const QString& text, QMessageBox::StandardButtons) override {
        asked << text;
        return answer;
    }
    void Tell(const QString& text) override { told << text; }
    bool RunAddContact(QString& n, QString& num, QString& e) override {
        n = name;
        num = number;
        e = email;
        return addOk;
    }
};

class PhoneBookTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path().toStdString();
        std::filesystem::create_directories(root / "list");
    }
    void Write(std::vector<GroupRecord> groups, std::vector<PersonRecord> persons) {
        ASSERT_EQ(kestrona::SaveBook(groups, persons, root), kestrona::SaveBookResult::kSaved);
    }
    static QStringList Rows(const Book& book, int column = 0) {
        QStringList rows;
        for (int i = 0; i < book.m_list->topLevelItemCount(); ++i)
            rows << book.m_list->topLevelItem(i)->text(column);
        return rows;
    }
    static void SelectGroup(Book& book, int index) {
        book.m_tree->setCurrentItem(book.m_tree->topLevelItem(index));
    }
    static void SelectRow(Book& book, int index) {
        book.m_list->setCurrentItem(book.m_list->topLevelItem(index));
    }
    std::uintmax_t PersonFileSize() const {
        return std::filesystem::file_size(root / "list" / "person.dat");
    }

    QTemporaryDir dir;
    std::filesystem::path root;
};

TEST_F(PhoneBookTest, OpensWithGroupsAndListsAGroupNewestFirst) {
    Write({Group(1, "家人"), Group(2, "work")},
          {Person(11, "A", 1), Person(22, "B", 2), Person(33, "C", 1), Person(44, "D", 9)});
    Book book(nullptr, root);
    EXPECT_EQ(book.windowTitle(), QStringLiteral("电话簿"));
    ASSERT_EQ(book.m_tree->topLevelItemCount(), 2);
    EXPECT_EQ(book.m_tree->topLevelItem(0)->text(0), QStringLiteral("家人"));
    EXPECT_EQ(book.m_tree->currentItem(), nullptr);
    EXPECT_EQ(book.m_list->topLevelItemCount(), 0);
    EXPECT_FALSE(book.m_modified);
    EXPECT_EQ(book.m_list->headerItem()->text(2), "EMail");
    SelectGroup(book, 0);
    EXPECT_EQ(Rows(book), (QStringList{"C", "A"}));
    EXPECT_EQ(Rows(book, 1), (QStringList{"33", "11"}));
    SelectGroup(book, 1);
    EXPECT_EQ(Rows(book), (QStringList{"B"}));
}

TEST_F(PhoneBookTest, NewGroupsTakeTheNextIdAndLongNamesAreCut) {
    Write({Group(1, "a"), Group(2, "b"), Group(5, "c")}, {});
    Book book(nullptr, root);
    book.OnAddGroup();
    EXPECT_TRUE(book.m_modified);
    auto groups = book.Groups();
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[3].id, 6);
    EXPECT_EQ(groups[3].Name(), "new group");
    EXPECT_EQ(book.m_tree->currentItem(), book.m_tree->topLevelItem(3));

    // Ten Chinese characters are twenty bytes: the tenth does not fit.
    book.m_tree->topLevelItem(3)->setText(0, QStringLiteral("一二三四五六七八九十"));
    EXPECT_EQ(book.m_tree->topLevelItem(3)->text(0), QStringLiteral("一二三四五六七八九"));
    book.m_tree->topLevelItem(3)->setText(0, QString(30, 'x'));
    EXPECT_EQ(book.m_tree->topLevelItem(3)->text(0), QString(19, 'x'));
    book.OnOK();
    EXPECT_EQ(book.result(), 1);
    const auto saved = kestrona::LoadGroups(root);
    ASSERT_EQ(saved.size(), 4u);
    EXPECT_EQ(saved[3].id, 6);
    EXPECT_EQ(saved[3].Name(), std::string(19, 'x'));
}

TEST_F(PhoneBookTest, FirstGroupOfAnEmptyBookIsOne) {
    Book book(nullptr, root);
    book.OnAddGroup();
    EXPECT_EQ(book.Groups().at(0).id, 1);
}

TEST_F(PhoneBookTest, DeletingAGroupAsksOnlyWhenItHasContacts) {
    Write({Group(1, "full"), Group(2, "empty")}, {Person(11, "A", 1), Person(22, "B", 1)});
    Book book(nullptr, root);
    SelectGroup(book, 1);
    book.OnDeleteGroup();
    EXPECT_TRUE(book.asked.isEmpty());
    EXPECT_EQ(book.m_tree->topLevelItemCount(), 1);

    SelectGroup(book, 0);
    book.answer = QMessageBox::Cancel;
    book.OnDeleteGroup();
    EXPECT_EQ(book.asked.size(), 1);
    EXPECT_EQ(book.asked[0], QStringLiteral("这不是空组.\n你确定删除这个组和里面的所有联系人吗?"));
    EXPECT_EQ(book.m_tree->topLevelItemCount(), 1);
    EXPECT_EQ(book.m_persons[0].number, 11);

    book.answer = QMessageBox::Ok;
    book.OnDeleteGroup();
    EXPECT_EQ(book.m_tree->topLevelItemCount(), 0);
    EXPECT_EQ(book.m_persons[0].number, -1);
    EXPECT_EQ(book.m_persons[1].number, -1);
    book.OnOK();
    EXPECT_TRUE(kestrona::LoadGroups(root).empty());
    EXPECT_EQ(PersonFileSize(), 0u);
}

TEST_F(PhoneBookTest, AddingAContactNeedsAGroup) {
    Write({Group(1, "g")}, {});
    Book book(nullptr, root);
    book.OnAddContact();
    EXPECT_EQ(book.told.size(), 1);
    EXPECT_TRUE(book.m_persons.empty());
    EXPECT_FALSE(book.m_modified);
}

TEST_F(PhoneBookTest, AddedContactIsOnTopAndSavedWithItsGroup) {
    Write({Group(1, "g"), Group(3, "h")}, {Person(11, "A", 3)});
    Book book(nullptr, root);
    SelectGroup(book, 1);
    book.OnAddContact();
    EXPECT_EQ(Rows(book), (QStringList{"Zhao", "A"}));
    ASSERT_EQ(book.m_persons.size(), 2u);
    EXPECT_EQ(book.m_persons[1].number, 555);
    EXPECT_EQ(book.m_persons[1].group, 3);
    EXPECT_EQ(book.m_persons[1].Email(), "z@x.cn");

    book.addOk = false;
    book.OnAddContact();
    EXPECT_EQ(book.m_persons.size(), 2u);

    // Not a number: shown as typed for now, stored as 0, never saved.
    book.addOk = true;
    book.number = "12ab";
    book.name = "Bad";
    book.OnAddContact();
    EXPECT_EQ(book.m_list->topLevelItem(0)->text(1), "12ab");
    EXPECT_EQ(book.m_persons[2].number, 0);
    book.OnOK();
    const auto saved = kestrona::LoadPersons(root);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[1].Name(), "Zhao");
}

TEST_F(PhoneBookTest, DeletingAContactMarksTheFirstWithThatNumberInTheGroup) {
    Write({Group(1, "g")}, {Person(7, "first", 1), Person(8, "other", 1), Person(7, "second", 1)});
    Book book(nullptr, root);
    SelectGroup(book, 0);
    ASSERT_EQ(Rows(book), (QStringList{"second", "other", "first"}));
    SelectRow(book, 0);  // the row of "second"
    book.OnDeleteContact();
    EXPECT_EQ(book.m_persons[0].number, -1);
    EXPECT_EQ(book.m_persons[2].number, 7);
    EXPECT_TRUE(book.m_modified);
    const auto before = PersonFileSize();
    book.OnOK();
    EXPECT_EQ(PersonFileSize(), before - 72);
}

TEST_F(PhoneBookTest, CallAsksToSaveOnceAndHandsBackTheContact) {
    Write({Group(1, "g")}, {Person(7, "Li", 1)});
    Book book(nullptr, root);
    SelectGroup(book, 0);
    book.OnAddContact();
    book.answer = QMessageBox::No;
    SelectRow(book, 1);
    book.OnCall();
    EXPECT_EQ(book.asked, QStringList{QStringLiteral("关闭前是否保存所有变动？")});
    EXPECT_EQ(book.result(), CPhoneBookDlg::kResultCall);
    EXPECT_EQ(book.m_selectedNumber, 7);
    EXPECT_EQ(book.m_selectedName, "Li");
    EXPECT_EQ(kestrona::LoadPersons(root).size(), 1u);  // the new contact was lost
}

TEST_F(PhoneBookTest, CallWithYesSavesAndWithoutARowStaysOpen) {
    Write({Group(1, "g")}, {});
    Book book(nullptr, root);
    SelectGroup(book, 0);
    book.OnAddContact();
    book.m_list->clearSelection();
    book.m_list->setCurrentItem(nullptr);
    book.answer = QMessageBox::Yes;
    book.OnCall();
    EXPECT_EQ(book.result(), 0);
    EXPECT_EQ(kestrona::LoadPersons(root).size(), 1u);
}

TEST_F(PhoneBookTest, CloseDiscardsWithoutAsking) {
    Write({Group(1, "g")}, {Person(7, "Li", 1)});
    Book book(nullptr, root);
    SelectGroup(book, 0);
    SelectRow(book, 0);
    book.OnDeleteContact();
    book.OnClose();
    EXPECT_EQ(book.result(), 2);
    EXPECT_TRUE(book.asked.isEmpty());
    EXPECT_EQ(kestrona::LoadPersons(root).size(), 1u);
}

TEST(AddContactDlg, FieldsAreLimited) {
    CAddContactDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("增加联系人"));
    EXPECT_EQ(dlg.NameEdit()->maxLength(), 19);
    EXPECT_EQ(dlg.NumberEdit()->maxLength(), 10);
    EXPECT_EQ(dlg.EmailEdit()->maxLength(), 30);
    dlg.NameEdit()->setText("N");
    dlg.NumberEdit()->setText("123");
    dlg.accept();
    EXPECT_EQ(dlg.m_strName, "N");
    EXPECT_EQ(dlg.m_strNumber, "123");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

}  // namespace
