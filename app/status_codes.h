// What the engine reports through TelescopeListener::onStatus, and the text
// the dialog shows for each code.
#pragma once

enum StatusCode : int {
    StatusNotConnected = 0,
    StatusConnectionClosed = 1,
    StatusSearching = 2,
    StatusCannotOpenPort = 3,
    StatusAlreadyConnected = 4,
    StatusCannotConnect = 5,
    StatusUnknownMount = 6,
    StatusCommunicationError = 7,
    StatusNotConnectedYet = 8,
    StatusOpeningPort = 9,
    StatusConnecting = 10,
    StatusReady = 11,
    StatusManualMovement = 12
};

constexpr unsigned kStatusCodeCount = 13;

// UTF-16 texts indexed by code; codes 13 and above have none.
extern const char16_t* const statusTexts[kStatusCodeCount];

// The text for a code taken as unsigned, or null when the code has none.
const char16_t* statusText(unsigned code);
