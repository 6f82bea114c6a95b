/// @brief RecordOptions: tallyscope-record's command-line options and their checks.
#pragma once

#include "tools/record/headlessrecorder.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <optional>

class RecordOptions {
public:
    /// Adds the options to `parser`.
    explicit RecordOptions(QCommandLineParser& parser);

    /// The settings, or nothing with the problem in one line (before anything connects).
    std::optional<HeadlessRecorder::Settings> read(const QCommandLineParser& parser, QString* problem) const;

private:
    QCommandLineOption m_address;
    QCommandLineOption m_port;
    QCommandLineOption m_folder;
    QCommandLineOption m_duration;
    QCommandLineOption m_records;
    QCommandLineOption m_verbose;
    QCommandLineOption m_raw;
    QCommandLineOption m_connectTimeout;
};
