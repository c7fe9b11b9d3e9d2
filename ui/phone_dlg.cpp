#include "ui/phone_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "app/message_box.h"
#include "app/phone_app.h"

using namespace kestrona;

CPhoneDlg::CPhoneDlg(CCallController& controller, IPhoneFace* face, QWidget* parent)
    : QDialog(parent), m_controller(controller) {
    setWindowTitle(QStringLiteral("Ostravine Kestrona"));
    if (!face) {
        face = new CPhoneFace(this);
    }
    m_face = face;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_face->Widget());
    m_face->SetCommandHandler([this](int command) { m_controller.OnCommand(command); });
    m_controller.SetView(this);
    qApp->installEventFilter(this);
}

CPhoneDlg::~CPhoneDlg() {
    qApp->removeEventFilter(this);
    m_controller.SetView(nullptr);
}

// ---- what the controller shows ----

void CPhoneDlg::ShowDisplay(const DisplayTexts& texts) {
    m_face->SetDisplay(texts);
}

void CPhoneDlg::ShowKey(int command, const KeyLook& look) {
    m_face->EnableKey(command, look.enabled);
    m_face->FlashKey(command, look.enabled && look.flashing);
    m_face->CheckKey(command, look.checked);
}

void CPhoneDlg::ShowTrayFlash(bool on, int32_t peerNumber) {
    if (m_hooks.flashTray) {
        m_hooks.flashTray(on, peerNumber);
    }
}

void CPhoneDlg::ShowMessage(const QString& text) {
    ShowMessageText(text, this);
}

int CPhoneDlg::RunPhoneBook(int32_t& number, QString& name) {
    return m_hooks.phoneBook ? m_hooks.phoneBook(number, name) : 0;
}

int CPhoneDlg::RunCallLog(int type, int32_t& number) {
    return m_hooks.callLog ? m_hooks.callLog(type, number) : 0;
}

void CPhoneDlg::RunOptions() {
    if (m_hooks.options) {
        m_hooks.options();
    }
}

void CPhoneDlg::Exit() {
    done(1);
    if (CPhoneApp* app = CPhoneApp::Instance()) {
        app->EndMessageLoop();
    } else {
        QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit));
    }
}

// ---- window ----

void CPhoneDlg::ShowAndRaise() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void CPhoneDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            m_controller.OnCallKey();
            return;
        case Qt::Key_Escape:
            m_controller.OnHangUp();
            return;
        case Qt::Key_M:
            m_controller.OnMute();
            return;
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            m_controller.StepSpeakerLevel(1);
            return;
        case Qt::Key_Minus:
            m_controller.StepSpeakerLevel(-1);
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CPhoneDlg::closeEvent(QCloseEvent* event) {
    // Closing the window is the hang-up key; the phone stays.
    event->ignore();
    m_controller.OnHangUp();
}

void CPhoneDlg::reject() {
    m_controller.OnHangUp();
}

void CPhoneDlg::accept() {
    m_controller.OnCallKey();
}

bool CPhoneDlg::eventFilter(QObject* watched, QEvent* event) {
    // Digits typed anywhere in the program's own (non-modal) windows dial,
    // whatever the state; Backspace clears and then goes on as usual.
    if (event->type() != QEvent::KeyPress || QApplication::activeModalWidget() ||
        !watched->isWidgetType()) {
        return QDialog::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Backspace) {
        m_controller.OnClear();
        return false;
    }
    if (key->key() >= Qt::Key_0 && key->key() <= Qt::Key_9) {
        m_controller.OnDigit(KeyboardDigitCommand(key->key() - Qt::Key_0));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
