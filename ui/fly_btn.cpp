#include "ui/fly_btn.h"

#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QToolTip>

#include "ui/tip_wnd.h"

namespace kestrona {
namespace {
QPointer<QObject>& TargetSlot() {
    static QPointer<QObject> target;
    return target;
}
}  // namespace

QEvent::Type CommandEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void SetCommandTarget(QObject* target) {
    TargetSlot() = target;
}
QObject* CommandTarget() {
    return TargetSlot().data();
}

void SendCommand(unsigned int id, QObject* fallback) {
    QObject* target = CommandTarget();
    if (!target)
        target = fallback;
    if (!target)
        return;
    CommandEvent event(id);
    QCoreApplication::sendEvent(target, &event);
}

}  // namespace kestrona

CFlyBtn::CFlyBtn() = default;

CFlyBtn::~CFlyBtn() {
    Capture(false);
    delete m_pTip.data();  // a pop-up of the phone window, not one of our children
}

bool CFlyBtn::Create(const QString& text, const QRect& rect, QWidget* parent,
                     const kestrona::ImageList& images, bool fillBack, unsigned int id) {
    m_images = images;
    m_rect = rect;
    m_pParent = parent;
    m_nCommandID = id;
    m_bFillBack = fillBack;
    delete m_pTip.data();
    m_pTip = nullptr;
    if (!text.isEmpty()) {
        m_pTip = new CTipWnd;
        const QPalette pal = QToolTip::palette();
        m_pTip->Create(text, pal.color(QPalette::ToolTipText), pal.color(QPalette::ToolTipBase),
                       parent);
    }
    setParent(parent);
    setGeometry(rect);
    // No double-click: a second quick press is an ordinary press.
    setAttribute(Qt::WA_Hover, false);
    // The key lights up and starts its tip delay on a plain pointer move;
    // without tracking only moves with a button held would arrive.
    setMouseTracking(true);
    // Reached with Tab, never by a click: the mouse works as it always did.
    setFocusPolicy(Qt::TabFocus);
    if (parent && parent->window())
        parent->window()->installEventFilter(this);
    m_bTracking = false;
    m_nImage = 0;
    m_bEnabled = true;
    m_bPressed = false;
    show();
    return true;
}

void CFlyBtn::Capture(bool on) {
    if (on == m_bCaptured)
        return;
    m_bCaptured = on;
    if (on) {
        grabMouse();
    } else if (QWidget::mouseGrabber() == this) {
        releaseMouse();
    }
}

void CFlyBtn::Redraw(bool) {
    // Qt repaints the whole key each time; the parent's skin shows through
    // wherever the key does not paint, so "erasing" needs nothing extra.
    update();
}

void CFlyBtn::StopTimer(int id) {
    switch (id) {
        case kTimerTipDelay:
            m_tipDelay.stop();
            break;
        case kTimerTipTime:
            m_tipTime.stop();
            break;
        case kTimerFlash:
            m_flash.stop();
            break;
        default:
            break;
    }
}

bool CFlyBtn::IsTimerActive(int id) const {
    switch (id) {
        case kTimerTipDelay:
            return m_tipDelay.isActive();
        case kTimerTipTime:
            return m_tipTime.isActive();
        case kTimerFlash:
            return m_flash.isActive();
        default:
            return false;
    }
}

void CFlyBtn::Paint(QPainter& p) const {
    if (m_bFillBack) {
        p.fillRect(QRect(0, 0, m_rect.width(), m_rect.height()), palette().color(QPalette::Button));
    }
    if (m_bChecked) {
        m_images.Draw(p, 2, QPoint(0, 0));
    } else if (m_bEnabled) {
        m_images.Draw(p, m_nImage, QPoint(0, 0));
    } else {
        m_images.Draw(p, m_nImage, QPoint(0, 0), kestrona::ImageList::Style::kBlend25,
                      palette().color(QPalette::Highlight));
    }
}

QImage CFlyBtn::RenderFace() const {
    QImage img(m_rect.size(), QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    Paint(p);
    return img;
}

void CFlyBtn::paintEvent(QPaintEvent*) {
    QPainter p(this);
    Paint(p);
    if (hasFocus()) {
        // The keyboard's place: a frame in the desktop's selection colour.
        p.setPen(QPen(palette().color(QPalette::Highlight), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
    }
}

QString CFlyBtn::Text() const {
    return m_pTip ? m_pTip->Text() : QString();
}

bool CFlyBtn::Click() {
    if (!m_bEnabled)
        return false;
    kestrona::SendCommand(m_nCommandID, window());
    return true;
}

void CFlyBtn::OnMouseMove(QPoint point) {
    if (!m_bEnabled)
        return;
    if (!m_bTracking) {
        Capture(true);
        m_bTracking = true;
        m_nImage = 1;
        Redraw(false);
        m_tipDelay.start(kTipDelayMs, this);
        return;
    }
    if (rect().contains(point)) {
        m_nImage = 1;
        return;
    }
    m_nImage = 0;
    Redraw(true);
    if (m_pTip)
        m_pTip->ShowTip(false);
    m_tipDelay.stop();
    Capture(false);
    m_bTracking = false;
}

void CFlyBtn::OnLButtonDown(QPoint) {
    if (!m_bEnabled)
        return;
    m_bPressed = true;
    if (m_pTip)
        m_pTip->ShowTip(false);
    m_tipDelay.stop();
    m_nImage = 2;
    Redraw(false);
}

void CFlyBtn::OnLButtonUp(QPoint point) {
    if (!m_bEnabled || !m_bPressed)
        return;
    m_bPressed = false;
    Capture(false);
    m_tipDelay.stop();
    m_nImage = 0;
    Redraw(false);
    m_bTracking = false;
    if (m_pTip)
        m_pTip->ShowTip(false);
    // Qt delivers the release to the pressed key wherever it happens; only a
    // release over the key is a click.
    if (!rect().contains(point))
        return;
    const unsigned int id = m_nCommandID;
    QPointer<CFlyBtn> self(this);
    kestrona::SendCommand(id, window());
    if (!self)
        return;  // the command may have closed the window
    emit commandSent(id);
    Redraw(false);
}

void CFlyBtn::OnTimer(int id) {
    switch (id) {
        case kTimerTipDelay:
            m_tipDelay.stop();
            if (m_pTip) {
                m_pTip->ShowTip(true);
                m_tipTime.start(kTipTimeMs, this);
            }
            break;
        case kTimerTipTime:
            if (m_pTip)
                m_pTip->ShowTip(false);
            m_tipTime.stop();
            break;
        case kTimerFlash:
            if (m_bEnabled) {
                m_nImage = m_nImage == 0 ? 1 : 0;
                Redraw(true);
            }
            break;
        default:
            break;
    }
}

void CFlyBtn::OnActivate(bool active) {
    if (!active && m_pTip)
        m_pTip->ShowTip(false);
}

void CFlyBtn::EnableWindow(bool enable) {
    if (enable != m_bEnabled) {
        QAccessible::State changed;
        changed.disabled = true;
        QAccessibleStateChangeEvent event(this, changed);
        m_bEnabled = enable;
        QAccessible::updateAccessibility(&event);
    }
    m_bEnabled = enable;
    m_nImage = 0;
    Redraw(true);
    if (!enable) {
        Capture(false);
        m_bTracking = false;
        m_bPressed = false;
        m_tipDelay.stop();
        if (m_pTip)
            m_pTip->ShowTip(false);
        FlashBtn(false);
    }
}

void CFlyBtn::FlashBtn(bool on) {
    if (on) {
        m_flash.start(kFlashMs, this);
    } else {
        m_flash.stop();
    }
}

void CFlyBtn::CheckBtn(bool checked) {
    if (checked != m_bChecked) {
        m_bChecked = checked;
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
    m_bChecked = checked;
    Redraw(true);
}

void CFlyBtn::SetText(const QString& text) {
    if (m_pTip) {
        m_pTip->SetText(text);
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void CFlyBtn::mouseMoveEvent(QMouseEvent* event) {
    OnMouseMove(event->position().toPoint());
}

void CFlyBtn::mousePressEvent(QMouseEvent* event) {
    // Only the left button does anything; the others are swallowed so that
    // a right click on a key does not open the phone's menu.
    if (event->button() == Qt::LeftButton)
        OnLButtonDown(event->position().toPoint());
}

void CFlyBtn::mouseDoubleClickEvent(QMouseEvent* event) {
    mousePressEvent(event);
}

void CFlyBtn::keyPressEvent(QKeyEvent* event) {
    // Space presses the key with the focus. Enter and Esc are the window's
    // (call and hang up), so they go on to it.
    if ((event->key() == Qt::Key_Space || event->key() == Qt::Key_Select) &&
        !event->isAutoRepeat()) {
        QPointer<CFlyBtn> self(this);
        const unsigned int id = m_nCommandID;
        if (Click() && self)
            emit commandSent(id);
        return;
    }
    QWidget::keyPressEvent(event);
}

void CFlyBtn::focusInEvent(QFocusEvent* event) {
    update();
    QAccessibleEvent focus(this, QAccessible::Focus);
    QAccessible::updateAccessibility(&focus);
    QWidget::focusInEvent(event);
}

void CFlyBtn::focusOutEvent(QFocusEvent* event) {
    update();
    QWidget::focusOutEvent(event);
}

void CFlyBtn::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        OnLButtonUp(event->position().toPoint());
}

void CFlyBtn::hideEvent(QHideEvent* event) {
    // A hidden key loses the pointer grab; start afresh when it shows again.
    Capture(false);
    m_bTracking = false;
    m_tipDelay.stop();
    if (m_pTip)
        m_pTip->ShowTip(false);
    if (m_bEnabled && !m_flash.isActive())
        m_nImage = 0;
    QWidget::hideEvent(event);
}

void CFlyBtn::leaveEvent(QEvent* event) {
    // Where the window system refuses the pointer grab (Wayland, for one),
    // leaving is the only news that the pointer went away.
    if (m_bTracking && !m_bPressed)
        OnMouseMove(QPoint(-1, -1));
    QWidget::leaveEvent(event);
}

void CFlyBtn::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_tipDelay.timerId()) {
        OnTimer(kTimerTipDelay);
    } else if (event->timerId() == m_tipTime.timerId()) {
        OnTimer(kTimerTipTime);
    } else if (event->timerId() == m_flash.timerId()) {
        OnTimer(kTimerFlash);
    } else {
        QWidget::timerEvent(event);
    }
}

bool CFlyBtn::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::WindowDeactivate)
        OnActivate(false);
    return QWidget::eventFilter(watched, event);
}
