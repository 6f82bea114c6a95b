/// @brief A main window over a session with fakes behind every seam, for widget tests: no socket ever leaves the
/// process.
#pragma once

#include "app/formmain.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "common/sessiontestaccess.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

#include <functional>
#include <memory>

namespace PanelFixture {

struct Panel {
    MemorySettingsBackend backend;
    SettingsStore store{backend};
    FakeSocket socket;
    FakeClock clock;
    FakeMessageBoxes boxes;
    MessageLog log;
    InstrumentSession session{socket, clock, boxes, log};
    PanelOptions options{store};
    SessionTestAccess parts{session};
    CalibrationModel& calibration = parts.calibration();
    RunStatistics& statistics = parts.statistics();
    ConnectionManager& link = parts.link();
    std::unique_ptr<FormMain> form;
    std::unique_ptr<PanelView> ui;

    Panel()
    {
        link.keepAliveTimer().stop();
        options.setAddress(QStringLiteral("127.0.0.1"));
        session.bindOptions(options);
        form = std::make_unique<FormMain>(PanelModels{&store, &options, &session, &log, &clock});
        ui = std::make_unique<PanelView>(*form);
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
