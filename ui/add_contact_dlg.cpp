#include "ui/add_contact_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

CAddContactDlg::CAddContactDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("增加联系人"));
    auto* form = new QFormLayout;
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("1014"));
    m_name->setMaxLength(kNameMax);
    m_number = new QLineEdit(this);
    m_number->setObjectName(QStringLiteral("1015"));
    m_number->setMaxLength(kNumberMax);
    m_email = new QLineEdit(this);
    m_email->setObjectName(QStringLiteral("1013"));
    m_email->setMaxLength(kEmailMax);
    form->addRow(tr("名字"), m_name);
    form->addRow(tr("号码"), m_number);
    form->addRow(QStringLiteral("EMail"), m_email);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CAddContactDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CAddContactDlg::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

void CAddContactDlg::accept() {
    m_strName = m_name->text();
    m_strNumber = m_number->text();
    m_strEmail = m_email->text();
    QDialog::accept();
}
