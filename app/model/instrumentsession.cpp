/// @brief InstrumentSession: the wiring of link, decoder, calibration, runs and registers.
#include "app/model/instrumentsession.h"

#include "app/model/messagelog.h"
#include "control/calibrationmodel.h"
#include "control/calibrationsequence.h"
#include "control/registermodel.h"
#include "control/registerpanel.h"
#include "link/commands.h"
#include "link/connectionmanager.h"
#include "link/replydecoder.h"
#include "link/versionmodel.h"
#include "measure/datafile.h"
#include "measure/runstatistics.h"
#include "measure/runswitch.h"
#include "platform/numbers.h"

InstrumentSession::InstrumentSession(Socket& socket, const Clock& clock, MessageBoxes& boxes, MessageLog& log, QObject* parent)
    : QObject(parent), m_log(log)
{
    m_calibration = std::make_unique<CalibrationModel>();
    m_statistics = std::make_unique<RunStatistics>();
    m_registers = std::make_unique<RegisterModel>();
    m_versions = std::make_unique<VersionModel>();
    m_link = std::make_unique<ConnectionManager>(socket, clock);
    const auto sendFn = [this](const QByteArray& b) { return send(b); };
    m_dataFile = std::make_unique<DataFile>(clock);
    m_runSwitch = std::make_unique<RunSwitch>(sendFn, *m_statistics, *m_dataFile, boxes);
    m_calibrationSequence = std::make_unique<CalibrationSequence>(*m_calibration, clock, sendFn,
                                                                  [this](bool on) { m_link->setKeepAliveEnabled(on); });
    m_registerPanel = std::make_unique<RegisterPanel>(sendFn);
    m_decoder = std::make_unique<ReplyDecoder>(
        ReplyDecoder::Context{*m_calibration, *m_registers, *m_versions, *m_statistics, m_options, *this});

    // Every connection is calibrated, then asked for its version.
    connect(m_link.get(), &ConnectionManager::connectionEstablished, this, [this] {
        m_decoder->reset();
        m_versionAfterCalibration = true;
        m_calibrationSequence->start();
    });
    connect(m_calibrationSequence.get(), &CalibrationSequence::finished, this, [this] {
        if (std::exchange(m_versionAfterCalibration, false))
            send(commands::versionRequest());
    });
    connect(m_link.get(), &ConnectionManager::dataArrived, this, [this](const QByteArray& bytes) {
        m_decoder->feed(bytes);
        // What has been decoded goes to the operating system at once: a crash of the panel
        // then loses nothing that was shown.
        if (m_dataFile->isOpen())
            m_dataFile->flushToOs();
    });
    connect(m_calibrationSequence.get(), &CalibrationSequence::logAsideBegin, &m_log, &MessageLog::beginAside);
    connect(m_calibrationSequence.get(), &CalibrationSequence::logAsideEnd, &m_log, &MessageLog::endAside);
    connect(m_calibrationSequence.get(), &CalibrationSequence::busyChanged, this, &InstrumentSession::busyChanged);
    connect(m_dataFile.get(), &DataFile::writeFailed, this, [this](const QString& description) {
        // A failure inside a record's write is reported by the decoder's error path itself.
        if (!m_decoderWriting)
            errorLine(QStringLiteral("Doh! (data) ") + description);
    });
}

InstrumentSession::~InstrumentSession() = default;

bool InstrumentSession::send(const QByteArray& bytes) { return m_link->send(bytes); }

void InstrumentSession::setRun(bool ticked)
{
    m_runTicked = ticked;
    m_runSwitch->setRun(ticked);
}

void InstrumentSession::setFileTicked(bool ticked)
{
    m_options.file = ticked;
    m_runSwitch->setFileTicked(ticked);
}

void InstrumentSession::setDataFolder(const QString& folder) { m_runSwitch->setDataFolder(folder); }

void InstrumentSession::setWindowCaption(const QString& caption) { m_runSwitch->setWindowCaption(caption); }

void InstrumentSession::sendDacA(const QString& entry) { send(commands::dacA(numbers::leadingNumber(entry))); }

void InstrumentSession::stopActivities()
{
    m_calibrationSequence->abort();
    m_registerPanel->chkAuto_Click(false);
}

void InstrumentSession::heartbeat() { m_link->heartbeatReceived(); }

void InstrumentSession::displayLine(const QString& line) { m_log.LogMessage(line, false); }

void InstrumentSession::errorLine(const QString& line) { m_log.LogMessage(line, false); }

bool InstrumentSession::fileIsOpen() const { return m_dataFile->isOpen(); }

bool InstrumentSession::writeFile(QByteArrayView bytes, QString& errorText)
{
    m_decoderWriting = true;
    const bool ok = m_dataFile->write(bytes.data(), bytes.size());
    m_decoderWriting = false;
    if (!ok)
        errorText = m_dataFile->errorString();
    return ok;
}
