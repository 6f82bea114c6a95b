/// @brief RemoteClient: what RemoteControl keeps of one control-port client between its commands.
#pragma once

#include "platform/timer.h"
#include "remote/differencering.h"
#include "remote/scpiparser.h"
#include "remote/scpistatus.h"

#include <QByteArray>
#include <deque>
#include <memory>

/// Shared by the engine that runs the commands in turns (remotecontrol.cpp) and the commands
/// themselves (scpicommands.cpp); nothing outside RemoteControl touches it.
struct RemoteClient {
    /// What holds its commands back.
    enum class Wait { None, Operations, Register, Read };
    /// What READ? answers once its acquisition has ended.
    enum class Reading { Differences, Histogram };

    /// A parsed command, or the end of the line it came on (its answers go out then).
    struct Item {
        scpi::Parsed parsed;
        bool endOfLine = false;
    };

    quint64 id = 0;
    scpi::Parser parser;
    scpi::Status status;
    DifferenceRing::Cursor cursor;
    bool binary = false;
    std::deque<Item> queue;
    /// The line's answers not yet handed to the transport.
    QByteArray answers;
    bool answered = false;
    /// Everything the current line has answered so far, sent or not.
    qint64 lineAnswerBytes = 0;
    /// In the turn queue.
    bool due = false;
    /// Its input is held back until its queue has shrunk.
    bool readingPaused = false;
    /// Its commands wait until the network takes what it was sent.
    bool backlogged = false;
    Wait wait = Wait::None;
    bool answerWhenDone = false;
    int registerIndex = -1;
    std::unique_ptr<Timer> registerTimer;
    /// A calibration this client asked for has not ended yet (*OPC, *OPC?, *WAI wait for it).
    bool calibrationPending = false;
    /// *OPC was given while an operation was pending: the event bit is set when it ends.
    bool completionArmed = false;
    /// ACQuire:COUNt and ACQuire:TIME: this client's bounds for its INIT and READ?.
    quint64 acquireRecords = 0;
    qint64 acquireMilliseconds = 0;
    /// An acquisition this client started has not ended yet.
    bool acquisitionPending = false;
    Reading readAfter = Reading::Differences;
    bool processing = false;
    bool gone = false;
};
