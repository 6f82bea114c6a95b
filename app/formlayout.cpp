/// @brief The main window's layout table: the one place where positions and sizes live.
#include "app/formlayout.h"

#include <cmath>

namespace formlayout {

namespace {

using C = Control;
constexpr std::optional<Control> Client = std::nullopt;

constexpr std::array<Place, ControlCount> Table = {{
    {C::Frame1, "Frame1", Client, 105, 50, 1680, 750},
    {C::txtDacA, "txtDacA", C::Frame1, 100, 240, 600, 285},
    {C::cmdDacA, "cmdDacA", C::Frame1, 840, 210, 735, 495},
    {C::txtVDacA, "txtVDacA", C::Frame1, 100, 525, 765, 200},
    {C::Frame2, "Frame2", Client, 105, 840, 1680, 750},
    {C::txtDacB, "txtDacB", C::Frame2, 100, 210, 600, 285},
    {C::cmdDacB, "cmdDacB", C::Frame2, 840, 210, 735, 465},
    {C::txtVDacB, "txtVDacB", C::Frame2, 100, 525, 765, 200},
    {C::Frame3, "Frame3", Client, 1890, 50, 1380, 1050},
    {C::lblFpga, "lblFpga", C::Frame3, 105, 250, 1170, 225},
    {C::lblRabbit, "lblRabbit", C::Frame3, 105, 500, 1170, 225},
    {C::lblGui, "lblGui", C::Frame3, 105, 750, 1170, 225},
    {C::Frame5, "Frame5", Client, 3360, 50, 1380, 1485},
    {C::cmdCalibrate, "cmdCalibrate", C::Frame5, 210, 210, 960, 330},
    {C::Label1, "Label1", C::Frame5, 420, 630, 750, 225},
    {C::Label2, "Label2", C::Frame5, 100, 945, 105, 195},
    {C::Label3, "Label3", C::Frame5, 100, 1155, 105, 195},
    {C::lblCalAl, "lblCalAl", C::Frame5, 420, 945, 435, 225},
    {C::lblCalAh, "lblCalAh", C::Frame5, 840, 945, 435, 225},
    {C::lblCalBl, "lblCalBl", C::Frame5, 420, 1155, 435, 225},
    {C::lblCalBh, "lblCalBh", C::Frame5, 840, 1155, 435, 225},
    {C::Frame7, "Frame7", Client, 4830, 50, 1110, 855},
    {C::Label4, "Label4", C::Frame7, 255, 255, 645, 225},
    {C::TauA, "TauA", C::Frame7, 150, 525, 345, 200},
    {C::TauB, "TauB", C::Frame7, 650, 525, 345, 200},
    {C::Frame6, "Frame6", Client, 5985, 50, 1740, 1450},
    {C::chkRun, "chkRun", C::Frame6, 105, 210, 960, 330},
    {C::Label5, "Label5", C::Frame6, 105, 525, 495, 225},
    {C::lblCount, "lblCount", C::Frame6, 750, 525, 855, 225},
    {C::lblMinName, "lblMinName", C::Frame6, 105, 735, 495, 225},
    {C::lblMin, "lblMin", C::Frame6, 750, 735, 540, 225},
    {C::lblMaxName, "lblMaxName", C::Frame6, 105, 945, 495, 225},
    {C::lblMax, "lblMax", C::Frame6, 750, 945, 540, 225},
    {C::Label7, "Label7", C::Frame6, 105, 1155, 495, 225},
    {C::lblRange, "lblRange", C::Frame6, 750, 1155, 540, 225},
    {C::lblRemote, "lblRemote", C::Frame6, 1080, 135, 645, 390},
    {C::Frame8, "Frame8", Client, 6510, 1575, 3030, 1000},
    {C::chkDisplay, "chkDisplay", C::Frame8, 100, 200, 855, 225},
    {C::chkFile, "chkFile", C::Frame8, 100, 400, 855, 225},
    {C::chkVerbose, "chkVerbose", C::Frame8, 1470, 200, 975, 255},
    {C::chkRaw, "chkRaw", C::Frame8, 1470, 400, 1200, 255},
    {C::txtPath, "txtPath", C::Frame8, 100, 650, 2520, 300},
    {C::cmdPath, "cmdPath", C::Frame8, 2625, 630, 300, 300},
    {C::Frame4, "Frame4", Client, 6510, 2650, 3030, 3050},
    {C::cmdReg, "cmdReg", C::Frame4, 105, 210, 800, 330},
    {C::chkAuto, "chkAuto", C::Frame4, 1100, 210, 700, 225},
    {C::lblRegName0, "lblRegName0", C::Frame4, 105, 600, 1275, 200},
    {C::lblRegName1, "lblRegName1", C::Frame4, 105, 900, 1275, 195},
    {C::lblRegName2, "lblRegName2", C::Frame4, 105, 1200, 1275, 195},
    {C::lblRegName3, "lblRegName3", C::Frame4, 105, 1500, 1275, 195},
    {C::lblRegName4, "lblRegName4", C::Frame4, 105, 1800, 1275, 195},
    {C::lblRegName5, "lblRegName5", C::Frame4, 105, 2100, 1275, 195},
    {C::lblRegName6, "lblRegName6", C::Frame4, 105, 2400, 1275, 195},
    {C::lblRegName7, "lblRegName7", C::Frame4, 105, 2700, 1275, 195},
    {C::lblReg0, "lblReg0", C::Frame4, 1785, 600, 450, 195},
    {C::lblReg1, "lblReg1", C::Frame4, 1785, 900, 450, 195},
    {C::lblReg2, "lblReg2", C::Frame4, 1785, 1200, 450, 195},
    {C::lblReg3, "lblReg3", C::Frame4, 1785, 1500, 450, 195},
    {C::lblReg4, "lblReg4", C::Frame4, 1785, 1800, 450, 195},
    {C::lblReg5, "lblReg5", C::Frame4, 1785, 2100, 450, 195},
    {C::lblReg6, "lblReg6", C::Frame4, 1785, 2400, 450, 195},
    {C::lblReg7, "lblReg7", C::Frame4, 1785, 2700, 450, 195},
    {C::lblRegHex0, "lblRegHex0", C::Frame4, 2400, 600, 550, 195},
    {C::lblRegHex1, "lblRegHex1", C::Frame4, 2400, 900, 550, 195},
    {C::lblRegHex2, "lblRegHex2", C::Frame4, 2400, 1200, 550, 195},
    {C::lblRegHex3, "lblRegHex3", C::Frame4, 2400, 1500, 550, 195},
    {C::lblRegHex4, "lblRegHex4", C::Frame4, 2400, 1800, 550, 195},
    {C::lblRegHex5, "lblRegHex5", C::Frame4, 2400, 2100, 550, 195},
    {C::lblRegHex6, "lblRegHex6", C::Frame4, 2400, 2400, 550, 195},
    {C::lblRegHex7, "lblRegHex7", C::Frame4, 2400, 2700, 555, 195},
    {C::Frame9, "Frame9", Client, 7875, 840, 1365, 630},
    {C::txtIP, "txtIP", C::Frame9, 50, 240, 1200, 285},
    {C::cmdCopy, "cmdCopy", Client, 7875, 50, 750, 350},
    {C::cmdClear, "cmdClear", Client, 7875, 450, 750, 350},
    {C::chkOnTop, "chkOnTop", Client, 8700, 420, 1020, 255},
    {C::lblHB, "lblHB", Client, 8925, 105, 225, 195},
    {C::txtMsg, "txtMsg", Client, 105, 1680, 6300, 3945},
}};

// A row left out would leave a default row (Frame1 at 0,0) behind; one out of place would
// place another control's widget.
constexpr bool inControlOrder()
{
    for (std::size_t i = 0; i < Table.size(); ++i)
        if (Table[i].control != Control(i))
            return false;
    return true;
}
static_assert(inControlOrder(), "the layout table needs one row per control, in the order of Control");

} // namespace

const std::array<Place, ControlCount>& places() { return Table; }

const Place& place(Control control) { return Table[std::size_t(control)]; }

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
