#include "ui/skin_face.h"

#include <QApplication>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QTime>
#include <QWindow>

#include "res/resource_ids.h"
#include "res/strings.h"
#include "ui/fly_btn.h"
#include "ui/skin_accessible.h"
#include "ui/skin_images.h"
#include "ui/tray.h"

namespace kestrona {

const std::array<KeyPlace, 20> kKeyPlaces = {{
    {105, 75},  {137, 75},  {169, 75},  {201, 75},  {233, 75},  {265, 75},  {105, 115},
    {137, 115}, {169, 115}, {105, 145}, {137, 145}, {169, 145}, {105, 175}, {137, 175},
    {169, 175}, {201, 115}, {201, 145}, {265, 115}, {265, 145}, {265, 175},
}};

namespace {

constexpr QSize kKeySize(28, 24);
const QColor kLight(186, 149, 87);
const QColor kDark(84, 61, 18);
constexpr QRgb kMagenta = 0xFF00FF;

}  // namespace

QFont DisplayFont() {
    // The desktop's default font at the size the display was laid out for.
    QFont font = QApplication::font();
    font.setPixelSize(12);
    return font;
}

QRegion SkinRegion(const QImage& skin) {
    // Same outline as taking every exactly white pixel out of the full
    // rectangle, built from the runs of kept pixels row by row (far fewer
    // region operations than one per pixel).
    const QImage img = skin.convertToFormat(QImage::Format_RGB32);
    QRegion region;
    for (int y = 0; y < img.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        int x = 0;
        while (x < img.width()) {
            while (x < img.width() && (line[x] & 0xFFFFFF) == 0xFFFFFF) ++x;
            const int start = x;
            while (x < img.width() && (line[x] & 0xFFFFFF) != 0xFFFFFF) ++x;
            if (x > start)
                region += QRect(start, y, x - start, 1);
        }
    }
    return region;
}

CSkinFace::CSkinFace(QWidget* parent) : QWidget(parent) {
    m_skin = QImage(res::BitmapPath(res::kBmpSkin)).convertToFormat(QImage::Format_RGB32);
    m_region = SkinRegion(m_skin);
    const QString big =
        res::BitmapPath(res::kBmpSkin).replace(QStringLiteral(".png"), QStringLiteral("@2x.png"));
    m_skin2x = QImage(big);
    if (m_skin2x.size() == m_skin.size() * 2) {
        m_skin2x.setDevicePixelRatio(2.0);
    } else {
        m_skin2x = QImage();
    }
    setFixedSize(m_skin.size());
    setAttribute(Qt::WA_OpaquePaintEvent);
    for (int i = 0; i < res::kKeyCount; ++i) {
        const auto images = ImageList::FromFile(res::BitmapPath(res::kBmpKeyFirst + i), kKeySize,
                                                QColor::fromRgb(kMagenta));
        auto* key = new CFlyBtn;
        const KeyPlace p = kKeyPlaces[static_cast<size_t>(i)];
        key->Create(ResString(res::kStrFirstTip + i), QRect(QPoint(p.x, p.y), kKeySize), this,
                    images, true, static_cast<unsigned>(res::kCmdFirstKey + i));
        m_keys[static_cast<size_t>(i)] = key;
    }
    m_keys[static_cast<size_t>(res::kCmdAutoAnswer - res::kCmdFirstKey)]->SetCheckable(true);
    InstallSkinAccessibility();
    const std::pair<QRect, QString> fields[] = {
        {DisplayPlaces::kLocalAddress, tr("本机地址")},
        {DisplayPlaces::kPeer, tr("对方")},
        {DisplayPlaces::kStatus, tr("通话状态")},
        {DisplayPlaces::kTime, tr("时间")},
    };
    for (size_t i = 0; i < m_fields.size(); ++i) {
        m_fields[i] = new CDisplayField(fields[i].second, this);
        m_fields[i]->setGeometry(fields[i].first);
        m_fields[i]->stackUnder(m_keys[0]);  // below the keys, in reading order
    }
    if (!CommandTarget())
        SetCommandTarget(this);
}

CSkinFace::~CSkinFace() {
    if (CommandTarget() == this)
        SetCommandTarget(nullptr);
}

void CSkinFace::SetCommandHandler(std::function<void(int)> handler) {
    m_handler = std::move(handler);
}

CFlyBtn* CSkinFace::Key(int command) const {
    if (command < res::kCmdFirstKey || command >= res::kCmdFirstKey + res::kKeyCount)
        return nullptr;
    return m_keys[static_cast<size_t>(command - res::kCmdFirstKey)];
}

void CSkinFace::EnableKey(int command, bool enabled) {
    if (CFlyBtn* k = Key(command))
        k->EnableWindow(enabled);
}
bool CSkinFace::IsKeyEnabled(int command) const {
    const CFlyBtn* k = Key(command);
    return k && k->IsKeyEnabled();
}
void CSkinFace::FlashKey(int command, bool flashing) {
    if (CFlyBtn* k = Key(command))
        k->FlashBtn(flashing);
}
bool CSkinFace::IsKeyFlashing(int command) const {
    const CFlyBtn* k = Key(command);
    return k && k->IsFlashing();
}
void CSkinFace::CheckKey(int command, bool checked) {
    if (CFlyBtn* k = Key(command))
        k->CheckBtn(checked);
}
bool CSkinFace::IsKeyChecked(int command) const {
    const CFlyBtn* k = Key(command);
    return k && k->IsChecked();
}

void CSkinFace::SetDisplay(const DisplayTexts& texts) {
    m_texts = texts;
    // The state and the other party are announced when they change; the
    // clock and the own address are there to be read, not spoken each second.
    m_fields[0]->SetText(texts.localAddress, false);
    m_fields[1]->SetText(texts.peer, true);
    m_fields[2]->SetText(texts.status, true);
    m_fields[3]->SetText(texts.time, false);
    update(kDisplayArea);
}

bool CSkinFace::event(QEvent* e) {
    if (e->type() == CommandEvent::EventType()) {
        if (m_handler)
            m_handler(static_cast<int>(static_cast<CommandEvent*>(e)->Id()));
        return true;
    }
    return QWidget::event(e);
}

void CSkinFace::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    // A translucent window shows whatever is painted: nothing outside the
    // outline.
    if (window()->testAttribute(Qt::WA_TranslucentBackground)) {
        p.setClipRegion(m_region);
    }
    // The outline is the small skin's; the large one only paints it finer.
    if (!m_skin2x.isNull() && p.device()->devicePixelRatioF() > 1.0) {
        p.drawImage(0, 0, m_skin2x);
    } else {
        p.drawImage(0, 0, m_skin);
    }
    DrawDisplay(p);
}

void CSkinFace::DrawDisplay(QPainter& p) const {
    p.save();
    p.setFont(DisplayFont());
    const int ascent = p.fontMetrics().ascent();
    // Positions are the top-left corners of the texts.
    auto text = [&](int x, int y, const QString& s) { p.drawText(x, y + ascent, s); };
    if (!m_texts.peer.isEmpty()) {
        p.setPen(kLight);
        text(111, 39, m_texts.peer);
        p.setPen(kDark);
        text(110, 38, m_texts.peer);
    }
    // A state line longer than its place beside the time (a notice, a mark)
    // takes the whole line: texts drawn over each other read as neither.
    constexpr int kStatusX = 110, kTimeX = 240, kGap = 4;
    const bool timeFits =
        p.fontMetrics().horizontalAdvance(m_texts.status) <= kTimeX - kStatusX - kGap;
    p.setPen(kLight);
    text(111, 25, m_texts.localAddress);
    text(kStatusX + 1, 54, m_texts.status);
    if (timeFits)
        text(kTimeX + 1, 54, m_texts.time);
    p.setPen(kDark);
    text(110, 24, m_texts.localAddress);
    text(kStatusX, 53, m_texts.status);
    if (timeFits)
        text(kTimeX, 53, m_texts.time);
    p.restore();
}

QImage CSkinFace::Render() {
    return grab().toImage();
}

void CSkinFace::ApplyRegion() {
    setMask(m_region);
    QWidget* top = window();
    if (top != this && top->size() == size() && mapTo(top, QPoint(0, 0)) == QPoint(0, 0)) {
        top->setMask(m_region);
    }
}

void CSkinFace::showEvent(QShowEvent* e) {
    ApplyRegion();
    QWidget::showEvent(e);
}

void CSkinFace::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::RightButton) {
        const QPoint at = e->globalPosition().toPoint();
        if (onWindowMenu) {
            onWindowMenu(at);
            return;
        }
        const int command = ExecPopupMenu(kWindowPopup, at);
        if (command == res::kCmdHide) {
            if (onHide) {
                onHide();
            } else {
                HideWindow(window(), TrayAvailable());
            }
        } else if (command == res::kCmdHelp) {
            OpenHelpFile(window());
        } else if (command != 0 && m_handler) {
            m_handler(command);
        }
        return;
    }
    if (e->button() != Qt::LeftButton)
        return;
    // Let the window system move the window while the button is held; where
    // it can't, follow the pointer ourselves.
    QWindow* handle = window()->windowHandle();
    if (handle && handle->startSystemMove())
        return;
    m_dragging = true;
    m_dragOffset = e->globalPosition().toPoint() - window()->frameGeometry().topLeft();
}

void CSkinFace::mouseMoveEvent(QMouseEvent* e) {
    if (m_dragging)
        window()->move(e->globalPosition().toPoint() - m_dragOffset);
}

void CSkinFace::mouseReleaseEvent(QMouseEvent*) {
    m_dragging = false;
}

void CSkinFace::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton)
        return;
    m_dragging = false;
    if (onHide) {
        onHide();
    } else {
        HideWindow(window(), TrayAvailable());
    }
}

}  // namespace kestrona
