#include "ui/skin_images.h"

#include <QPainter>

namespace kestrona {

ImageList ImageList::FromStrip(const QImage& strip, QSize cell, QColor transparent) {
    ImageList list;
    list.m_cell = cell;
    if (strip.isNull() || cell.width() <= 0 || cell.height() <= 0)
        return list;
    const QImage src = strip.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = transparent.rgb() & 0xFFFFFF;
    for (int x0 = 0; x0 + cell.width() <= src.width(); x0 += cell.width()) {
        QImage img = src.copy(x0, 0, cell.width(), cell.height());
        for (int y = 0; y < img.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                if ((line[x] & 0xFFFFFF) == key)
                    line[x] = 0;
            }
        }
        list.m_images.push_back(std::move(img));
    }
    return list;
}

ImageList ImageList::FromFile(const QString& path, QSize cell, QColor transparent) {
    ImageList list = FromStrip(QImage(path), cell, transparent);
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    const QImage big(dot < 0 ? QString() : path.left(dot) + QStringLiteral("@2x") + path.mid(dot));
    if (big.isNull() || list.Count() == 0)
        return list;
    ImageList sharp = FromStrip(big, cell * 2, transparent);
    if (sharp.Count() != list.Count())
        return list;
    for (QImage& img : sharp.m_images) img.setDevicePixelRatio(2.0);
    sharp.m_cell = cell;
    return sharp;
}

QImage ImageList::Rendered(int index, Style style, QColor blend) const {
    QImage img = m_images.at(index);
    if (style == Style::kBlend25) {
        QPainter p(&img);
        p.setCompositionMode(QPainter::CompositionMode_SourceAtop);
        QColor c = blend;
        c.setAlphaF(0.25);
        p.fillRect(img.rect(), c);
    }
    return img;
}

void ImageList::Draw(QPainter& painter, int index, QPoint at, Style style, QColor blend) const {
    if (index < 0 || index >= Count())
        return;
    if (style == Style::kNormal) {
        painter.drawImage(at, m_images.at(index));
    } else {
        painter.drawImage(at, Rendered(index, style, blend));
    }
}

}  // namespace kestrona
