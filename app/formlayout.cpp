/// @brief The main window's layout table: the one place where positions and sizes live.
#include "app/formlayout.h"

#include <cmath>
#include <cstring>

namespace formlayout {

const QList<Place>& places()
{
    static const QList<Place> table = {
        {"Frame1", "", 105, 50, 1680, 750},
        {"txtDacA", "Frame1", 100, 240, 600, 285},
        {"cmdDacA", "Frame1", 840, 210, 735, 495},
        {"txtVDacA", "Frame1", 100, 525, 765, 200},
        {"Frame2", "", 105, 840, 1680, 750},
        {"txtDacB", "Frame2", 100, 210, 600, 285},
        {"cmdDacB", "Frame2", 840, 210, 735, 465},
        {"txtVDacB", "Frame2", 100, 525, 765, 200},
        {"Frame3", "", 1890, 50, 1380, 1050},
        {"lblFpga", "Frame3", 105, 250, 1170, 225},
        {"lblRabbit", "Frame3", 105, 500, 1170, 225},
        {"lblGui", "Frame3", 105, 750, 1170, 225},
        {"Frame5", "", 3360, 50, 1380, 1485},
        {"cmdCalibrate", "Frame5", 210, 210, 960, 330},
        {"Label1", "Frame5", 420, 630, 750, 225},
        {"Label2", "Frame5", 100, 945, 105, 195},
        {"Label3", "Frame5", 100, 1155, 105, 195},
        {"lblCalAl", "Frame5", 420, 945, 435, 225},
        {"lblCalAh", "Frame5", 840, 945, 435, 225},
        {"lblCalBl", "Frame5", 420, 1155, 435, 225},
        {"lblCalBh", "Frame5", 840, 1155, 435, 225},
        {"Frame7", "", 4830, 50, 1110, 855},
        {"Label4", "Frame7", 255, 255, 645, 225},
        {"TauA", "Frame7", 150, 525, 345, 200},
        {"TauB", "Frame7", 650, 525, 345, 200},
        {"Frame6", "", 5985, 50, 1740, 1450},
        {"chkRun", "Frame6", 105, 210, 960, 330},
        {"Label5", "Frame6", 105, 525, 495, 225},
        {"lblCount", "Frame6", 750, 525, 855, 225},
        {"lblMinName", "Frame6", 105, 735, 495, 225},
        {"lblMin", "Frame6", 750, 735, 540, 225},
        {"lblMaxName", "Frame6", 105, 945, 495, 225},
        {"lblMax", "Frame6", 750, 945, 540, 225},
        {"Label7", "Frame6", 105, 1155, 495, 225},
        {"lblRange", "Frame6", 750, 1155, 540, 225},
        {"lblRemote", "Frame6", 1080, 135, 645, 390},
        {"Frame8", "", 6510, 1575, 3030, 1000},
        {"chkDisplay", "Frame8", 100, 200, 855, 225},
        {"chkFile", "Frame8", 100, 400, 855, 225},
        {"chkVerbose", "Frame8", 1470, 200, 975, 255},
        {"chkRaw", "Frame8", 1470, 400, 1200, 255},
        {"txtPath", "Frame8", 100, 650, 2520, 300},
        {"cmdPath", "Frame8", 2625, 630, 300, 300},
        {"Frame4", "", 6510, 2650, 3030, 3050},
        {"cmdReg", "Frame4", 105, 210, 800, 330},
        {"chkAuto", "Frame4", 1100, 210, 700, 225},
        {"lblRegName0", "Frame4", 105, 600, 1275, 200},
        {"lblRegName1", "Frame4", 105, 900, 1275, 195},
        {"lblRegName2", "Frame4", 105, 1200, 1275, 195},
        {"lblRegName3", "Frame4", 105, 1500, 1275, 195},
        {"lblRegName4", "Frame4", 105, 1800, 1275, 195},
        {"lblRegName5", "Frame4", 105, 2100, 1275, 195},
        {"lblRegName6", "Frame4", 105, 2400, 1275, 195},
        {"lblRegName7", "Frame4", 105, 2700, 1275, 195},
        {"lblReg0", "Frame4", 1785, 600, 450, 195},
        {"lblReg1", "Frame4", 1785, 900, 450, 195},
        {"lblReg2", "Frame4", 1785, 1200, 450, 195},
        {"lblReg3", "Frame4", 1785, 1500, 450, 195},
        {"lblReg4", "Frame4", 1785, 1800, 450, 195},
        {"lblReg5", "Frame4", 1785, 2100, 450, 195},
        {"lblReg6", "Frame4", 1785, 2400, 450, 195},
        {"lblReg7", "Frame4", 1785, 2700, 450, 195},
        {"lblRegHex0", "Frame4", 2400, 600, 550, 195},
        {"lblRegHex1", "Frame4", 2400, 900, 550, 195},
        {"lblRegHex2", "Frame4", 2400, 1200, 550, 195},
        {"lblRegHex3", "Frame4", 2400, 1500, 550, 195},
        {"lblRegHex4", "Frame4", 2400, 1800, 550, 195},
        {"lblRegHex5", "Frame4", 2400, 2100, 550, 195},
        {"lblRegHex6", "Frame4", 2400, 2400, 550, 195},
        {"lblRegHex7", "Frame4", 2400, 2700, 555, 195},
        {"Frame9", "", 7875, 840, 1365, 630},
        {"txtIP", "Frame9", 50, 240, 1200, 285},
        {"cmdCopy", "", 7875, 50, 750, 350},
        {"cmdClear", "", 7875, 450, 750, 350},
        {"chkOnTop", "", 8700, 420, 1020, 255},
        {"lblHB", "", 8925, 105, 225, 195},
        {"txtMsg", "", 105, 1680, 6300, 3945},
    };
    return table;
}

const Place* find(const QString& name)
{
    for (const Place& p : places())
        if (name == QLatin1String(p.name))
            return &p;
    return nullptr;
}

double twipsPerPixel(double logicalDpi) { return 1440.0 / logicalDpi; }

int toPixels(int twips, double logicalDpi) { return int(std::lround(twips / twipsPerPixel(logicalDpi))); }

QRect toPixels(const Place& p, double logicalDpi)
{
    // Edges are rounded, not sizes, so that neighbours that touch in twips touch in pixels.
    const int x = toPixels(p.left, logicalDpi);
    const int y = toPixels(p.top, logicalDpi);
    return {x, y, toPixels(p.left + p.width, logicalDpi) - x, toPixels(p.top + p.height, logicalDpi) - y};
}

} // namespace formlayout
