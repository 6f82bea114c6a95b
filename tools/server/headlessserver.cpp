/// @brief The headless server's session, options, reconnects and clean stop.
#include "tools/server/headlessserver.h"

#include "measure/histogramfeed.h"
#include "platform/clock.h"
#include "platform/settingsbackend.h"
#include "platform/settingsstore.h"
#include "platform/socket.h"
#include "platform/timer.h"
#include "remote/controlserver.h"
#include "remote/remotecontrol.h"
#include "session/histogrambinding.h"
#include "session/instrumentsession.h"
#include "session/messagelog.h"
#include "session/paneloptions.h"

HeadlessServer::HeadlessServer(Socket& socket, const Clock& clock, MessageBoxes& boxes, const Settings& settings,
                               Output complain, QObject* parent)
    : QObject(parent), m_complain(std::move(complain)), m_controlSettings(settings.control),
      m_backend(std::make_unique<MemorySettingsBackend>()), m_store(std::make_unique<SettingsStore>(*m_backend)),
      m_options(std::make_unique<PanelOptions>(*m_store)), m_log(std::make_unique<MessageLog>()),
      m_histogram(std::make_unique<HistogramFeed>()),
      m_session(std::make_unique<InstrumentSession>(socket, clock, boxes, *m_log)), m_clock(clock),
      m_closingCheck(clock.makeTimer())
{
    m_options->setAddress(settings.address);
    m_options->setDataFolder(settings.folder);
    m_session->bindOptions(*m_options);
    m_session->setWindowCaption(QStringLiteral("tallyscope-server"));
    m_session->setPort(settings.port);
    bindHistogramFeed(*m_session, *m_histogram);
    m_controlPort = std::make_unique<ControlPort>(*m_session, *m_options, *m_histogram, clock);

    // What an operator would read in the log, for whoever watches the server's stderr.
    connect(m_session.get(), &InstrumentSession::linkLogLine, this, [this](LogKind, const QString& text) {
        if (!m_stopping)
            m_complain(text.trimmed());
    });
    connect(m_session.get(), &InstrumentSession::decoderError, this, [this](const QString& line) { m_complain(line); });
    connect(m_session.get(), &InstrumentSession::dataFileFailed, this,
            [this](const QString& reason, bool inRecordWrite) {
        if (!inRecordWrite)
            m_complain(QStringLiteral("data file: ") + reason);
    });
    connect(m_session.get(), &InstrumentSession::sidecarFailed, this,
            [this](const QString& reason) { m_complain(QStringLiteral("sidecar: ") + reason); });
    // An instrument that is not there yet, or goes away, is tried again by the keep-alive, as
    // the panel does: a server outlives the instrument's restarts.
}

HeadlessServer::~HeadlessServer()
{
    m_controlPort.reset();
    m_session.reset();
}

bool HeadlessServer::start(QString* error)
{
    if (!m_controlPort->listen(m_controlSettings, error))
        return false;
    m_session->openConnection();
    return true;
}

void HeadlessServer::interrupt(int /*signalNumber*/)
{
    if (std::exchange(m_stopping, true))
        return;
    // The run first, with its files complete; the link with it, so that nothing is added to
    // what the clients may still fetch.
    m_session->shutdown();
    RemoteControl& control = m_controlPort->control();
    control.beginClosing();
    m_controlPort->server().stopListening();
    m_closeBy = m_clock.monotonicSeconds() + ClosingGraceSeconds;
    connect(m_closingCheck.get(), &Timer::timeout, this, &HeadlessServer::closeWhenFetched);
    m_closingCheck->start(ClosingCheckMs);
    closeWhenFetched();
}

void HeadlessServer::closeWhenFetched()
{
    if (!m_controlPort)
        return;
    if (!m_controlPort->control().allFetched() && m_controlPort->clientCount() > 0
        && m_clock.monotonicSeconds() < m_closeBy)
        return;
    m_closingCheck->stop();
    m_controlPort.reset();
    emit finished(0);
}
