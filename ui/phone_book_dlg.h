// CPhoneBookDlg: the phone book. Groups on the left as a tree, the contacts
// of the selected group on the right; groups and contacts are added and
// deleted in memory and saved on OK (or on Call when the user agrees). Ends
// with 4 when a contact is to be called, 1 after OK, 2 after Close. With a
// presence source, each contact shows whether it can be called now, looked
// up while the book is open.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/presence.h"
#include "store/records.h"

class QTreeWidget;
class QTreeWidgetItem;
class QPushButton;

class CPhoneBookDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kResultCall = 4;

    // root: where "list/" is (empty: the current directory).
    explicit CPhoneBookDlg(QWidget* parent = nullptr, std::filesystem::path root = {},
                           kestrona::PresenceSource* presence = nullptr);
    ~CPhoneBookDlg() override;

    // Refills the list with the contacts of a group, the last in the array first.
    void ShowGroup(int32_t groupId);

    void OnAddGroup();
    void OnDeleteGroup();
    void OnAddContact();
    void OnDeleteContact();
    void OnCall();
    void OnOK();
    void OnClose();
    // Saves the tree's groups and the contacts.
    void SaveBook();

    bool m_modified = false;
    std::vector<kestrona::PersonRecord> m_persons;
    int32_t m_selectedNumber = 0;
    QString m_selectedName;
    QTreeWidget* m_tree = nullptr;  // 1001
    QTreeWidget* m_list = nullptr;  // 1002, in report view

    // The group ids and names in tree order.
    std::vector<kestrona::GroupRecord> Groups() const;
    QPushButton* Button(int id) const;

  protected:
    // The dialogs the book opens; tests answer them.
    virtual int Ask(const QString& text, QMessageBox::StandardButtons buttons);
    virtual void Tell(const QString& text);
    virtual bool RunAddContact(QString& name, QString& number, QString& email);
    void reject() override;

  private:
    void OnInitDialog();
    void OnGroupRenamed(QTreeWidgetItem* item);
    int32_t SelectedGroupId() const;
    // Looks up every contact of the book, whichever group is shown.
    void WatchContacts();
    void ShowPresenceStates();

    std::filesystem::path m_root;
    kestrona::PresenceSource* m_presence;
    std::unique_ptr<kestrona::PresenceSource::Watch> m_watch;
};
