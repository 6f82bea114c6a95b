/// @brief The main window: shows the models and forwards the operator's actions; owns no instrument state.
#pragma once

#include "app/formlayout.h"
#include "update/updatecheckmode.h"

#include <QSet>
#include <QSize>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class Clock;
class InstrumentSession;
class LogView;
class MessageLog;
class PanelOptions;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class SettingsStore;
class Timer;
class VbCheckBox;

/// What the window shows and whom it tells; owned by the Application, outlive the window.
struct PanelModels {
    SettingsStore* settings = nullptr;
    PanelOptions* options = nullptr;
    InstrumentSession* session = nullptr;
    /// The log the session writes to; the window shows it and clears it.
    MessageLog* log = nullptr;
    /// Times the heartbeat label's flash.
    const Clock* clock = nullptr;
};

class FormMain : public QWidget {
    Q_OBJECT
public:
    /// Least time between two showings of the run figures. They change with every arrival, and
    /// each showing lays out and paints the "Coincidences" group: hundreds of arrivals a second
    /// cost a quarter of a core for changes no eye can follow. A change after a quiet spell shows
    /// at once; one inside a frame at its end, so a figure is never older than this on screen.
    /// 50 Hz: with the event loop's own delays a record is on screen within 50 ms even at the
    /// gigabit rate, and each frame costs a little CPU at the instrument's own rate.
    static constexpr int FiguresFrameMs = 20;

    QPushButton* defaultButton() const { return m_defaultButton; }

    explicit FormMain(const PanelModels& models, QWidget* parent = nullptr);
    ~FormMain() override;

    /// Start-up up to and including the update check; `updateCheck` calls its argument when
    /// it is done (it may instead end the program to install an update).
    void Form_Load(const std::function<void(std::function<void()>)>& updateCheck);
    /// The rest of start-up, from the DAC read-outs to the version caption.
    void finishLoad();
    /// Shutdown: untick Run, close the link, save Top, Left and Height.
    void Form_Unload();

    /// Outer geometry in twips, as stored.
    double twipsPerPixel() const;
    QRect outerGeometryTwips() const;
    double designWidth() const;
    double designHeight() const;

    /// The data file stopped taking entries: File turns red with the reason as its tool tip,
    /// until the next run starts, so that a failure is still in sight when the run is over.
    void markDataFileFailure(const QString& reason);
    /// Scripts on the control port: "Remote" shows while at least one is connected.
    void setRemoteClients(int count);
    /// A script holds the control port's lock: "Remote (locked)". The operator's controls still work.
    void setRemoteLocked(bool locked);

signals:
    void dataFolderRequested();
    void updateCheckRequested(UpdateCheckMode checkMode);
    /// The operator asked for the histogram window (context menu of the "Coincidences" group).
    void histogramRequested();
    /// Shutdown finished; the application ends.
    void unloaded();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

public:
    /// The controls under the form's names; the pointers never change once the window is built.
    struct Controls {
        QGroupBox *Frame1, *Frame2, *Frame3, *Frame4, *Frame5, *Frame6, *Frame7, *Frame8, *Frame9;
        QLineEdit *txtDacA, *txtVDacA, *txtDacB, *txtVDacB;
        QPushButton *cmdDacA, *cmdDacB;
        QLabel *lblFpga, *lblRabbit, *lblGui;
        QPushButton* cmdCalibrate;
        QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label7;
        QLabel *lblCalAl, *lblCalAh, *lblCalBl, *lblCalBh;
        QLineEdit *TauA, *TauB;
        VbCheckBox* chkRun;
        QLabel *lblCount, *lblMinName, *lblMin, *lblMaxName, *lblMax, *lblRange;
        VbCheckBox *chkDisplay, *chkFile, *chkVerbose, *chkRaw;
        QLineEdit* txtPath;
        QPushButton* cmdPath;
        QPushButton* cmdReg;
        VbCheckBox* chkAuto;
        std::array<QLabel*, 8> lblRegName, lblReg, lblRegHex;
        QLineEdit* txtIP;
        QPushButton *cmdCopy, *cmdClear;
        VbCheckBox* chkOnTop;
        QLabel* lblHB;
        QLabel* lblRemote;
        LogView* txtMsg;
    };
    /// For the front end's tests and tools, which act on the controls as the operator does.
    const Controls& controls() const { return ui; }
    /// The widget that the layout table places as `control`.
    QWidget* control(formlayout::Control which) const { return m_placed[size_t(which)]; }

private:
    void buildControls();
    void wireModels();
    void place(QWidget* widget, formlayout::Control which);
    void Form_Resize();
    void Form_KeyDown(const QKeyEvent* key);
    void setDefaultButton(QPushButton* button);
    void trackDefaultButton(QObject* watched, bool focusIn);
    void restoreGeometry();
    void applyFrameMargins();
    void txtDac_Change(QLineEdit* entry, QLineEdit* readout);
    void chkOnTop_Click();
    void bindOptions();
    void follow(VbCheckBox* box, int value);
    void bindSession();
    void statisticsChanged();
    void showStatistics();
    void showRegister(int index);
    void showCalibration();

    /// How long the heartbeat label stays black after a heartbeat.
    static constexpr int HeartbeatFlashMs = 1000;

    PanelModels m_models;
    std::unique_ptr<Timer> m_heartbeatFlash;
    /// Runs for FiguresFrameMs after the run figures were shown; a change meanwhile waits for it.
    std::unique_ptr<Timer> m_figuresFrame;
    bool m_figuresPending = false;
    Controls ui{};
    std::array<QWidget*, formlayout::ControlCount> m_placed{};
    /// Set while a box follows its model, so that the change is not sent back as the operator's.
    bool m_following = false;
    QSet<QObject*> m_minMaxClickers;
    QPushButton* m_defaultButton = nullptr;
    QSize m_designClient;                   // client size as created
    QSize m_frameExtra;                     // outer minus client, once the window manager has told us
    std::optional<double> m_restoredHeight; // outer height (twips) applied before the frame was known
    /// Pixels: a Top without a Left, or a Left without a Top, waits for the system's placement.
    struct PendingPosition {
        std::optional<int> left;
        std::optional<int> top;
    };
    PendingPosition m_pendingPosition;
    bool m_loaded = false;
    bool m_unloading = false;
};
