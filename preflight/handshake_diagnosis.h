// Why a check's handshake went unanswered: watches the frames of a connection
// through the frame trace's observer, without touching the engine, and when
// the handshake times out says which frame was left without a reply, what
// came back for it, how many frames were answered before it and the likely
// cause, in one line.
#pragma once

#include <string>

// Starts watching (forgetting any earlier connection) and stops.
void startHandshakeDiagnosis();
void stopHandshakeDiagnosis();

// The line for the connection watched, e.g. "no reply to :D1\r after 3
// answered frames; received !01 with no CR: not this protocol, or a firmware
// in another mode"; empty when no frame was sent.
std::string handshakeDiagnosis();

// The same from its parts: the last frame sent, the bytes received since it
// and the frames answered before it.
std::string describeUnanswered(const std::string& frame, const std::string& received, int answered);
