/// @brief Where every control of the main window stands, in twips, relative to its group or the client area.
#pragma once

#include <QRect>
#include <array>
#include <cstddef>
#include <optional>

namespace formlayout {

constexpr int ClientWidthTwips = 9585;
constexpr int ClientHeightTwips = 5760;
constexpr int LogMarginTwips = 100;

/// Every placed control, under the form's own names and in the table's order.
enum class Control {
    Frame1,
    txtDacA,
    cmdDacA,
    txtVDacA,
    Frame2,
    txtDacB,
    cmdDacB,
    txtVDacB,
    Frame3,
    lblFpga,
    lblRabbit,
    lblGui,
    Frame5,
    cmdCalibrate,
    Label1,
    Label2,
    Label3,
    lblCalAl,
    lblCalAh,
    lblCalBl,
    lblCalBh,
    Frame7,
    Label4,
    TauA,
    TauB,
    Frame6,
    chkRun,
    Label5,
    lblCount,
    lblMinName,
    lblMin,
    lblMaxName,
    lblMax,
    Label7,
    lblRange,
    lblRemote,
    Frame8,
    chkDisplay,
    chkFile,
    chkVerbose,
    chkRaw,
    txtPath,
    cmdPath,
    Frame4,
    cmdReg,
    chkAuto,
    lblRegName0,
    lblRegName1,
    lblRegName2,
    lblRegName3,
    lblRegName4,
    lblRegName5,
    lblRegName6,
    lblRegName7,
    lblReg0,
    lblReg1,
    lblReg2,
    lblReg3,
    lblReg4,
    lblReg5,
    lblReg6,
    lblReg7,
    lblRegHex0,
    lblRegHex1,
    lblRegHex2,
    lblRegHex3,
    lblRegHex4,
    lblRegHex5,
    lblRegHex6,
    lblRegHex7,
    Frame9,
    txtIP,
    cmdCopy,
    cmdClear,
    chkOnTop,
    lblHB,
    txtMsg,
};
constexpr std::size_t ControlCount = std::size_t(Control::txtMsg) + 1;

/// Row `row` (0 to 7) of a register column, `first` being the column's row 0 (lblRegName0, lblReg0 or lblRegHex0).
constexpr Control registerRow(Control first, int row) { return Control(int(first) + row); }

struct Place {
    Control control;
    /// The widget's object name: what accessibility tools and screenshot scripts see. Code
    /// reaches the control by `control`, never by this text.
    const char* name;
    std::optional<Control> parent; // none: the window's client area
    int left;
    int top;
    int width;
    int height;
};

/// The whole table, one row per Control, in its order.
const std::array<Place, ControlCount>& places();
const Place& place(Control control);

/// Twips at 15 per pixel at 96 dpi, scaled with the screen's logical dpi.
int toPixels(int twips, double logicalDpi);
double twipsPerPixel(double logicalDpi);
QRect toPixels(const Place& p, double logicalDpi);

} // namespace formlayout
