/// @brief FigureLabel: the parent's backdrop kept as a picture, then the label's own painting.
#include "app/figurelabel.h"

#include <QEvent>
#include <QPainter>

FigureLabel::FigureLabel(QWidget* parent) : QLabel(parent)
{
    // Qt then paints nothing behind the label; paintEvent lays down the backdrop itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void FigureLabel::paintEvent(QPaintEvent* event)
{
    if (m_backdrop.isNull() && parentWidget()) {
        // The parent alone, in its own coordinates, without its children (this label among them).
        const qreal ratio = devicePixelRatioF();
        QPixmap backdrop(size() * ratio);
        backdrop.setDevicePixelRatio(ratio);
        backdrop.fill(Qt::transparent);
        parentWidget()->render(&backdrop, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
        m_backdrop = backdrop;
    }
    {
        QPainter painter(this);
        painter.drawPixmap(0, 0, m_backdrop);
    }
    QLabel::paintEvent(event);
}

void FigureLabel::moveEvent(QMoveEvent* event)
{
    m_backdrop = QPixmap();
    QLabel::moveEvent(event);
}

void FigureLabel::resizeEvent(QResizeEvent* event)
{
    m_backdrop = QPixmap();
    QLabel::resizeEvent(event);
}

void FigureLabel::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::StyleChange || event->type() == QEvent::PaletteChange)
        m_backdrop = QPixmap();
    QLabel::changeEvent(event);
}
