// The tests' one way into the engine: its engine-thread steps and fields,
// which the engine keeps private from its users.
#pragma once

#include "engine/telescope_control.h"
#include "platform/platform.h"

class EngineTestSeam : public TelescopeControl {
public:
    using TelescopeControl::TelescopeControl;

    // Steps, called on the test's thread while the engine thread idles.
    using TelescopeControl::feedEngineByte;
    using TelescopeControl::dispatchMessage;
    using TelescopeControl::openPort;
    using TelescopeControl::closePort;
    using TelescopeControl::forwardPortData;
    using TelescopeControl::sendFrame;
    using TelescopeControl::sendValueFrame;
    using TelescopeControl::sendTimerFrame;
    using TelescopeControl::parseReplyBytes;
    using TelescopeControl::startHandshake;
    using TelescopeControl::countDownHandshake;
    using TelescopeControl::handleReply;
    using TelescopeControl::executeCommand;
    using TelescopeControl::execMove;
    using TelescopeControl::execStop;
    using TelescopeControl::execSetDslrRemote;
    using TelescopeControl::execQueryDslrRemote;
    using TelescopeControl::execStartDslrTimer;
    using TelescopeControl::execReadDslrTimer;

    // Fields.
    using TelescopeControl::pipeRead;
    using TelescopeControl::pipeWrite;
    using TelescopeControl::portOpen;
    using TelescopeControl::mountReady;
    using TelescopeControl::replyState;
    using TelescopeControl::replyLength;
    using TelescopeControl::replyBuffer;
    using TelescopeControl::messageState;
    using TelescopeControl::messageCount;
    using TelescopeControl::messageLength;
    using TelescopeControl::protocolState;
    using TelescopeControl::heartbeatCountdown;
    using TelescopeControl::move1Reverse;
    using TelescopeControl::move1Mode;
    using TelescopeControl::move1Rate;
    using TelescopeControl::move2Reverse;
    using TelescopeControl::move2Mode;
    using TelescopeControl::move2Rate;

    // Bytes waiting in the engine's pipe.
    int pipeBacklog() { return platform::pipeAvailable(pipeRead); }
};
