/// @brief A session on a fake link with its options in memory, for tests that drive options, runs and arrivals.
#pragma once

#include "common/fakes.h"
#include "common/sessiontestaccess.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

/// A session on a fake link, bound to options kept in memory.
struct OptionedSession {
    FakeSocket socket;
    FakeClock clock;
    FakeMessageBoxes boxes;
    MessageLog log;
    MemorySettingsBackend backend;
    SettingsStore store{backend};
    PanelOptions options{store};
    InstrumentSession session{socket, clock, boxes, log};
    SessionTestAccess parts{session};

    OptionedSession()
    {
        options.setAddress(QStringLiteral("127.0.0.1"));
        session.bindOptions(options);
    }
};
