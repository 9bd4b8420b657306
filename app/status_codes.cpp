#include "app/status_codes.h"

const char16_t* const statusTexts[kStatusCodeCount] = {
    u"Not connected",
    u"Connection closed",
    u"Searching...",
    u"Error: Cannot open port",
    u"Error: Already connected",
    u"Error: Cannot connect to telescope mount.",
    u"Error: Unknown telescope mount.",
    u"Communication error",
    u"Error: Not connected yet.",
    u"Opening port...",
    u"Connecting... Please wait.",
    u"Ready",
    u"Manual movement",
};

const char16_t* statusText(unsigned code)
{
    return code < kStatusCodeCount ? statusTexts[code] : nullptr;
}
