// A capturing engine to drive step by step: its thread idles on an empty
// pipe while the test calls the engine-thread steps directly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/telescope_control.h"
#include "tests/support/recorders.h"

class EngineSteps : public ::testing::Test {
protected:
    // Declared first so that it outlives the engine that reports to it.
    RecordingListener listener;
    CapturingTelescopeControl control{&listener};

    void inState(ProtocolState state) { control.protocolState = state; }

    // One reply as the parser hands it on: lead character and data
    // characters, in a zeroed buffer of the parser's size so that no decoder
    // reads past it.
    int reply(const char* text)
    {
        char buffer[TelescopeControl::kReplyBufferSize] = {};
        std::strncpy(buffer, text, sizeof buffer - 1);
        return control.handleReply(buffer);
    }

    // Received bytes as the reader thread delivers them: port data messages
    // of at most 31 bytes. Returns the result of the last parse.
    int parse(const std::string& bytes)
    {
        int result = 0;
        for (size_t at = 0; at < bytes.size(); at += kMaxEnginePayload) {
            const size_t count = std::min<size_t>(kMaxEnginePayload, bytes.size() - at);
            result =
                control.parseReplyBytes(reinterpret_cast<const uint8_t*>(bytes.data() + at), static_cast<int>(count));
        }
        return result;
    }

    // The same, adding up the results of every parse: only "handshake
    // complete" (1) and "give up" (2) are not 0.
    int parseCounting(const std::string& bytes)
    {
        int results = 0;
        for (size_t at = 0; at < bytes.size(); at += kMaxEnginePayload) {
            const size_t count = std::min<size_t>(kMaxEnginePayload, bytes.size() - at);
            results +=
                control.parseReplyBytes(reinterpret_cast<const uint8_t*>(bytes.data() + at), static_cast<int>(count));
        }
        return results;
    }

    // Makes the frames sent so far the baseline.
    std::vector<std::string> takeFrames()
    {
        std::vector<std::string> frames = control.frames();
        control.clearFrames();
        return frames;
    }

    // Runs the handshake to Ready with good counts on both channels.
    void becomeReady()
    {
        control.startHandshake();
        reply("=");
        reply("=");
        reply("=00F915");
        reply("=");
        reply("=00F915");
        ASSERT_EQ(1, reply("="));
        ASSERT_EQ(Ready, control.protocolState);
        control.clearFrames();
        listener.clear();
    }
};

using Frames = std::vector<std::string>;
using Events = std::vector<std::string>;
