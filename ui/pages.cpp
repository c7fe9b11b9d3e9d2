#include "ui/pages.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <iterator>
#include <string>

#include "app/dialog_checks.h"
#include "app/phone_app.h"
#include "app/port_mapping.h"
#include "app/presence.h"
#include "app/reachability.h"
#include "media/test_sound.h"
#include "net/server_tls.h"
#include "platform/background_work.h"
#include "res/resource_ids.h"
#include "settings/setting_names.h"
#include "settings/settings_model.h"
#include "settings/sys_reg_info.h"

namespace {

// The helpers below are outside the pages, so they name the pages' context.
QString PageText(const char* text) {
    return QCoreApplication::translate("COptionPage", text);
}

const char* const kRestartNote =
    QT_TRANSLATE_NOOP("COptionPage", "改变数值后需重启Kestrona才能生效");

QLineEdit* Edit(QWidget* parent, int id) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString::number(id));
    return e;
}

QRadioButton* Radio(QWidget* parent, int id, const QString& text) {
    auto* r = new QRadioButton(text, parent);
    r->setObjectName(QString::number(id));
    return r;
}

// A field's label, tied to it: screen readers name the field by it.
QLabel* Label(QWidget* parent, const QString& text, QWidget* field) {
    auto* l = new QLabel(text, parent);
    l->setBuddy(field);
    return l;
}

QLabel* Note(QWidget* parent, const QString& text) {
    auto* l = new QLabel(text, parent);
    l->setWordWrap(true);
    return l;
}

// The integer of a number field, as the dialogs' data exchange reads it.
bool ReadInt(QLineEdit* edit, int& value, QString& message, QWidget*& field) {
    bool ok = false;
    const int v = edit->text().trimmed().toInt(&ok);
    if (!ok) {
        message = PageText(QT_TRANSLATE_NOOP("COptionPage", "请输入一个整数。"));
        field = edit;
        return false;
    }
    value = v;
    return true;
}

// A text field that must fit its field of the settings model, with the same
// check and message as the connection dialog.
bool ReadText(QLineEdit* edit, int maxBytes, std::string& value, QString& message,
              QWidget*& field) {
    if (const auto problem = kestrona::MaxBytesProblem(edit->text(), maxBytes)) {
        message = *problem;
        field = edit;
        return false;
    }
    value = edit->text().toStdString();
    return true;
}

bool ReadIntInRange(QLineEdit* edit, int& value, int low, int high, QString& message,
                    QWidget*& field) {
    int v = 0;
    if (!ReadInt(edit, v, message, field) || v < low || v > high) {
        message = PageText(QT_TRANSLATE_NOOP("COptionPage", "请输入一个在 %1 和 %2 之间的整数。"))
                      .arg(low)
                      .arg(high);
        field = edit;
        return false;
    }
    value = v;
    return true;
}

}  // namespace

// ---- COptionPage ----

COptionPage::COptionPage(const QString& title, kestrona::SettingsModel* live)
    : m_live(live), m_title(title) {}

void COptionPage::EnsureCreated() {
    if (m_bCreated)
        return;
    m_bCreated = true;
    OnInitDialog();
}

bool COptionPage::Validate(QString&, QWidget*&) {
    return true;
}

// ---- CPage1: connection ----

CPage1::CPage1(kestrona::SettingsModel* live) : COptionPage(tr("连接"), live) {}

void CPage1::EnableProxyFields(bool on) {
    for (QWidget* w : {static_cast<QWidget*>(m_address), static_cast<QWidget*>(m_sock5),
                       static_cast<QWidget*>(m_http), static_cast<QWidget*>(m_user),
                       static_cast<QWidget*>(m_password)}) {
        w->setEnabled(on);
    }
}

void CPage1::OnInitDialog() {
    auto* type = new QGroupBox(tr("连接类型"), this);
    m_rate = new QComboBox(type);
    m_rate->setObjectName(QStringLiteral("1021"));
    m_rate->addItems({QStringLiteral("56K Modem"), QStringLiteral("128K ISDN"),
                      QStringLiteral("256K Cable/DSL"), QStringLiteral("512K Cable/DSL"),
                      QStringLiteral("T1 or Higher")});
    m_timeout = Edit(type, 1028);
    auto* typeRow = new QHBoxLayout(type);
    typeRow->addWidget(m_rate, 1);
    m_rate->setAccessibleName(type->title());
    typeRow->addWidget(Label(type, tr("超时"), m_timeout));
    typeRow->addWidget(m_timeout);
    typeRow->addWidget(new QLabel(tr("秒"), type));

    auto* proxy = new QGroupBox(tr("SOCK5/HTTP 代理服务器"), this);
    auto* off = Radio(proxy, 1022, tr("禁用代理服务"));
    auto* on = Radio(proxy, 1023, tr("启用代理服务1"));
    m_proxyGroup = new QButtonGroup(this);
    m_proxyGroup->addButton(off, 0);
    m_proxyGroup->addButton(on, 1);
    m_address = Edit(proxy, 1029);
    m_sock5 = Edit(proxy, 1024);
    m_http = Edit(proxy, 1025);
    m_user = Edit(proxy, 1026);
    m_password = Edit(proxy, 1027);
    m_password->setEchoMode(QLineEdit::Password);
    auto* grid = new QGridLayout(proxy);
    grid->addWidget(off, 0, 0, 1, 2);
    grid->addWidget(on, 0, 2, 1, 2);
    grid->addWidget(Label(proxy, tr("代理地址"), m_address), 1, 0);
    grid->addWidget(m_address, 1, 1, 1, 3);
    grid->addWidget(Label(proxy, tr("SOCK5 端口:"), m_sock5), 2, 0);
    grid->addWidget(m_sock5, 2, 1);
    grid->addWidget(Label(proxy, tr("HTTP 端口:"), m_http), 2, 2);
    grid->addWidget(m_http, 2, 3);
    grid->addWidget(Label(proxy, tr("用户名"), m_user), 3, 0);
    grid->addWidget(m_user, 3, 1);
    grid->addWidget(Label(proxy, tr("密码"), m_password), 3, 2);
    grid->addWidget(m_password, 3, 3);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(type);
    layout->addWidget(proxy);
    layout->addWidget(Note(this, PageText(kRestartNote)));
    layout->addStretch();

    connect(off, &QRadioButton::clicked, this, [this] { EnableProxyFields(false); });
    connect(on, &QRadioButton::clicked, this, [this] { EnableProxyFields(true); });

    LoadConnectionSettings(CSysRegInfo(), m_values);
    m_rate->setCurrentIndex(m_values.nRate < m_rate->count() ? m_values.nRate : -1);
    EnableProxyFields(m_values.nProxy != 0);
    ToControls();
}

void CPage1::ToControls() {
    m_address->setText(QString::fromStdString(m_values.strProxyAddress));
    m_http->setText(QString::number(m_values.nHttpPort));
    m_password->setText(QString::fromStdString(m_values.strProxyPassword));
    if (QAbstractButton* b = m_proxyGroup->button(m_values.nProxy)) {
        b->setChecked(true);
    } else {
        m_proxyGroup->setExclusive(false);
        for (QAbstractButton* r : m_proxyGroup->buttons()) r->setChecked(false);
        m_proxyGroup->setExclusive(true);
    }
    m_sock5->setText(QString::number(m_values.nSock5Port));
    m_timeout->setText(QString::number(m_values.nTimeout));
    m_user->setText(QString::fromStdString(m_values.strProxyUser));
}

bool CPage1::Validate(QString& message, QWidget*& field) {
    // The proxy texts are held to what the settings model can take, as the
    // connection dialog holds them: longer ones would be cut at the next start.
    if (!ReadText(m_address, kestrona::kProxyAddressMaxBytes, m_values.strProxyAddress, message,
                  field))
        return false;
    if (!ReadInt(m_http, m_values.nHttpPort, message, field))
        return false;
    if (!ReadText(m_password, kestrona::kProxyPasswordMaxBytes, m_values.strProxyPassword, message,
                  field))
        return false;
    m_values.nProxy = m_proxyGroup->checkedId();
    if (!ReadInt(m_sock5, m_values.nSock5Port, message, field))
        return false;
    if (!ReadInt(m_timeout, m_values.nTimeout, message, field))
        return false;
    return ReadText(m_user, kestrona::kProxyUserMaxBytes, m_values.strProxyUser, message, field);
}

void CPage1::OnOK() {
    m_values.nRate = m_rate->currentIndex();
    CSysRegInfo reg;
    StoreConnectionSettings(reg, m_values);
}

// ---- CPage2: firewall ----

CPage2::CPage2(kestrona::SettingsModel* live) : COptionPage(tr("防火墙"), live) {}

void CPage2::OnInitDialog() {
    auto* box = new QGroupBox(tr("防火墙端口"), this);
    auto* any = Radio(box, 1035, tr("使用任意端口"));
    auto* fixed = Radio(box, 1036, tr("使用指定端口"));
    m_modeGroup = new QButtonGroup(this);
    m_modeGroup->addButton(any, 0);
    m_modeGroup->addButton(fixed, 1);
    m_cmd = Edit(box, 1011);
    m_ai = Edit(box, 1012);
    m_ao = Edit(box, 1013);
    auto* form = new QFormLayout;
    form->addRow(tr("命令口"), m_cmd);
    form->addRow(tr("接听口"), m_ai);
    form->addRow(tr("发送口"), m_ao);
    auto* inner = new QVBoxLayout(box);
    inner->addWidget(any);
    inner->addWidget(fixed);
    inner->addLayout(form);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(box);
    layout->addWidget(
        Note(this, tr("如果你在防火墙后面使用Kestrona,请选择使用指定端口来接受别人的呼叫，"
                      "并在你的防火墙中开放以上的端口。")));
    auto* router = new QGroupBox(tr("路由器端口映射"), this);
    m_mapping = new QCheckBox(tr("让路由器自动转发接听端口 (UPnP / NAT-PMP)"), router);
    m_mapping->setObjectName(QStringLiteral("portmapping"));
    m_mappingState = new QLabel(router);
    m_mappingState->setObjectName(QStringLiteral("portmappingState"));
    auto* routerLayout = new QFormLayout(router);
    routerLayout->addRow(m_mapping);
    routerLayout->addRow(tr("状态"), m_mappingState);
    // What the directory server found when it tried to reach this phone.
    m_reachState = new QLabel(router);
    m_reachState->setObjectName(QStringLiteral("reachState"));
    m_reachState->setWordWrap(true);
    routerLayout->addRow(tr("呼入"), m_reachState);
    layout->addWidget(router);
    layout->addWidget(Note(this, PageText(kRestartNote)));
    layout->addStretch();
    connect(any, &QRadioButton::clicked, this, &CPage2::OnPortMode);
    connect(fixed, &QRadioButton::clicked, this, &CPage2::OnPortMode);

    CSysRegInfo reg;
    m_nPortMapping = reg.GetRegInt(kestrona::kRegPortMapping) == 0 ? 0 : 1;
    // A proxy carries the incoming calls: the router has nothing to forward.
    const bool proxy = reg.GetRegInt(kestrona::reg::kProxy) == 1;
    m_mapping->setChecked(m_nPortMapping == 1 && !proxy);
    m_mapping->setEnabled(!proxy);
    ShowMappingState();
    if (int v = reg.GetRegInt(kestrona::reg::kFixPort); v > 0)
        m_nFixPort = v;
    if (int v = reg.GetRegInt(kestrona::reg::kCmdPort); v > 0)
        m_nCmdPort = v;
    if (int v = reg.GetRegInt(kestrona::reg::kAiPort); v > 0)
        m_nAiPort = v;
    if (int v = reg.GetRegInt(kestrona::reg::kAoPort); v > 0)
        m_nAoPort = v;
    for (QLineEdit* e : {m_cmd, m_ai, m_ao}) e->setEnabled(m_nFixPort != 0);
    if (QAbstractButton* b = m_modeGroup->button(m_nFixPort))
        b->setChecked(true);
    m_cmd->setText(QString::number(m_nCmdPort));
    m_ai->setText(QString::number(m_nAiPort));
    m_ao->setText(QString::number(m_nAoPort));
}

void CPage2::OnPortMode() {
    m_nFixPort = m_modeGroup->checkedId();
    for (QLineEdit* e : {m_cmd, m_ai, m_ao}) e->setEnabled(m_nFixPort == 1);
}

bool CPage2::Validate(QString& message, QWidget*& field) {
    m_nFixPort = m_modeGroup->checkedId();
    return ReadIntInRange(m_cmd, m_nCmdPort, 0, kPortMax, message, field) &&
           ReadIntInRange(m_ai, m_nAiPort, 0, kPortMax, message, field) &&
           ReadIntInRange(m_ao, m_nAoPort, 0, kPortMax, message, field);
}

void CPage2::OnOK() {
    CSysRegInfo reg;
    reg.SetRegInt(kestrona::reg::kFixPort, m_nFixPort);
    reg.SetRegInt(kestrona::reg::kCmdPort, m_nCmdPort);
    reg.SetRegInt(kestrona::reg::kAiPort, m_nAiPort);
    reg.SetRegInt(kestrona::reg::kAoPort, m_nAoPort);
    // Greyed out while a proxy is in use: the stored choice stays for later.
    if (m_mapping->isEnabled()) {
        m_nPortMapping = m_mapping->isChecked() ? 1 : 0;
        reg.SetRegInt(kestrona::kRegPortMapping, m_nPortMapping);
    }
}

void CPage2::ShowMappingState() {
    kestrona::CPortMapping* mapping = nullptr;
    if (CPhoneApp* app = CPhoneApp::Instance()) {
        mapping = app->PortMapping();
    }
    // Until the server has said, nothing is known of incoming calls.
    m_reachState->setText(tr("未知"));
    if (!mapping) {
        m_mappingState->setText(tr("不可用"));
        return;
    }
    m_mappingState->setText(mapping->StateText());
    connect(mapping, &kestrona::CPortMapping::stateChanged, this,
            [this, mapping] { m_mappingState->setText(mapping->StateText()); });
    kestrona::CReachability* reach = CPhoneApp::Instance()->Reachability();
    if (!reach) {
        return;
    }
    m_reachState->setText(reach->StateText());
    connect(reach, &kestrona::CReachability::stateChanged, this,
            [this, reach] { m_reachState->setText(reach->StateText()); });
}

// ---- CPage3: auto-answer ----

CPage3::CPage3(kestrona::SettingsModel* live) : COptionPage(tr("自动应答"), live) {}

void CPage3::OnInitDialog() {
    auto* box = new QGroupBox(tr("自动化"), this);
    m_autoAA = new QCheckBox(tr("自动开启自动应答"), box);
    m_autoAA->setObjectName(QStringLiteral("1032"));
    m_forceBreak = new QCheckBox(tr("录音限制时长"), box);
    m_forceBreak->setObjectName(QStringLiteral("1037"));
    m_wait = Edit(box, 1038);
    m_limit = Edit(box, 1039);
    auto* grid = new QGridLayout(box);
    grid->addWidget(m_autoAA, 0, 0, 1, 3);
    grid->addWidget(Label(box, tr("多少次铃声后自动应答"), m_wait), 1, 0);
    grid->addWidget(m_wait, 1, 1);
    grid->addWidget(new QLabel(tr("秒"), box), 1, 2);
    grid->addWidget(m_forceBreak, 2, 0);
    grid->addWidget(m_limit, 2, 1);
    m_limit->setAccessibleName(m_forceBreak->text());
    grid->addWidget(new QLabel(tr("秒"), box), 2, 2);
    m_notify = new QCheckBox(tr("来电时显示桌面通知"), this);
    m_notify->setObjectName(QStringLiteral("notifications"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(box);
    layout->addWidget(m_notify);
    layout->addStretch();

    CSysRegInfo reg;
    m_nNotifications = reg.GetRegInt(kestrona::kRegNotifications) == 0 ? 0 : 1;
    m_notify->setChecked(m_nNotifications != 0);
    if (int v = reg.GetRegInt(kestrona::reg::kAutoAA); v > 0)
        m_nAutoAA = v;
    if (int v = reg.GetRegInt(kestrona::reg::kForceBreak); v > 0)
        m_nForceBreak = v;
    if (int v = reg.GetRegInt(kestrona::reg::kAATime); v > 0)
        m_nAATime = v;
    if (int v = reg.GetRegInt(kestrona::reg::kAAFBTime); v > 0)
        m_nAAFBTime = v;
    m_wait->setText(QString::number(m_nAATime));
    m_limit->setText(QString::number(m_nAAFBTime));
    m_autoAA->setChecked(m_nAutoAA != 0);
    m_forceBreak->setChecked(m_nForceBreak != 0);
}

bool CPage3::Validate(QString& message, QWidget*& field) {
    if (!ReadInt(m_wait, m_nAATime, message, field))
        return false;
    if (!ReadInt(m_limit, m_nAAFBTime, message, field))
        return false;
    m_nAutoAA = m_autoAA->isChecked() ? 1 : 0;
    m_nForceBreak = m_forceBreak->isChecked() ? 1 : 0;
    m_nNotifications = m_notify->isChecked() ? 1 : 0;
    return true;
}

void CPage3::OnOK() {
    CSysRegInfo reg;
    reg.SetRegInt(kestrona::reg::kAutoAA, m_nAutoAA);
    reg.SetRegInt(kestrona::reg::kForceBreak, m_nForceBreak);
    reg.SetRegInt(kestrona::reg::kAATime, m_nAATime);
    reg.SetRegInt(kestrona::reg::kAAFBTime, m_nAAFBTime);
    reg.SetRegInt(kestrona::kRegNotifications, m_nNotifications);
    if (m_live) {
        m_live->m_nAAFBTime = m_nAAFBTime;
        m_live->m_nAATime = m_nAATime;
        m_live->m_nAutoAA = m_nAutoAA;
        m_live->m_nForceBreak = m_nForceBreak;
        m_live->m_nNotifications = m_nNotifications;
    }
}

// ---- CPage4: quality ----

CPage4::CPage4(kestrona::SettingsModel* live) : COptionPage(tr("质量"), live) {}

void CPage4::OnInitDialog() {
    auto* box = new QGroupBox(tr("带宽保留"), this);
    m_delay = new QComboBox(box);
    m_delay->setObjectName(QStringLiteral("1046"));
    m_delay->addItems({tr("1/4 秒 (更实时)"), tr("1/2 秒"), tr("1 秒"), tr("2 秒"), tr("3 秒"),
                       tr("4 秒"), tr("5 秒(更稳定)")});
    m_delay->setCurrentIndex(-1);
    auto* row = new QHBoxLayout;
    row->addWidget(Label(box, tr("延迟缓冲"), m_delay));
    row->addWidget(m_delay, 1);
    auto* inner = new QVBoxLayout(box);
    inner->addLayout(row);
    inner->addWidget(Note(box, tr("秒数越大，延迟越大但越稳定可靠。推荐使用1/2秒")));
    m_plainCalls = new QCheckBox(tr("只用标准通话（G.729，不加密）"), this);
    m_plainCalls->setObjectName(QStringLiteral("plaincalls"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(box);
    layout->addWidget(m_plainCalls);
    layout->addWidget(Note(this, tr("与我们的电话通话时，不用 Opus 宽带语音和短帧。")));
    layout->addStretch();

    CSysRegInfo reg;
    const int index = reg.GetRegInt(kestrona::reg::kDelayBuffer);
    if (index >= 0)
        m_delay->setCurrentIndex(index < m_delay->count() ? index : -1);
    m_plainCalls->setChecked(reg.GetRegInt(kestrona::kRegPlainCalls) == 1);
}

void CPage4::OnOK() {
    const int index = m_delay->currentIndex();
    CSysRegInfo reg;
    reg.SetRegInt(kestrona::reg::kDelayBuffer, index);
    const int choices = static_cast<int>(std::size(kestrona::kDelayBufferChoicesMs));
    if (m_live && index >= 0 && index < choices)
        m_live->m_nDelayBufferMs = kestrona::kDelayBufferChoicesMs[index];
    const int plain = m_plainCalls->isChecked() ? 1 : 0;
    reg.SetRegInt(kestrona::kRegPlainCalls, plain);
    if (m_live)
        m_live->m_nPlainCalls = plain;
}

// ---- CPage5: about ----

CPage5::CPage5(kestrona::SettingsModel* live) : COptionPage(tr("关于"), live) {}

void CPage5::OnInitDialog() {
    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(kestrona::res::IconPath(kestrona::res::kIconMain)).pixmap(32, 32));
    auto* title = new QLabel(QStringLiteral("Ostravine Kestrona? 2.0.1240"), this);
    auto* notice = Note(this, tr("版权所有 Ostravine 公司。保留所有权利。"));
    auto* address = new QLabel(QString::fromLatin1(kMakerSite), this);
    auto open = [](const char* url) {
        return [url] { QDesktopServices::openUrl(QUrl(QString::fromLatin1(url))); };
    };
    auto* maker = new QPushButton(tr("Ostravine网站"), this);
    maker->setObjectName(QStringLiteral("1045"));
    auto* product = new QPushButton(tr("Kestrona 站点"), this);
    product->setObjectName(QStringLiteral("1043"));
    auto* buy = new QPushButton(tr("在线购买"), this);
    buy->setObjectName(QStringLiteral("1044"));
    buy->setVisible(false);
    connect(maker, &QPushButton::clicked, this, open(kMakerSite));
    connect(product, &QPushButton::clicked, this, open(kProductSite));
    connect(buy, &QPushButton::clicked, this, open(kBuySite));

    auto* head = new QHBoxLayout;
    head->addWidget(icon);
    head->addWidget(title, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(maker);
    buttons->addWidget(product);
    buttons->addWidget(buy);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addWidget(notice);
    layout->addWidget(address);
    layout->addLayout(buttons);
    layout->addStretch();
}

// ---- CPage6: sound ----

CPage6::CPage6(kestrona::SettingsModel* live, std::shared_ptr<kestrona::AudioBackend> backend)
    : COptionPage(tr("声音"), live), m_backend(std::move(backend)) {}

CPage6::~CPage6() {
    // Cancelled: the levels tried out go back to what they were.
    if (IsCreated() && !m_bStored && m_live &&
        (m_live->m_nMicLevel != m_loaded.nMicLevel ||
         m_live->m_nSpeakerLevel != m_loaded.nSpeakerLevel ||
         m_live->m_nRingLevel != m_loaded.nRingLevel)) {
        m_values.nMicLevel = m_loaded.nMicLevel;
        m_values.nSpeakerLevel = m_loaded.nSpeakerLevel;
        m_values.nRingLevel = m_loaded.nRingLevel;
        ShowLevels();
    }
}

QSlider* CPage6::AddLevel(QGridLayout* grid, int row, const QString& name, int most, int value,
                          int kestrona::AudioSettings::*field) {
    auto* parent = grid->parentWidget();
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(0, most);
    slider->setSingleStep(5);
    slider->setPageStep(10);
    slider->setValue(value);
    auto* shown = new QLabel(parent);
    shown->setMinimumWidth(shown->fontMetrics().horizontalAdvance(QStringLiteral("200 %")));
    auto show = [slider, shown, name](int v) {
        const QString percent = QStringLiteral("%1 %").arg(v);
        shown->setText(percent);
        // Read out with the slider's own value.
        slider->setAccessibleName(name);
        slider->setAccessibleDescription(percent);
    };
    show(value);
    connect(slider, &QSlider::valueChanged, this, [this, field, show](int v) {
        show(v);
        m_values.*field = v;
        ShowLevels();
    });
    grid->addWidget(Label(parent, name, slider), row, 0);
    grid->addWidget(slider, row, 1);
    grid->addWidget(shown, row, 2);
    return slider;
}

void CPage6::ShowLevels() {
    if (!m_live)
        return;
    m_live->m_nMicLevel = m_values.nMicLevel;
    m_live->m_nSpeakerLevel = m_values.nSpeakerLevel;
    m_live->m_nRingLevel = m_values.nRingLevel;
    emit levelsChanged();
}

void CPage6::OnInitDialog() {
    auto* devices = new QGroupBox(tr("声音设备"), this);
    m_input = new QComboBox(devices);
    m_input->setObjectName(QStringLiteral("input"));
    m_output = new QComboBox(devices);
    m_output->setObjectName(QStringLiteral("output"));
    m_test = new QPushButton(tr("测试"), devices);
    m_test->setObjectName(QStringLiteral("test"));
    m_status = new QLabel(devices);
    auto* grid = new QGridLayout(devices);
    grid->addWidget(Label(devices, tr("麦克风"), m_input), 0, 0);
    grid->addWidget(m_input, 0, 1, 1, 2);
    grid->addWidget(Label(devices, tr("扬声器"), m_output), 1, 0);
    grid->addWidget(m_output, 1, 1);
    grid->addWidget(m_test, 1, 2);
    grid->addWidget(m_status, 2, 1, 1, 2);
    grid->setColumnStretch(1, 1);

    auto* echo = new QGroupBox(tr("回声消除"), this);
    m_echo = new QCheckBox(tr("启用回声消除（不使用耳机时推荐）"), echo);
    m_echo->setObjectName(QStringLiteral("echo"));
    auto* echoLayout = new QVBoxLayout(echo);
    echoLayout->addWidget(m_echo);

    if (!m_backend)
        m_backend = kestrona::ProcessAudioBackend();
    kestrona::LoadAudioSettings(CSysRegInfo(), m_values);
    m_loaded = m_values;

    auto* levels = new QGroupBox(tr("音量"), this);
    auto* levelGrid = new QGridLayout(levels);
    m_micLevel = AddLevel(levelGrid, 0, tr("麦克风音量"), kestrona::kMaxCallLevel,
                          m_values.nMicLevel, &kestrona::AudioSettings::nMicLevel);
    m_micLevel->setObjectName(QStringLiteral("micLevel"));
    m_speakerLevel = AddLevel(levelGrid, 1, tr("扬声器音量"), kestrona::kMaxCallLevel,
                              m_values.nSpeakerLevel, &kestrona::AudioSettings::nSpeakerLevel);
    m_speakerLevel->setObjectName(QStringLiteral("speakerLevel"));
    m_ringLevel = AddLevel(levelGrid, 2, tr("铃声音量"), kestrona::kMaxRingLevel,
                           m_values.nRingLevel, &kestrona::AudioSettings::nRingLevel);
    m_ringLevel->setObjectName(QStringLiteral("ringLevel"));
    levelGrid->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(devices);
    layout->addWidget(levels);
    layout->addWidget(echo);
    layout->addWidget(Note(this, tr("更换的设备从下一次通话起生效")));
    layout->addStretch();
    connect(m_test, &QPushButton::clicked, this, &CPage6::PlayTestSound);

    m_loadedEcho = m_values.nEchoCancel;
    m_echo->setChecked(m_values.nEchoCancel != 0);
    Fill(m_input, {}, m_values.strWaveIn);
    Fill(m_output, {}, m_values.strWaveOut);

    // The lists arrive on the application's thread, for the page if it is
    // still open; the page never waits for them.
    QPointer<CPage6> page(this);
    kestrona::BackgroundWork::Process().Run([page, backend = m_backend] {
        auto inputs = backend->ListDevices(kestrona::AudioDirection::kInput);
        auto outputs = backend->ListDevices(kestrona::AudioDirection::kOutput);
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [page, inputs = std::move(inputs), outputs = std::move(outputs)] {
                    if (page)
                        page->ShowDevices(inputs, outputs);
                },
                Qt::QueuedConnection);
    });
}

void CPage6::ShowDevices(const std::vector<kestrona::AudioDeviceInfo>& inputs,
                         const std::vector<kestrona::AudioDeviceInfo>& outputs) {
    // Keep what the user may have picked meanwhile.
    Fill(m_input, inputs, ChosenId(m_input));
    Fill(m_output, outputs, ChosenId(m_output));
    m_listed = true;
}

void CPage6::Fill(QComboBox* box, const std::vector<kestrona::AudioDeviceInfo>& devices,
                  const std::string& chosen) {
    box->clear();
    box->addItem(tr("系统默认设备"), QString());
    int selected = 0;
    for (const auto& d : devices) {
        if (d.id.empty())
            continue;
        box->addItem(QString::fromStdString(d.name.empty() ? d.id : d.name),
                     QString::fromStdString(d.id));
        if (d.id == chosen)
            selected = box->count() - 1;
    }
    if (!chosen.empty() && selected == 0) {
        // Kept, not present now: still the choice until another is made.
        box->addItem(QString::fromStdString(chosen) + tr("（未连接）"),
                     QString::fromStdString(chosen));
        selected = box->count() - 1;
    }
    box->setCurrentIndex(selected);
}

std::string CPage6::ChosenId(const QComboBox* box) {
    return box->currentData().toString().toStdString();
}

void CPage6::PlayTestSound() {
    if (!m_testSound)
        m_testSound = std::make_unique<kestrona::TestSound>();
    m_status->clear();
    QPointer<CPage6> page(this);
    m_testSound->Play(m_backend, ChosenId(m_output), [page](bool ok, const std::string& why) {
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [page, ok, why] {
                    if (page)
                        page->ShowTestSound(ok, why);
                },
                Qt::QueuedConnection);
    });
}

void CPage6::ShowTestSound(bool ok, const std::string& why) {
    ++m_testAnswers;
    if (ok) {
        m_status->clear();
    } else {
        m_status->setText(tr("无法打开该扬声器"));
        m_status->setToolTip(QString::fromStdString(why));
    }
}

bool CPage6::Validate(QString&, QWidget*&) {
    m_values.strWaveIn = ChosenId(m_input);
    m_values.strWaveOut = ChosenId(m_output);
    // Left automatic unless the user turns it off (or had set it before).
    const int echo = m_echo->isChecked() ? 1 : 0;
    m_values.nEchoCancel = m_loadedEcho == -1 && echo == 1 ? -1 : echo;
    return true;
}

void CPage6::OnOK() {
    if (m_testSound)
        m_testSound->Stop();
    CSysRegInfo reg;
    kestrona::StoreAudioSettings(reg, m_values);
    m_bStored = true;
    // Rings and test sounds follow the choice at once; calls take it at
    // their set-up.
    m_backend->SelectDevice(kestrona::AudioDirection::kInput, m_values.strWaveIn);
    m_backend->SelectDevice(kestrona::AudioDirection::kOutput, m_values.strWaveOut);
    if (m_live) {
        m_live->m_strWaveIn = m_values.strWaveIn;
        m_live->m_strWaveOut = m_values.strWaveOut;
        m_live->m_nEchoCancel = m_values.nEchoCancel;
    }
}

// ---- CPage7: general ----

namespace {
// The languages offered, in the order of the list; the first follows the
// desktop's locale.
const char* const kLanguageCodes[] = {"", "zh", "en"};
// The encryption choices, in the order of the list.
constexpr kestrona::Encryption kEncryptionChoices[] = {
    kestrona::Encryption::kPreferred, kestrona::Encryption::kRequired, kestrona::Encryption::kOff};
}  // namespace

CPage7::CPage7(kestrona::SettingsModel* live) : COptionPage(tr("常规"), live) {}

void CPage7::OnInitDialog() {
    auto* server = new QGroupBox(tr("目录服务器"), this);
    m_host = new QLineEdit(server);
    m_host->setObjectName(QStringLiteral("host"));
    m_port = new QLineEdit(server);
    m_port->setObjectName(QStringLiteral("hostport"));
    auto* grid = new QGridLayout(server);
    grid->addWidget(Label(server, tr("地址"), m_host), 0, 0);
    grid->addWidget(m_host, 0, 1);
    grid->addWidget(Label(server, tr("端口"), m_port), 0, 2);
    grid->addWidget(m_port, 0, 3);
    m_tls = new QCheckBox(tr("通过TLS加密连接服务器"), server);
    m_tls->setObjectName(QStringLiteral("hosttls"));
    grid->addWidget(m_tls, 1, 0, 1, 4);
    m_tlsPin = new QLineEdit(server);
    m_tlsPin->setObjectName(QStringLiteral("hosttlspin"));
    m_tlsPin->setPlaceholderText(tr("可选，不填则由系统信任的证书机构验证"));
    grid->addWidget(Label(server, tr("证书指纹(SHA-256)"), m_tlsPin), 2, 0);
    grid->addWidget(m_tlsPin, 2, 1, 1, 3);
    grid->setColumnStretch(1, 1);
    connect(m_tls, &QCheckBox::toggled, m_tlsPin, &QWidget::setEnabled);

    auto* language = new QGroupBox(tr("界面语言"), this);
    m_language = new QComboBox(language);
    m_language->setObjectName(QStringLiteral("language"));
    // Each language by its own name, so that a user who cannot read the
    // current one still finds theirs.
    m_language->addItems({tr("自动"), QStringLiteral("中文"), QStringLiteral("English")});
    auto* row = new QHBoxLayout(language);
    row->addWidget(Label(language, tr("语言"), m_language));
    row->addWidget(m_language, 1);

    auto* privacy = new QGroupBox(tr("通话加密"), this);
    m_encryptionChoice = new QComboBox(privacy);
    m_encryptionChoice->setObjectName(QStringLiteral("encryption"));
    m_encryptionChoice->addItems({tr("尽量加密（推荐）"), tr("必须加密"), tr("不加密")});
    auto* privacyRows = new QVBoxLayout(privacy);
    auto* choiceRow = new QHBoxLayout;
    choiceRow->addWidget(Label(privacy, tr("加密"), m_encryptionChoice));
    choiceRow->addWidget(m_encryptionChoice, 1);
    privacyRows->addLayout(choiceRow);
    privacyRows->addWidget(Note(privacy, tr("从下一次通话起生效。")));

    auto* presence = new QGroupBox(tr("在线状态"), this);
    m_appearOffline = new QCheckBox(tr("对他人显示为离线（仍可接听来电）"), presence);
    m_appearOffline->setObjectName(QStringLiteral("appearoffline"));
    auto* presenceRows = new QVBoxLayout(presence);
    presenceRows->addWidget(m_appearOffline);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addWidget(language);
    layout->addWidget(Note(this, PageText(kRestartNote)));
    layout->addWidget(privacy);
    layout->addWidget(presence);
    layout->addStretch();

    CSysRegInfo reg;
    reg.GetRegValue(kestrona::reg::kHost, m_strHost);
    m_nHostPort = reg.GetRegInt(kestrona::reg::kHostPort);
    m_bTls = reg.GetRegInt(kestrona::reg::kHostTls) == 1;
    reg.GetRegValue(kestrona::reg::kHostTlsPin, m_strTlsPin);
    reg.GetRegValue(kestrona::reg::kLanguage, m_strLanguage);
    m_host->setText(QString::fromStdString(m_strHost));
    m_port->setText(m_nHostPort > 0 ? QString::number(m_nHostPort) : QString());
    m_bLoadedTls = m_bTls;
    m_strLoadedPin = m_strTlsPin;
    m_tls->setChecked(m_bTls);
    m_tlsPin->setText(QString::fromStdString(m_strTlsPin));
    m_tlsPin->setEnabled(m_bTls);
    int index = 0;
    for (int i = 1; i < 3; ++i) {
        if (m_strLanguage.rfind(kLanguageCodes[i], 0) == 0)
            index = i;
    }
    m_language->setCurrentIndex(index);
    m_bAppearOffline = reg.GetRegInt(kestrona::kRegAppearOffline) == 1;
    m_bLoadedAppearOffline = m_bAppearOffline;
    m_appearOffline->setChecked(m_bAppearOffline);
    m_encryption = kestrona::LoadEncryption(reg);
    for (int i = 0; i < static_cast<int>(std::size(kEncryptionChoices)); ++i) {
        if (kEncryptionChoices[i] == m_encryption)
            m_encryptionChoice->setCurrentIndex(i);
    }
}

bool CPage7::Validate(QString& message, QWidget*& field) {
    // Empty fields store nothing: the site's or the first start's value
    // stays. What is typed must be a host and a port.
    const QString host = m_host->text().trimmed();
    if (host.contains(QLatin1Char(' '))) {
        message = tr("请输入目录服务器的地址。");
        field = m_host;
        return false;
    }
    m_host->setText(host);
    std::string text;
    if (!ReadText(m_host, static_cast<int>(CSysRegInfo::kRegReadCap) - 1, text, message, field))
        return false;
    int port = 0;
    if (!m_port->text().trimmed().isEmpty() &&
        !ReadIntInRange(m_port, port, 1, 65535, message, field))
        return false;
    const std::optional<QByteArray> pin =
        kestrona::ParseCertificatePin(m_tlsPin->text().trimmed().toStdString());
    if (!pin) {
        message = tr("请输入服务器证书的SHA-256指纹：64位十六进制数字，可用冒号分隔。");
        field = m_tlsPin;
        return false;
    }
    m_strHost = text;
    m_nHostPort = port;
    m_bTls = m_tls->isChecked();
    m_strTlsPin = kestrona::PinText(*pin);
    m_strLanguage = kLanguageCodes[std::max(0, m_language->currentIndex())];
    m_encryption = kEncryptionChoices[std::max(0, m_encryptionChoice->currentIndex())];
    m_bAppearOffline = m_appearOffline->isChecked();
    return true;
}

void CPage7::OnOK() {
    CSysRegInfo reg;
    if (!m_strHost.empty())
        reg.SetRegValue(kestrona::reg::kHost, m_strHost.c_str());
    if (m_nHostPort > 0)
        reg.SetRegInt(kestrona::reg::kHostPort, m_nHostPort);
    if (m_bTls != m_bLoadedTls)
        reg.SetRegInt(kestrona::reg::kHostTls, m_bTls ? 1 : 0);
    if (m_strTlsPin != m_strLoadedPin)
        reg.SetRegValue(kestrona::reg::kHostTlsPin, m_strTlsPin.c_str());
    // Automatic: no value of the user's own, so the site's or the locale
    // decides.
    if (m_strLanguage.empty())
        reg.DeleteKey(kestrona::reg::kLanguage);
    else
        reg.SetRegValue(kestrona::reg::kLanguage, m_strLanguage.c_str());
    kestrona::StoreEncryption(reg, m_encryption);
    if (m_bAppearOffline != m_bLoadedAppearOffline)
        reg.SetRegInt(kestrona::kRegAppearOffline, m_bAppearOffline ? 1 : 0);
    if (m_live) {
        m_live->m_encryption = m_encryption;
        m_live->m_nAppearOffline = m_bAppearOffline ? 1 : 0;
    }
    // The running phone's session changes at once.
    if (CPhoneApp* app = CPhoneApp::Instance(); app && app->Presence())
        app->Presence()->SetAppearOffline(m_bAppearOffline);
}
