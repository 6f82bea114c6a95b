/// @brief Where every control of the main window stands, in twips, relative to its group or the client area.
#pragma once

#include <QList>
#include <QRect>
#include <QString>

namespace formlayout {

constexpr int ClientWidthTwips = 9585;
constexpr int ClientHeightTwips = 5760;
constexpr int LogMarginTwips = 100;

struct Place {
    const char* name;
    const char* parent; // "" for the window's client area
    int left;
    int top;
    int width;
    int height;
};

/// The whole table, in the order the controls are created.
const QList<Place>& places();
const Place* find(const QString& name);

/// Twips at 15 per pixel at 96 dpi, scaled with the screen's logical dpi.
int toPixels(int twips, double logicalDpi);
double twipsPerPixel(double logicalDpi);
QRect toPixels(const Place& p, double logicalDpi);

} // namespace formlayout
