/// @brief A main window with fakes behind every seam, for widget tests: no socket ever leaves the process.
#pragma once

#include "app/formmain.h"
#include "session/messagelog.h"
#include "common/fakes.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "link/versionmodel.h"
#include "measure/runstatistics.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"

#include <QLineEdit>
#include <functional>
#include <memory>

namespace PanelFixture {

/// One window with fakes behind it: no socket ever leaves the process.
struct Panel {
    MemorySettingsBackend backend;
    SettingsStore store{backend};
    FakeSocket socket;
    FakeClock clock;
    MessageLog log;
    CalibrationModel calibration;
    RunStatistics statistics;
    RegisterModel registers;
    VersionModel versions;
    ConnectionManager link{socket, clock};
    std::unique_ptr<FormMain> form;

    Panel()
    {
        link.keepAliveTimer().stop();
        PanelModels m;
        m.settings = &store;
        m.link = &link;
        m.log = &log;
        m.calibration = &calibration;
        m.statistics = &statistics;
        m.registers = &registers;
        m.versions = &versions;
        form = std::make_unique<FormMain>(m);
        form->ui.txtIP->setText(QStringLiteral("127.0.0.1"));
    }
    void store_(const QString& name, const QString& value) { backend.setRaw(settingskeys::Panel, name, value); }
    QString stored(const QString& name) const
    {
        QString t;
        store.ReadRegValue(settingskeys::Panel, name, t);
        return t;
    }
    void load()
    {
        form->Form_Load([](const std::function<void()>& done) { done(); });
    }
};

} // namespace PanelFixture
