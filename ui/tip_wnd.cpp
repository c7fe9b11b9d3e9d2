#include "ui/tip_wnd.h"

#include <QApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QPainter>

namespace {
// Room on every side of the text, so the frame never cuts through it.
constexpr int kMargin = 2;
constexpr int kPointerOffset = 15;
}  // namespace

CTipWnd::CTipWnd() = default;
CTipWnd::~CTipWnd() = default;

bool CTipWnd::Create(const QString& text, QColor textColour, QColor backColour, QWidget* parent) {
    m_strText = text;
    m_crText = textColour;
    m_crBack = backColour;
    m_pParent = parent;
    // A frameless tool-tip window owned by the key's window: it stays above
    // the phone and is never activated.
    setParent(parent ? parent->window() : nullptr,
              Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(QRect());
    hide();
    if (parent)
        parent->setFocus(Qt::OtherFocusReason);
    return true;
}

QSize CTipWnd::TipSizeForText() const {
    const QFontMetrics fm(QApplication::font());
    const QSize text = fm.size(0, m_strText);
    return {text.width() + 2 * kMargin, text.height() + 2 * kMargin};
}

void CTipWnd::ShowTip(bool on) {
    if (!on) {
        hide();
        // A key of the owner that the keyboard has reached keeps the focus:
        // the tip never took it from there.
        QWidget* focus = QApplication::focusWidget();
        if (m_pParent && !(focus && m_pParent->isAncestorOf(focus)))
            m_pParent->setFocus(Qt::OtherFocusReason);
        return;
    }
    const QPoint at = QCursor::pos() + QPoint(kPointerOffset, kPointerOffset);
    setGeometry(QRect(at, TipSizeForText()));
    show();
    raise();
}

void CTipWnd::SetText(const QString& text) {
    m_strText = text;
}

void CTipWnd::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, m_crBack);
    p.setPen(m_crText);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    p.setFont(QApplication::font());
    const QFontMetrics fm(p.font());
    p.drawText(QRect(QPoint(kMargin, kMargin), fm.size(0, m_strText)), Qt::AlignLeft | Qt::AlignTop,
               m_strText);
}
