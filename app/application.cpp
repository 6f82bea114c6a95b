/// @brief Application: command line, single instance, wiring of models, link and window.
#include "app/application.h"

#include "app/formmain.h"
#include "app/model/messagelog.h"
#include "app/vbcheckbox.h"
#include "control/calibrationmodel.h"
#include "control/registermodel.h"
#include "link/connectionmanager.h"
#include "link/versionmodel.h"
#include "measure/runstatistics.h"
#include "platform/clock.h"
#include "platform/messagebox.h"
#include "platform/qtsocket.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "sim/instrumentsimulator.h"

#include <QCommandLineParser>
#include <QDir>
#include <QLineEdit>
#include <QLockFile>
#include <QStandardPaths>

std::optional<Application::Options> Application::parseArguments(const QStringList& arguments, QString& message, bool& isError)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Front panel for the two-channel timing instrument."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Instrument address shown in the address box at start."), QStringLiteral("HOST"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Instrument port (default 37829)."), QStringLiteral("N"));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Start the built-in instrument simulator on 127.0.0.1 and connect to it."));
    const QCommandLineOption updateUrl(QStringLiteral("update-url"),
                                       QStringLiteral("Address of the update web directory (ending in /)."), QStringLiteral("URL"));
    p.addOptions({help, address, port, simulate, updateUrl});
    isError = false;
    if (!p.parse(arguments)) {
        message = p.errorText();
        isError = true;
        return std::nullopt;
    }
    if (p.isSet(help)) {
        message = p.helpText();
        return std::nullopt;
    }
    Options o;
    if (p.isSet(address))
        o.address = p.value(address);
    if (p.isSet(port)) {
        bool ok = false;
        const uint v = p.value(port).toUInt(&ok);
        if (!ok || v == 0 || v > 65535) {
            message = QStringLiteral("--port takes a number from 1 to 65535.");
            isError = true;
            return std::nullopt;
        }
        o.port = quint16(v);
    }
    o.simulate = p.isSet(simulate);
    o.updateUrl = p.value(updateUrl);
    return o;
}

QString Application::lockFilePath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/tallyscope.lock");
}

bool Application::acquireSingleInstance(QLockFile& lock, MessageBoxes& boxes)
{
    lock.setStaleLockTime(0);
    if (lock.tryLock(0))
        return true;
    boxes.show(QStringLiteral("Another Tallyscope test GUI is already running!"), QStringLiteral("Oops!"),
               MessageBoxes::Buttons::OkCancel, MessageBoxes::Icon::Critical);
    return false;
}

Application::Application(const Options& options, SettingsBackend& settings, MessageBoxes& boxes, QObject* parent)
    : QObject(parent), m_options(options), m_boxes(boxes)
{
    m_settings = std::make_unique<SettingsStore>(settings);
    m_clock = std::make_unique<SystemClock>();
    m_socket = std::make_unique<QtSocket>();
    m_log = std::make_unique<MessageLog>();
    m_calibration = std::make_unique<CalibrationModel>();
    m_statistics = std::make_unique<RunStatistics>();
    m_registers = std::make_unique<RegisterModel>();
    m_versions = std::make_unique<VersionModel>();
    m_link = std::make_unique<ConnectionManager>(*m_socket, *m_clock);

    PanelModels models;
    models.settings = m_settings.get();
    models.link = m_link.get();
    models.log = m_log.get();
    models.calibration = m_calibration.get();
    models.statistics = m_statistics.get();
    models.registers = m_registers.get();
    models.versions = m_versions.get();
    m_window = std::make_unique<FormMain>(models);

    if (m_options.simulate) {
        m_simulator = std::make_unique<InstrumentSimulator>();
        // The instrument's own port when it is free, so the panel runs exactly as in the lab;
        // any free port otherwise.
        if (!m_simulator->start(ConnectionManager::DefaultPort))
            m_simulator->start(0);
        m_window->ui.txtIP->setText(QStringLiteral("127.0.0.1"));
        m_link->setPort(m_simulator->port());
    }
    if (m_options.address)
        m_window->ui.txtIP->setText(*m_options.address);
    if (m_options.port)
        m_link->setPort(*m_options.port);
    wire();
}

Application::~Application()
{
    // The window goes first: it still talks to the link and the models while it closes.
    m_window.reset();
    m_link.reset();
}

void Application::wire()
{
    connect(m_link.get(), &ConnectionManager::connectionEstablished, this, [this] { m_link->send(QByteArrayLiteral("V")); });
    connect(m_link.get(), &ConnectionManager::dataArrived, this, [this](const QByteArray& bytes) {
        if (bytes.startsWith('H'))
            m_link->heartbeatReceived();
    });
    connect(m_window.get(), &FormMain::unloaded, this, &Application::finished);
}

void Application::start()
{
    m_window->Form_Load([this](const std::function<void()>& done) {
        // The update check lands here; until then start-up goes straight on.
        done();
        m_window->show();
    });
}
