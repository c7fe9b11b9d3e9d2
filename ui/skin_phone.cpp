#include "ui/skin_phone.h"

#include <QGuiApplication>
#include <QIcon>

#include "app/call_controller.h"
#include "app/phone_app.h"
#include "res/resource_ids.h"
#include "ui/call_log_dlg.h"
#include "ui/fly_btn.h"
#include "ui/option_sheet.h"
#include "ui/phone_book_dlg.h"
#include "ui/skin_face.h"
#include "ui/tray.h"

namespace kestrona {

std::unique_ptr<CPhoneDlg> MakeSkinnedPhone(CCallController& controller, SettingsModel& model,
                                            PresenceSource* presence) {
    auto* face = new CSkinFace;
    auto phone = std::make_unique<CPhoneDlg>(controller, face);
    CPhoneDlg* dlg = phone.get();
    // No caption or border: the skin is the whole window and the face moves it.
    dlg->setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    dlg->setFixedSize(face->size());
    // A Wayland compositor takes the mask only as the input region and
    // draws the whole surface: the skin's outside must be transparent
    // itself. Under X11 the mask shapes the window, with or without a
    // compositor, as before.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        dlg->setAttribute(Qt::WA_TranslucentBackground);
    }
    dlg->setWindowIcon(QIcon(res::IconPath(res::kIconMain)));
    SetCommandTarget(face);

    // The files live where the call services keep them (the current
    // directory unless told otherwise).
    const std::filesystem::path root = controller.Services().FilesRoot();
    auto* tray = new CPhoneTray(dlg, std::nullopt, dlg);
    tray->SetBookRoot(root);
    tray->SetCommandHandler([&controller](int command) { controller.OnCommand(command); });
    // Where the desktop's notification service shows the call itself (or the
    // user switched call notifications off), the plain notice stays away.
    tray->notify = [plain = tray->notify](const QString& title, const QString& text) {
        const CPhoneApp* app = CPhoneApp::Instance();
        if (plain && (!app || app->WantsPlainCallNotice())) {
            plain(title, text);
        }
    };
    tray->AddTrayIcon();
    face->onHide = [dlg, tray] { HideWindow(dlg, tray->HasTray()); };
    face->onWindowMenu = [tray](QPoint at) {
        if (const int command = ExecPopupMenu(kWindowPopup, at, !tray->HasTray())) {
            tray->HandleCommand(command);
        }
    };

    PhoneWindowHooks hooks;
    hooks.phoneBook = [root, presence](int32_t& number, QString& name) {
        CPhoneBookDlg book(nullptr, root, presence);
        const int result = book.exec();
        if (result == CPhoneBookDlg::kResultCall) {
            number = book.m_selectedNumber;
            name = book.m_selectedName;
        }
        return result;
    };
    hooks.callLog = [root, presence](int type, int32_t& number) {
        CCallLogDlg log(type, nullptr, root, presence);
        const int result = log.exec();
        if (result == 1)
            number = log.m_selectedNumber;
        return result;
    };
    hooks.options = [&model, &controller] {
        COptionSheet sheet(&model);
        // Levels tried out on the sound page are heard in the call at once.
        QObject::connect(&sheet.m_page6, &CPage6::levelsChanged, &controller,
                         &CCallController::OnLevelsChanged);
        sheet.exec();
    };
    hooks.flashTray = [tray](bool on, int32_t peerNumber) { tray->FlashTray(on, peerNumber); };
    dlg->SetHooks(std::move(hooks));
    return phone;
}

}  // namespace kestrona
