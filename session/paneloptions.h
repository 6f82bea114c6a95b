/// @brief PanelOptions: the one owner of the operator's switches, data folder and address, with their stored values and
/// the decoder's snapshot.
#pragma once

#include "link/dataoptions.h"

#include <QObject>
#include <QString>
#include <array>

class SettingsStore;

/// What the operator set on the panel, whichever front end shows it (the window, the control
/// port, the headless tools). The five switches keep the check-box values (0 unticked, 1 ticked,
/// 2 grayed) and are saved the moment they change; the address is never stored; the data folder
/// is saved by its picker. The decoder works with a snapshot of the four data switches
/// (dataOptions()), handed over anew on every change. The Tau texts belong to the calibration
/// (CalibrationModel).
class PanelOptions : public QObject {
    Q_OBJECT
public:
    enum Switch { OnTop, Verbose, Display, File, Raw };
    static constexpr int SwitchCount = 5;

    explicit PanelOptions(SettingsStore& store, QObject* parent = nullptr);

    int value(Switch s) const { return m_values[size_t(s)]; }
    /// A changed value is announced first (so that "On Top" reorders the window) and then saved.
    void setValue(Switch s, int value);
    QString dataFolder() const { return m_dataFolder; }
    void setDataFolder(const QString& folder);
    QString address() const { return m_address; }
    void setAddress(const QString& address);
    /// The data switches as the decoder takes them: any value but 0 (also grayed) is on.
    DataOptions dataOptions() const;

    /// Start-up: the switches in the order On Top, Verbose, Display, File, Raw data, then the
    /// data folder. A value that is missing, not a number or outside 0 to 2 changes nothing;
    /// one that differs goes through setValue and is therefore written back.
    void restore();

    static QString storedName(Switch s);

signals:
    void valueChanged(PanelOptions::Switch s, int value);
    void dataFolderChanged(const QString& folder);
    void addressChanged(const QString& address);
    /// After valueChanged of Verbose, Display, File or Raw.
    void dataOptionsChanged(const DataOptions& options);

private:
    SettingsStore& m_store;
    std::array<int, SwitchCount> m_values{0, 0, 1, 0, 0};
    QString m_dataFolder;
    QString m_address;
};
