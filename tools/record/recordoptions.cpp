/// @brief RecordOptions: the recorder's options, read in the order the complaints are made.
#include "tools/record/recordoptions.h"

#include "link/connectionmanager.h"
#include "measure/datafile.h"
#include "platform/commandline.h"

#include <QFileInfo>
#include <QLocale>

RecordOptions::RecordOptions(QCommandLineParser& parser)
    : m_address(QStringLiteral("address"), QStringLiteral("The instrument's address (required)."),
                QStringLiteral("HOST")),
      m_port(QStringLiteral("port"), QStringLiteral("The instrument's port (default %1).").arg(protocol::DefaultPort),
             QStringLiteral("N")),
      m_folder(QStringLiteral("folder"),
               QStringLiteral("Where the data file goes (default: %1).").arg(DataFile::defaultFolder()),
               QStringLiteral("DIR")),
      m_duration(QStringLiteral("duration"), QStringLiteral("Stop the run after S seconds."), QStringLiteral("S")),
      m_records(QStringLiteral("records"),
                QStringLiteral(
                    "Stop the run once N records are written (the arrival that reaches N is written whole)."),
                QStringLiteral("N")),
      m_verbose(QStringLiteral("verbose"), QStringLiteral("Verbose record lines (the Verbose option).")),
      m_raw(QStringLiteral("raw"), QStringLiteral("Raw 7-byte records instead of lines (the Raw option).")),
      m_connectTimeout(QStringLiteral("connect-timeout"),
                       QStringLiteral("Keep trying to connect, once a second, for S seconds (default 10)."),
                       QStringLiteral("S"))
{
    parser.addOptions({m_address, m_port, m_folder, m_duration, m_records, m_verbose, m_raw, m_connectTimeout});
}

std::optional<HeadlessRecorder::Settings> RecordOptions::read(const QCommandLineParser& p, QString* problem) const
{
    const auto fail = [problem](const QString& text) {
        *problem = text;
        return std::nullopt;
    };
    const auto positiveSeconds = [&p](const QCommandLineOption& o) -> std::optional<double> {
        bool ok = false;
        const double v = QLocale::c().toDouble(p.value(o), &ok);
        return ok && v > 0 && v < 1e7 ? std::optional(v) : std::nullopt;
    };

    HeadlessRecorder::Settings s;
    if (!p.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(p.positionalArguments().constFirst()));
    // There is deliberately no default: the factory address belongs to a real instrument.
    s.address = p.value(m_address).trimmed();
    if (s.address.isEmpty())
        return fail(QStringLiteral("--address HOST is required"));
    s.port = ConnectionManager::DefaultPort;
    if (p.isSet(m_port)) {
        const auto v = CommandLine::port(p.value(m_port));
        if (!v)
            return fail(QStringLiteral("--port takes a number from 1 to 65535"));
        s.port = *v;
    }
    if (p.isSet(m_duration) && !(s.duration = positiveSeconds(m_duration)))
        return fail(QStringLiteral("--duration takes a positive number of seconds"));
    if (p.isSet(m_connectTimeout)) {
        const auto v = positiveSeconds(m_connectTimeout);
        if (!v)
            return fail(QStringLiteral("--connect-timeout takes a positive number of seconds"));
        s.connectTimeout = *v;
    }
    if (p.isSet(m_records)) {
        bool ok = false;
        const qulonglong v = p.value(m_records).toULongLong(&ok);
        if (!ok || v == 0)
            return fail(QStringLiteral("--records takes a positive whole number"));
        s.recordLimit = v;
    }
    s.folder = p.isSet(m_folder) ? p.value(m_folder) : DataFile::defaultFolder();
    if (!QFileInfo(s.folder).isDir())
        return fail(QStringLiteral("the folder \"%1\" does not exist").arg(s.folder));
    s.verbose = p.isSet(m_verbose);
    s.raw = p.isSet(m_raw);
    return s;
}
