// CTipWnd: the small pop-up beside the pointer that names a key. It sizes
// itself to its text whenever it is shown and never takes the focus.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

class CTipWnd : public QWidget {
    Q_OBJECT
  public:
    CTipWnd();
    ~CTipWnd() override;

    // Parent here means owner: the tip is a top-level pop-up that follows
    // `parent` and hands the keyboard focus back to it.
    bool Create(const QString& text, QColor textColour, QColor backColour, QWidget* parent);
    void ShowTip(bool on);
    // Takes effect at the next paint; the size follows at the next ShowTip.
    void SetText(const QString& text);

    const QString& Text() const { return m_strText; }
    QWidget* Owner() const { return m_pParent; }
    // The size the tip takes for its current text.
    QSize TipSizeForText() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QPointer<QWidget> m_pParent;
    QColor m_crBack;
    QColor m_crText;
    QString m_strText;
};
