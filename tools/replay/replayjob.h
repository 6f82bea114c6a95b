/// @brief ReplayJob: one raw data file decoded back into record lines, with its summary.
#pragma once

#include "tools/replay/replayoptions.h"

class CommandLine;

class ReplayJob {
public:
    // sysexits.h's EX_DATAERR beside the shared codes, so that scripts can tell a wrong call
    // from bad data.
    static constexpr int ExitData = 65;

    /// Complaints go through `cli`, so they carry the program's name.
    ReplayJob(const ReplayOptions::Settings& settings, const CommandLine& cli);

    /// Reads, decodes and writes everything; the exit code.
    int run();

private:
    const ReplayOptions::Settings m_settings;
    const CommandLine& m_cli;
};
