#include "ui/login_dlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/dialog_checks.h"
#include "net/net_context.h"
#include "net/server_socket.h"
#include "res/resource_ids.h"
#include "settings/setting_names.h"
#include "ui/connection_dlg.h"

using namespace kestrona;

CLoginDlg::CLoginDlg(NetContext& net, bool startHidden, QWidget* parent)
    : QDialog(parent), m_net(net), m_bStartHidden(startHidden) {
    setWindowTitle(tr("登录"));
    setWindowIcon(QApplication::windowIcon());
    auto* layout = new QVBoxLayout(this);
    // The application icon stands at the top left, beside the two fields.
    auto* head = new QHBoxLayout;
    head->setSpacing(16);
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(QIcon(res::IconPath(res::kIconMain)).pixmap(32, 32));
    icon->setFixedSize(32, 32);
    head->addWidget(icon, 0, Qt::AlignTop);
    auto* form = new QFormLayout;
    m_editNumber = new QLineEdit(this);
    m_editNumber->setObjectName(QStringLiteral("1011"));
    form->addRow(tr("号码"), m_editNumber);
    m_editPassword = new QLineEdit(this);
    m_editPassword->setObjectName(QStringLiteral("1012"));
    m_editPassword->setEchoMode(QLineEdit::Password);
    form->addRow(tr("密码"), m_editPassword);
    head->addLayout(form, 1);
    layout->addLayout(head);
    layout->addSpacing(6);

    auto* buttons = new QDialogButtonBox(this);
    m_btnOK = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
    m_btnOK->setDefault(true);
    buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
    QPushButton* settings = buttons->addButton(tr("连接设置"), QDialogButtonBox::ActionRole);
    connect(m_btnOK, &QPushButton::clicked, this, &CLoginDlg::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLoginDlg::reject);
    connect(settings, &QPushButton::clicked, this, &CLoginDlg::OnConnectionSettings);
    layout->addWidget(buttons);
}

void CLoginDlg::OnOK() {
    const auto number = CheckInt(m_editNumber);
    if (!number || !CheckMaxBytes(m_editPassword, 19)) {
        return;
    }
    m_nNumber = *number;
    m_strPassword = m_editPassword->text();

    LoginRequest request;
    request.nID = m_nNumber;
    request.strPassword = m_strPassword.toStdString();
    request.nListenPort = m_net.AnnouncedCmdPort();
    // A missing "Proxy" reads as -1, which counts as set.
    request.bProxy = m_net.StoreInt(kestrona::reg::kProxy) != 0;
    request.bStartHidden = m_bStartHidden;

    CServerSocket socket(m_net);
    socket.Create();
    socket.SendLogin(BuildLoginRecord(request));
    const int code = m_net.PumpUntilReply(socket);
    socket.Close();

    if (code == REPLY_SUCCESS) {
        CSysRegInfo store;
        store.SetRegSection(m_net.regSection.c_str());
        store.SetRegInt(kestrona::reg::kId, m_nNumber);
        store.SetRegValue(kestrona::reg::kPassword, m_strPassword.toUtf8().constData());
        done(1);
        return;
    }
    m_net.ShowReplyMessage(code);
}

void CLoginDlg::OnConnectionSettings() {
    CSysRegInfo store;
    store.SetRegSection(m_net.regSection.c_str());
    CConnectionDlg dialog(store);
    dialog.Run();
}

int CLoginDlg::Run() {
    m_editNumber->setText(QString::number(m_nNumber));
    m_editPassword->setText(m_strPassword);
    if (const auto answer = AutoAnswer("LOGIN")) {
        if (*answer == QLatin1String("cancel")) {
            return 2;
        }
        if (const int colon = answer->indexOf(QLatin1Char(':')); colon >= 0) {
            if (colon > 0) {
                m_editNumber->setText(answer->left(colon));
            }
            m_editPassword->setText(answer->mid(colon + 1));
        }
        setResult(0);
        OnOK();
        return result() == 1 ? 1 : 2;
    }
    return exec();
}
