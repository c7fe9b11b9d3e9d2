// A strip of equally sized images cut from one bitmap, with a key colour that
// is transparent. Stands in for the image lists the keys and lists draw from.
#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QSize>
#include <QVector>

class QPainter;

namespace kestrona {

class ImageList {
  public:
    enum class Style { kNormal, kBlend25 };

    ImageList() = default;
    // Cuts `strip` into cells of `cell` size from left to right; every pixel
    // exactly of `transparent` becomes fully transparent.
    static ImageList FromStrip(const QImage& strip, QSize cell, QColor transparent);
    // The same from a Qt resource or file path; empty when it can't be read.
    // Where a twice-as-large "@2x" file lies beside it, the images come from
    // that one (drawn at the same size, sharper on high-density screens).
    static ImageList FromFile(const QString& path, QSize cell, QColor transparent);

    int Count() const { return static_cast<int>(m_images.size()); }
    QSize CellSize() const { return m_cell; }
    const QImage& Image(int index) const { return m_images.at(index); }
    QPixmap Pixmap(int index) const { return QPixmap::fromImage(m_images.at(index)); }

    // kBlend25 mixes the opaque pixels 25 % with `blend` (the look of a
    // switched-off key).
    void Draw(QPainter& painter, int index, QPoint at, Style style = Style::kNormal,
              QColor blend = QColor()) const;
    // The image as Draw would paint it (for checks and previews).
    QImage Rendered(int index, Style style, QColor blend = QColor()) const;

  private:
    QSize m_cell;
    QVector<QImage> m_images;
};

}  // namespace kestrona
