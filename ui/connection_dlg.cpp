#include "ui/connection_dlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/dialog_checks.h"

using namespace kestrona;

namespace {

const char* const kConnectionTypes[5] = {"56K Modem", "128K ISDN", "256K Cable/DSL",
                                         "512K Cable/DSL", "T1 or Higher"};

}  // namespace

CConnectionDlg::CConnectionDlg(const CSysRegInfo& store, QWidget* parent)
    : QDialog(parent), m_store(store) {
    // Unlike the options sheet, the dialog offers the usual proxy ports until
    // others are stored.
    m_values.nSock5Port = 1080;
    m_values.nHttpPort = 80;
    setWindowTitle(QStringLiteral("Connection"));
    auto* layout = new QVBoxLayout(this);

    auto* typeBox = new QGroupBox(tr("连接类型"), this);
    auto* typeForm = new QFormLayout(typeBox);
    m_cbRate = new QComboBox(typeBox);
    m_cbRate->setObjectName(QStringLiteral("1021"));
    for (const char* entry : kConnectionTypes) {
        m_cbRate->addItem(QString::fromLatin1(entry));
    }
    typeForm->addRow(m_cbRate);
    m_cbRate->setAccessibleName(typeBox->title());
    m_editTimeout = new QLineEdit(typeBox);
    m_editTimeout->setObjectName(QStringLiteral("1028"));
    auto* timeoutRow = new QHBoxLayout;
    timeoutRow->addWidget(m_editTimeout);
    timeoutRow->addWidget(new QLabel(tr("秒"), typeBox));
    auto* timeoutLabel = new QLabel(tr("超时"), typeBox);
    timeoutLabel->setBuddy(m_editTimeout);
    typeForm->addRow(timeoutLabel, timeoutRow);
    layout->addWidget(typeBox);

    auto* proxyBox = new QGroupBox(tr("SOCK5/HTTP 代理服务器"), this);
    auto* proxyForm = new QFormLayout(proxyBox);
    m_rbNoProxy = new QRadioButton(tr("禁用代理服务"), proxyBox);
    m_rbNoProxy->setObjectName(QStringLiteral("1022"));
    m_rbProxy = new QRadioButton(tr("启用代理服务"), proxyBox);
    m_rbProxy->setObjectName(QStringLiteral("1023"));
    auto* group = new QButtonGroup(this);
    group->addButton(m_rbNoProxy, 0);
    group->addButton(m_rbProxy, 1);
    proxyForm->addRow(m_rbNoProxy);
    proxyForm->addRow(m_rbProxy);
    m_editAddress = new QLineEdit(proxyBox);
    m_editAddress->setObjectName(QStringLiteral("1029"));
    proxyForm->addRow(tr("代理地址"), m_editAddress);
    m_editSock5Port = new QLineEdit(proxyBox);
    m_editSock5Port->setObjectName(QStringLiteral("1024"));
    proxyForm->addRow(tr("SOCK5 端口:"), m_editSock5Port);
    m_editHttpPort = new QLineEdit(proxyBox);
    m_editHttpPort->setObjectName(QStringLiteral("1025"));
    proxyForm->addRow(tr("HTTP 端口:"), m_editHttpPort);
    m_editUser = new QLineEdit(proxyBox);
    m_editUser->setObjectName(QStringLiteral("1026"));
    proxyForm->addRow(tr("用户名"), m_editUser);
    m_editPassword = new QLineEdit(proxyBox);
    m_editPassword->setObjectName(QStringLiteral("1027"));
    m_editPassword->setEchoMode(QLineEdit::Password);
    proxyForm->addRow(tr("密码"), m_editPassword);
    layout->addWidget(proxyBox);

    layout->addWidget(new QLabel(tr("改变数值后需重启Kestrona才能生效"), this));

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::accepted, this, &CConnectionDlg::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_rbNoProxy, &QRadioButton::clicked, this, [this] { EnableProxyFields(false); });
    connect(m_rbProxy, &QRadioButton::clicked, this, [this] { EnableProxyFields(true); });

    OnInitDialog();
}

void CConnectionDlg::OnInitDialog() {
    LoadConnectionSettings(m_store, m_values);
    m_cbRate->setCurrentIndex(m_values.nRate < m_cbRate->count() ? m_values.nRate : -1);
    m_values.nRate = m_cbRate->currentIndex();
    EnableProxyFields(m_values.nProxy != 0);
    WriteControls();
}

void CConnectionDlg::WriteControls() {
    m_editHttpPort->setText(QString::number(m_values.nHttpPort));
    m_editPassword->setText(QString::fromStdString(m_values.strProxyPassword));
    m_editSock5Port->setText(QString::number(m_values.nSock5Port));
    m_editUser->setText(QString::fromStdString(m_values.strProxyUser));
    m_editAddress->setText(QString::fromStdString(m_values.strProxyAddress));
    // A value other than 0 or 1 selects neither button.
    m_rbNoProxy->setChecked(m_values.nProxy == 0);
    m_rbProxy->setChecked(m_values.nProxy == 1);
    m_editTimeout->setText(QString::number(m_values.nTimeout));
}

bool CConnectionDlg::ReadControls() {
    m_values.nRate = m_cbRate->currentIndex();
    const auto http = CheckInt(m_editHttpPort);
    if (!http) {
        return false;
    }
    if (!CheckMaxBytes(m_editPassword, kProxyPasswordMaxBytes)) {
        return false;
    }
    const auto socks = CheckInt(m_editSock5Port);
    if (!socks) {
        return false;
    }
    if (!CheckMaxBytes(m_editUser, kProxyUserMaxBytes) ||
        !CheckMaxBytes(m_editAddress, kProxyAddressMaxBytes)) {
        return false;
    }
    const auto timeout = CheckInt(m_editTimeout);
    if (!timeout) {
        return false;
    }
    m_values.nHttpPort = *http;
    m_values.strProxyPassword = m_editPassword->text().toStdString();
    m_values.nSock5Port = *socks;
    m_values.strProxyUser = m_editUser->text().toStdString();
    m_values.strProxyAddress = m_editAddress->text().toStdString();
    m_values.nProxy = m_rbProxy->isChecked() ? 1 : (m_rbNoProxy->isChecked() ? 0 : -1);
    m_values.nTimeout = *timeout;
    return true;
}

void CConnectionDlg::EnableProxyFields(bool on) {
    for (QLineEdit* edit :
         {m_editAddress, m_editSock5Port, m_editHttpPort, m_editUser, m_editPassword}) {
        edit->setEnabled(on);
    }
}

void CConnectionDlg::OnOK() {
    if (!ReadControls()) {
        return;
    }
    StoreConnectionSettings(m_store, m_values);
    done(1);
}

int CConnectionDlg::Run() {
    if (const auto answer = AutoAnswer("CONNECTION")) {
        if (*answer == QLatin1String("cancel")) {
            return 2;
        }
        OnOK();
        return result() == 1 ? 1 : 2;
    }
    return exec();
}
