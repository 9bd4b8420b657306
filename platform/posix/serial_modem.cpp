// Modem lines on POSIX: DTR and RTS through the terminal driver; none over
// the network.
#include "platform/platform.h"
#include "platform/serial_trace.h"
#include "platform/posix/serial_posix.h"

#include <sys/ioctl.h>

namespace platform {

bool serialEscape(SerialPort* port, ModemFunction function)
{
    static const char* const kNames[] = {"SETDTR", "CLRDTR", "SETRTS", "CLRRTS"};
    if (!port || function < SetDtr || function > ClearRts)
        return false;
    if (port->kind != PortKind::Device) {
        // No modem lines over the network: said once a connection, in the
        // trace, so that a camera on the RTS line that never fires is explained.
        if (!port->toldNoModemLines) {
            port->toldNoModemLines = true;
            const char note[] = "no modem lines over the network: DTR and RTS do nothing";
            traced("note", static_cast<long>(port->number), true, reinterpret_cast<const uint8_t*>(note),
                   sizeof note - 1);
        }
        return traced(kNames[function], static_cast<long>(port->number), false);
    }
    int line = (function == SetDtr || function == ClearDtr) ? TIOCM_DTR : TIOCM_RTS;
    unsigned long request = (function == SetDtr || function == SetRts) ? TIOCMBIS : TIOCMBIC;
    // A pseudo-terminal has no modem lines and says ENOTTY.
    bool ok = ioctl(port->fd, request, &line) == 0;
    return traced(kNames[function], static_cast<long>(port->number), ok);
}

}  // namespace platform
