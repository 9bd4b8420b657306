// The tests' one way into the engine: its engine-thread steps and fields,
// which the engine keeps private from its users.
#pragma once

#include "engine/telescope_control.h"
#include "platform/platform.h"

class EngineTestSeam : public TelescopeControl {
public:
    using TelescopeControl::TelescopeControl;

    // Steps, called on the test's thread while the engine thread idles.
    using TelescopeControl::closePort;
    using TelescopeControl::countDownHandshake;
    using TelescopeControl::dispatchMessage;
    using TelescopeControl::execMove;
    using TelescopeControl::execQueryDslrRemote;
    using TelescopeControl::execReadDslrTimer;
    using TelescopeControl::execSetDslrRemote;
    using TelescopeControl::execStartDslrTimer;
    using TelescopeControl::execStop;
    using TelescopeControl::executeCommand;
    using TelescopeControl::feedEngineByte;
    using TelescopeControl::forwardPortData;
    using TelescopeControl::handlePortFailure;
    using TelescopeControl::handleReply;
    using TelescopeControl::openPort;
    using TelescopeControl::parseReplyBytes;
    using TelescopeControl::sendFrame;
    using TelescopeControl::sendTimerFrame;
    using TelescopeControl::sendValueFrame;
    using TelescopeControl::startHandshake;

    // Fields.
    using TelescopeControl::heartbeatCountdown;
    using TelescopeControl::messageCount;
    using TelescopeControl::messageLength;
    using TelescopeControl::messageState;
    using TelescopeControl::mountReady;
    using TelescopeControl::move1Mode;
    using TelescopeControl::move1Rate;
    using TelescopeControl::move1Reverse;
    using TelescopeControl::move2Mode;
    using TelescopeControl::move2Rate;
    using TelescopeControl::move2Reverse;
    using TelescopeControl::pipeRead;
    using TelescopeControl::pipeWrite;
    using TelescopeControl::portOpen;
    using TelescopeControl::protocolState;
    using TelescopeControl::replyBuffer;
    using TelescopeControl::replyLength;
    using TelescopeControl::replyState;

    // Bytes waiting in the engine's pipe.
    int pipeBacklog() { return platform::pipeAvailable(pipeRead); }
};
