/// @brief A panel for the kill test: connects to 127.0.0.1 on the given port, runs with File ticked, and prints after
/// each arrival how many records it has decoded.
#include "app/application.h"
#include "app/formmain.h"
#include "app/vbcheckbox.h"
#include "common/fakes.h"
#include "common/panelview.h"
#include "platform/settingsbackend.h"
#include "session/instrumentsession.h"
#include "session/paneloptions.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    // The platform the suite draws with; Windows builds without FreeType have no offscreen one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    if (argc < 3)
        return 2;
    MemorySettingsBackend settings;
    FakeMessageBoxes boxes;
    Application::Options o;
    o.address = QStringLiteral("127.0.0.1");
    o.port = quint16(QByteArray(argv[1]).toUInt());
    Application app(o, settings, boxes);
    const PanelView ui(app.window());
    app.panelOptions().setDataFolder(QString::fromLocal8Bit(argv[2]) + u'/');
    ui.chkDisplay->setValue(0);
    // Connected after the panel's own handling, so each report follows the arrival's decoding
    // and its hand-over to the operating system.
    QObject::connect(&app.session(), &InstrumentSession::arrivalHandled, &app, [&] {
        if (ui.chkRun->value() == 0)
            return;
        std::printf("%llu\n", quint64(app.session().decoderCounters().recordsDecoded));
        std::fflush(stdout);
    });
    QTimer start;
    QObject::connect(&start, &QTimer::timeout, [&] {
        if (!ui.chkRun->isEnabled())
            return;
        start.stop();
        ui.chkFile->setValue(1);
        ui.chkRun->setValue(1);
    });
    start.start(50);
    app.start();
    return QApplication::exec();
}
