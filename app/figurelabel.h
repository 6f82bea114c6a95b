/// @brief A label for a figure that changes many times a second, repainted without the widgets behind it.
#pragma once

#include <QLabel>
#include <QPixmap>

/// A see-through label repaints its parent's area under it, and any sibling there, with every
/// change of text: for the run figures, fifty times a second, that was most of the cost of
/// showing them. This one keeps a picture of what lies behind it (the group's frame and fill,
/// in whatever style) and paints that instead, so only the label itself is painted. The picture
/// is taken again when the label moves, is resized, or the style or palette changes.
class FigureLabel : public QLabel {
    Q_OBJECT
public:
    explicit FigureLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QPixmap m_backdrop;
};
