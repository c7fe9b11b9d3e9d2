#include "ui/register_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "app/dialog_checks.h"
#include "net/net_context.h"
#include "net/server_socket.h"
#include "res/resource_ids.h"
#include "res/strings.h"
#include "settings/setting_names.h"
#include "ui/connection_dlg.h"

using namespace kestrona;

CRegisterDlg::CRegisterDlg(NetContext& net, QWidget* parent) : QDialog(parent), m_net(net) {
    setWindowTitle(tr("注册以得到一个新的Kestrona电话号码"));
    // The picture fills the left side; the form, the note and the buttons
    // stand to its right.
    auto* outer = new QHBoxLayout(this);
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    const QSize pictureSize = QImage(res::BitmapPath(res::kBmpRegister)).size();
    picture->setPixmap(QIcon(res::BitmapPath(res::kBmpRegister)).pixmap(pictureSize));
    picture->setFixedSize(pictureSize);
    outer->addWidget(picture, 0, Qt::AlignTop);
    auto* layout = new QVBoxLayout;
    outer->addLayout(layout, 1);
    auto* box = new QGroupBox(tr("注册信息"), this);
    auto* form = new QFormLayout(box);
    auto addEdit = [&](const char* id, const QString& label, bool secret) {
        auto* edit = new QLineEdit(box);
        edit->setObjectName(QString::fromLatin1(id));
        if (secret) {
            edit->setEchoMode(QLineEdit::Password);
        }
        form->addRow(label, edit);
        return edit;
    };
    m_editName = addEdit("1011", tr("名字"), false);
    m_editPassword = addEdit("1012", tr("密码"), true);
    m_editPassword2 = addEdit("1014", tr("重输密码"), true);
    m_editEmail = addEdit("1015", QStringLiteral("EMail:"), false);
    m_editCountry = addEdit("1016", tr("国家"), false);
    m_editCity = addEdit("1017", tr("城市"), false);
    layout->addWidget(box);
    auto* note = new QLabel(
        tr("请正确的输入以上所有信息，如果已经注册过一个Kestrona号码，请点击“已有号码”"), this);
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* buttons = new QDialogButtonBox(this);
    m_btnRegister = buttons->addButton(tr("注册"), QDialogButtonBox::ActionRole);
    m_btnRegister->setDefault(true);
    buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
    QPushButton* settings = buttons->addButton(tr("网络设置"), QDialogButtonBox::ActionRole);
    QPushButton* existing = buttons->addButton(tr("已有号码"), QDialogButtonBox::ActionRole);
    connect(m_btnRegister, &QPushButton::clicked, this, &CRegisterDlg::OnRegister);
    connect(buttons, &QDialogButtonBox::rejected, this, &CRegisterDlg::reject);
    connect(settings, &QPushButton::clicked, this, &CRegisterDlg::OnNetworkSettings);
    connect(existing, &QPushButton::clicked, this, &CRegisterDlg::OnExistingNumber);
    layout->addWidget(buttons);
}

bool CRegisterDlg::IsValidRegistration(const QString& name, const QString& password,
                                       const QString& password2, const QString& email,
                                       const QString& country, const QString& city) {
    if (!email.contains(QLatin1Char('@')) || !email.contains(QLatin1Char('.'))) {
        return false;
    }
    if (name.isEmpty() || email.isEmpty() || country.isEmpty() || city.isEmpty()) {
        return false;
    }
    return !password.isEmpty() && !password2.isEmpty() && password == password2;
}

bool CRegisterDlg::ReadControls() {
    if (!CheckMaxBytes(m_editName, 19) || !CheckMaxBytes(m_editPassword, 19) ||
        !CheckMaxBytes(m_editPassword2, 19) || !CheckMaxBytes(m_editEmail, 29) ||
        !CheckMaxBytes(m_editCountry, 19) || !CheckMaxBytes(m_editCity, 19)) {
        return false;
    }
    m_strName = m_editName->text();
    m_strPassword = m_editPassword->text();
    m_strPassword2 = m_editPassword2->text();
    m_strEmail = m_editEmail->text();
    m_strCountry = m_editCountry->text();
    m_strCity = m_editCity->text();
    return true;
}

void CRegisterDlg::OnRegister() {
    if (!ReadControls()) {
        return;
    }
    if (!IsValidRegistration(m_strName, m_strPassword, m_strPassword2, m_strEmail, m_strCountry,
                             m_strCity)) {
        m_net.ShowMessage(135);
        return;
    }
    m_btnRegister->setEnabled(false);
    RegisterRequest request;
    request.strName = m_strName.toStdString();
    request.strPassword = m_strPassword.toStdString();
    request.strEmail = m_strEmail.toStdString();
    request.strCountry = m_strCountry.toStdString();
    request.strCity = m_strCity.toStdString();
    auto socket = std::make_unique<CServerSocket>(m_net);
    socket->Create();
    socket->SendRegisterNew(BuildRegisterRecord(request));
    const int code = m_net.PumpUntilReply(*socket);
    m_nNewNumber = RegisteredNumber(socket->Buffer());
    socket->Close();
    socket.reset();
    m_btnRegister->setEnabled(true);

    if (code != REPLY_SUCCESS) {
        m_net.ShowReplyMessage(code);
        return;
    }
    CSysRegInfo store;
    store.SetRegSection(m_net.regSection.c_str());
    store.SetRegInt(kestrona::reg::kIdAtRegistration, m_nNewNumber);
    store.SetRegValue(kestrona::reg::kUserName, m_strName.toUtf8().constData());
    store.SetRegValue(kestrona::reg::kEmail, m_strEmail.toUtf8().constData());
    store.SetRegValue(kestrona::reg::kCountry, m_strCountry.toUtf8().constData());
    store.SetRegValue(kestrona::reg::kCity, m_strCity.toUtf8().constData());
    if (m_net.messages) {
        const QString text =
            ResString(136).replace(QLatin1String("%d"), QString::number(m_nNewNumber));
        m_net.messages->ShowText(text.toStdString());
    }
    done(1);
}

void CRegisterDlg::OnNetworkSettings() {
    CSysRegInfo store;
    store.SetRegSection(m_net.regSection.c_str());
    CConnectionDlg dialog(store);
    dialog.Run();
}

int CRegisterDlg::Run() {
    if (const auto answer = AutoAnswer("REGISTER")) {
        if (*answer == QLatin1String("cancel")) {
            return 2;
        }
        if (*answer == QLatin1String("existing")) {
            return 4;
        }
        const QStringList parts = answer->split(QLatin1Char('|'));
        QLineEdit* edits[] = {m_editName, m_editPassword, m_editEmail, m_editCountry, m_editCity};
        for (int i = 0; i < 5; ++i) {
            edits[i]->setText(parts.value(i));
        }
        m_editPassword2->setText(parts.value(1));
        setResult(0);
        OnRegister();
        return result() == 1 ? 1 : 2;
    }
    return exec();
}
