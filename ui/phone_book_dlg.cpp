#include "ui/phone_book_dlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "res/strings.h"
#include "store/phone_book.h"
#include "ui/add_contact_dlg.h"
#include "ui/presence_marks.h"

using kestrona::GroupRecord;
using kestrona::PersonRecord;

namespace {

constexpr int kIdRole = Qt::UserRole;

// Ending a rename keeps what was typed, Escape included, as the book has
// always done; the name is then cut to what the group file can hold.
class GroupNameDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void destroyEditor(QWidget* editor, const QModelIndex& index) const override {
        if (auto* edit = qobject_cast<QLineEdit*>(editor)) {
            auto* model = const_cast<QAbstractItemModel*>(index.model());
            model->setData(index, edit->text(), Qt::EditRole);
        }
        QStyledItemDelegate::destroyEditor(editor, index);
    }
};

QString FitGroupName(const QString& text) {
    GroupRecord g;
    g.SetName(text.toStdString());
    return QString::fromStdString(g.Name());
}

}  // namespace

CPhoneBookDlg::CPhoneBookDlg(QWidget* parent, std::filesystem::path root,
                             kestrona::PresenceSource* presence)
    : QDialog(parent), m_root(std::move(root)), m_presence(presence) {
    setWindowTitle(tr("电话簿"));
    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("1001"));
    m_tree->setHeaderHidden(true);
    m_tree->setRootIsDecorated(false);
    m_tree->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::SelectedClicked);
    m_tree->setItemDelegate(new GroupNameDelegate(m_tree));
    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("1002"));
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto makeButton = [this](int id, const QString& text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QString::number(id));
        b->setAutoDefault(false);
        return b;
    };
    QPushButton* addGroup = makeButton(1009, tr("增加组"));
    QPushButton* delGroup = makeButton(1010, tr("删除"));
    QPushButton* addContact = makeButton(1017, tr("增加名单"));
    QPushButton* delContact = makeButton(1008, tr("删除"));
    QPushButton* call = makeButton(1016, tr("呼叫"));
    QPushButton* ok = makeButton(1, tr("确定"));
    QPushButton* close = makeButton(2, tr("关闭"));

    auto* grid = new QGridLayout(this);
    grid->addWidget(m_tree, 0, 0);
    grid->addWidget(m_list, 0, 1);
    auto* under = new QHBoxLayout;
    under->addWidget(addGroup);
    under->addWidget(delGroup);
    grid->addLayout(under, 1, 0);
    auto* underList = new QHBoxLayout;
    underList->addWidget(addContact);
    underList->addWidget(delContact);
    underList->addStretch();
    grid->addLayout(underList, 1, 1);
    auto* side = new QVBoxLayout;
    side->addWidget(call);
    side->addStretch();
    side->addWidget(ok);
    side->addWidget(close);
    grid->addLayout(side, 0, 2, 2, 1);
    grid->setColumnStretch(1, 1);
    m_tree->setMaximumWidth(160);

    connect(addGroup, &QPushButton::clicked, this, &CPhoneBookDlg::OnAddGroup);
    connect(delGroup, &QPushButton::clicked, this, &CPhoneBookDlg::OnDeleteGroup);
    connect(addContact, &QPushButton::clicked, this, &CPhoneBookDlg::OnAddContact);
    connect(delContact, &QPushButton::clicked, this, &CPhoneBookDlg::OnDeleteContact);
    connect(call, &QPushButton::clicked, this, &CPhoneBookDlg::OnCall);
    connect(ok, &QPushButton::clicked, this, &CPhoneBookDlg::OnOK);
    connect(close, &QPushButton::clicked, this, &CPhoneBookDlg::OnClose);
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { OnCall(); });
    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        ShowGroup(item ? item->data(0, kIdRole).toInt() : 0);
    });
    connect(m_tree, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item) { OnGroupRenamed(item); });

    OnInitDialog();
    if (m_presence) {
        connect(m_presence, &kestrona::PresenceSource::updated, this,
                &CPhoneBookDlg::ShowPresenceStates);
        m_list->setIconSize(QSize(16, 16));
        WatchContacts();
    }
    resize(640, 320);
}

CPhoneBookDlg::~CPhoneBookDlg() = default;

QPushButton* CPhoneBookDlg::Button(int id) const {
    return findChild<QPushButton*>(QString::number(id));
}

void CPhoneBookDlg::OnInitDialog() {
    m_list->setHeaderLabels({tr("名字"), tr("号码"), QStringLiteral("EMail")});
    m_list->header()->resizeSection(0, 100);
    m_list->header()->resizeSection(1, 70);
    m_list->header()->resizeSection(2, 120);
    m_persons = kestrona::LoadPersons(m_root);
    const QSignalBlocker block(m_tree);
    for (const GroupRecord& g : kestrona::LoadGroups(m_root)) {
        auto* item = new QTreeWidgetItem(m_tree, {QString::fromStdString(g.Name())});
        item->setData(0, kIdRole, g.id);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    m_tree->setCurrentItem(nullptr);
    m_modified = false;
}

std::vector<GroupRecord> CPhoneBookDlg::Groups() const {
    std::vector<GroupRecord> groups;
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = m_tree->topLevelItem(i);
        GroupRecord g;
        g.id = item->data(0, kIdRole).toInt();
        g.SetName(item->text(0).toStdString());
        groups.push_back(g);
    }
    return groups;
}

int32_t CPhoneBookDlg::SelectedGroupId() const {
    const QTreeWidgetItem* item = m_tree->currentItem();
    return item ? item->data(0, kIdRole).toInt() : 0;
}

void CPhoneBookDlg::ShowGroup(int32_t groupId) {
    m_list->clear();
    for (const PersonRecord& p : m_persons) {
        if (p.number <= 0 || p.group != groupId)
            continue;
        auto* row =
            new QTreeWidgetItem({QString::fromStdString(p.Name()), QString::number(p.number),
                                 QString::fromStdString(p.Email())});
        row->setData(0, kIdRole, p.number);
        m_list->insertTopLevelItem(0, row);
    }
    ShowPresenceStates();
}

void CPhoneBookDlg::WatchContacts() {
    std::vector<int32_t> numbers;
    for (const PersonRecord& p : m_persons) {
        if (p.number > 0)
            numbers.push_back(p.number);
    }
    m_watch = m_presence->WatchNumbers(std::move(numbers));
}

void CPhoneBookDlg::ShowPresenceStates() {
    if (!m_presence)
        return;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_list->topLevelItem(i);
        kestrona::ShowPresence(*row, 0, m_presence->StateOf(row->data(0, kIdRole).toInt()));
    }
}

void CPhoneBookDlg::OnGroupRenamed(QTreeWidgetItem* item) {
    const QString fitted = FitGroupName(item->text(0));
    if (fitted != item->text(0)) {
        const QSignalBlocker block(m_tree);
        item->setText(0, fitted);
    }
}

void CPhoneBookDlg::OnAddGroup() {
    const std::vector<GroupRecord> groups = Groups();
    auto* item = new QTreeWidgetItem(m_tree, {QStringLiteral("new group")});
    {
        const QSignalBlocker block(m_tree);
        item->setData(0, kIdRole, kestrona::NextGroupId(groups));
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    m_tree->setCurrentItem(item);
    m_tree->editItem(item);
    m_modified = true;
}

void CPhoneBookDlg::OnDeleteGroup() {
    QTreeWidgetItem* item = m_tree->currentItem();
    if (!item)
        return;
    if (m_list->topLevelItemCount() > 0 &&
        Ask(kestrona::ResString(124), QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok) {
        return;
    }
    const int32_t id = item->data(0, kIdRole).toInt();
    for (PersonRecord& p : m_persons) {
        if (p.group == id)
            p.number = -1;
    }
    m_list->clear();
    delete item;
    m_modified = true;
}

void CPhoneBookDlg::OnAddContact() {
    // A contact belongs to a group; without one it could never be shown.
    if (!m_tree->currentItem()) {
        Tell(tr("请先选择一个组，再增加联系人。"));
        return;
    }
    QString name, number, email;
    if (!RunAddContact(name, number, email))
        return;
    bool isNumber = false;
    int32_t value = number.trimmed().toInt(&isNumber);
    if (!isNumber)
        value = 0;
    auto* row = new QTreeWidgetItem({name, number, email});
    row->setData(0, kIdRole, value);
    m_list->insertTopLevelItem(0, row);
    PersonRecord p;
    p.number = value;
    p.SetName(name.toStdString());
    p.SetEmail(email.toStdString());
    p.group = SelectedGroupId();
    m_persons.push_back(p);
    m_modified = true;
    if (m_presence) {
        ShowPresenceStates();
        WatchContacts();
    }
}

void CPhoneBookDlg::OnDeleteContact() {
    QTreeWidgetItem* row = m_list->currentItem();
    if (!row || !row->isSelected())
        return;
    const int32_t number = row->data(0, kIdRole).toInt();
    const int32_t group = SelectedGroupId();
    for (PersonRecord& p : m_persons) {
        if (p.number == number && p.group == group) {
            p.number = -1;
            break;
        }
    }
    delete row;
    m_modified = true;
}

void CPhoneBookDlg::OnCall() {
    if (m_modified &&
        Ask(kestrona::ResString(143), QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        SaveBook();
    }
    QTreeWidgetItem* row = m_list->currentItem();
    if (!row || !row->isSelected())
        return;
    m_selectedName = row->text(0);
    m_selectedNumber = row->data(0, kIdRole).toInt();
    done(kResultCall);
}

void CPhoneBookDlg::OnOK() {
    SaveBook();
    done(QDialog::Accepted);
}

void CPhoneBookDlg::OnClose() {
    done(2);
}

void CPhoneBookDlg::reject() {
    OnClose();
}

void CPhoneBookDlg::SaveBook() {
    kestrona::SaveBook(Groups(), m_persons, m_root);
}

int CPhoneBookDlg::Ask(const QString& text, QMessageBox::StandardButtons buttons) {
    return QMessageBox::question(this, QStringLiteral("Kestrona"), text, buttons);
}

void CPhoneBookDlg::Tell(const QString& text) {
    QMessageBox::information(this, QStringLiteral("Kestrona"), text);
}

bool CPhoneBookDlg::RunAddContact(QString& name, QString& number, QString& email) {
    CAddContactDlg dlg(this);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    name = dlg.m_strName;
    number = dlg.m_strNumber;
    email = dlg.m_strEmail;
    return true;
}
