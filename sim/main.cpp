// merlin-sim: an emulated motor controller on a pseudo-terminal, so that the
// tool can be tried and tested without a mount. A second pseudo-terminal
// carries a line-based control protocol that tests use to steer it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/command_line.h"
#include "sim/pty_port.h"
#include "sim/simulator.h"

namespace {

// Lateness a written piece may have before the pieces after it move back.
constexpr auto kLateSlack = std::chrono::microseconds(200);

constexpr int kHangupBackoffMs = 50;
// A control line longer than this is refused.
constexpr size_t kMaxControlLine = 4096;
// Answers waiting for the control port's reader; beyond this no more
// commands are read until it has taken them.
constexpr size_t kControlBacklog = size_t(1) << 20;
// Pieces written to the network in one round: a send there never waits, so a
// flood gives the loop back now and then.
constexpr int kNetworkPiecesPerRound = 16;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    sim::CommandLine given;
    const int status = sim::readCommandLine(argc, argv, &given);
    if (status >= 0)
        return status;
    auto& network = given.network;
    std::FILE* logFile = given.logFile;
    // Something the machine refused once the command line was good.
    auto failed = [](const std::string& why) {
        std::fprintf(stderr, "merlin-sim: %s\n", why.c_str());
        return 1;
    };
    sim::Port data, control;
    std::vector<sim::Link> links;

    if (!sim::openPty(&data.pty) || !sim::openPty(&control.pty)) {
        return failed(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno));
    }
    for (const auto& path : given.dataLinks)
        links.push_back(sim::Link{path, &data.pty});
    // "<link>.control" beside each link to the control port tells a port
    // list that it is no mount.
    for (const auto& path : given.controlLinks) {
        links.push_back(sim::Link{path, &control.pty});
        links.push_back(sim::Link{path + ".control", &control.pty});
    }

    // Signals are only taken inside ppoll, so none is lost between checks.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    for (const auto& port : network) {
        std::string why;
        if (!port->listen(&why))
            return failed(why);
    }
    for (const sim::Link& link : links) {
        if (!sim::makeLink(link)) {
            int saved = errno;
            for (const sim::Link& made : links)
                sim::removeLink(made);
            return failed("cannot link " + link.path + ": " + std::strerror(saved));
        }
    }
    std::printf("merlin-sim: data port %s\n", data.pty.path.c_str());
    for (const auto& port : network)
        std::printf("merlin-sim: data port %s\n", port->address().c_str());
    std::printf("merlin-sim: control port %s\n", control.pty.path.c_str());
    for (const sim::Link& link : links) {
        std::printf("merlin-sim: %s -> %s\n", link.path.c_str(), link.pty->path.c_str());
    }
    std::fflush(stdout);

    sim::Simulator simulator(given.settings, sim::Clock::now());
    simulator.setLogFile(logFile);
    std::string controlIn, controlOut;
    bool skippingLine = false;  // the rest of a line too long
    // Answers go back the way the latest bytes came: the pty (null) or a
    // network port.
    sim::NetworkPort* answerTo = nullptr;

    while (!stopRequested) {
        auto now = sim::Clock::now();
        simulator.advance(now);    // so the log shows a goto ending when it does
        simulator.takeInput(now);  // frames that waited for room in the output, before any command
        // Commands, as long as their reader keeps up with the answers.
        while (controlOut.size() < kControlBacklog) {
            const size_t end = controlIn.find('\n');
            if (skippingLine) {
                controlIn.erase(0, end == std::string::npos ? end : end + 1);
                skippingLine = end == std::string::npos;
                if (skippingLine)
                    break;
                continue;
            }
            // Refused once, and the rest of it up to its end is dropped.
            if ((end == std::string::npos ? controlIn.size() : end) > kMaxControlLine) {
                controlOut += "error line too long\n";
                skippingLine = true;
                continue;
            }
            if (end == std::string::npos)
                break;
            std::string line = controlIn.substr(0, end);
            controlIn.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos)
                continue;
            controlOut += simulator.control(line, now);
        }
        if (simulator.takeFlushRequest()) {
            if (data.pty.slave >= 0)
                tcflush(data.pty.slave, TCIFLUSH);
            for (const auto& port : network)
                port->discardInput();
        }
        switch (simulator.takePortRequest()) {
        case sim::PortRequest::Vanish:
            if (data.pty.master >= 0) {
                close(data.pty.master);
                close(data.pty.slave);
                data.pty.master = data.pty.slave = -1;
                // Off the network as well, as an adapter switched off.
                for (const auto& port : network)
                    port->vanish();
            }
            break;
        case sim::PortRequest::Restore:
            if (data.pty.master < 0 && sim::openPty(&data.pty)) {
                for (const sim::Link& link : links) {
                    if (link.pty == &data.pty)
                        sim::makeLink(link);
                }
                for (const auto& port : network)
                    port->restore();
            }
            break;
        case sim::PortRequest::None:
            break;
        }
        const bool dataPresent = data.pty.master >= 0;
        if (!dataPresent)
            simulator.dropOutput();  // no device, no line to write on

        // Write what is due; a full pty makes us wait for room.
        bool dataBlocked = false;
        bool throttled = false;
        int networkPieces = 0;
        auto& output = simulator.output();
        for (;;) {
            if (dataPresent)
                simulator.topUpFlood(now);
            if (output.empty() || output.front().due > now)
                break;
            if (answerTo && ++networkPieces > kNetworkPiecesPerRound) {
                throttled = true;
                break;
            }
            sim::Chunk& chunk = output.front();
            ssize_t n = answerTo ? answerTo->send(chunk.bytes.data(), chunk.bytes.size())
                                 : write(data.pty.master, chunk.bytes.data(), chunk.bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                dataBlocked = true;
                break;
            }
            if (n >= 0 && size_t(n) < chunk.bytes.size()) {
                chunk.bytes.erase(0, size_t(n));
                continue;
            }
            // Written whole, or refused for good (no one to hear it).
            sim::Chunk done = std::move(chunk);
            output.pop_front();
            const auto writtenAt = sim::Clock::now();
            // A line never catches up: a piece that went out late (a busy
            // machine, a full pty) pushes the rest back by as much, so the
            // gaps between pieces are kept rather than sent in one burst.
            if (writtenAt > done.due + kLateSlack) {
                const auto late = writtenAt - done.due;
                for (sim::Chunk& next : output)
                    next.due += late;
            }
            simulator.written(done, writtenAt);
        }
        if (!controlOut.empty()) {
            ssize_t n = write(control.pty.master, controlOut.data(), controlOut.size());
            if (n > 0)
                controlOut.erase(0, size_t(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                controlOut.clear();
        }

        // A full output stops the reading, as a stall does, until it drains.
        const bool reading = !simulator.stalled() && simulator.readyForInput();
        const bool commanding = controlOut.size() < kControlBacklog;
        std::vector<pollfd> fds = {
            {data.pty.master, short((reading ? POLLIN : 0) | (dataBlocked && !answerTo ? POLLOUT : 0)), 0},
            {control.pty.master, short((commanding ? POLLIN : 0) | (controlOut.empty() ? 0 : POLLOUT)), 0},
        };
        for (const auto& port : network) {
            fds.resize(fds.size() + sim::NetworkPort::kPollEntries);
            port->pollFor(&fds[fds.size() - sim::NetworkPort::kPollEntries], reading,
                          dataBlocked && answerTo == port.get());
        }
        auto wait = std::chrono::nanoseconds(std::chrono::seconds(1));
        if (!output.empty() && !dataBlocked)
            wait = std::min(wait, output.front().due - now);
        if (simulator.nextAxisEvent() != sim::Clock::time_point::max())
            wait = std::min(wait, std::chrono::nanoseconds(simulator.nextAxisEvent() - now));
        if (throttled)
            wait = std::min(wait, std::chrono::nanoseconds(std::chrono::milliseconds(1)));
        sim::Port* ports[2] = {&data, &control};
        for (int i = 0; i < 2; ++i) {
            if (ports[i]->quietUntil > now) {
                fds[i].fd = -1;
                wait = std::min(wait, std::chrono::nanoseconds(ports[i]->quietUntil - now));
            }
        }
        if (wait.count() < 0)
            wait = wait.zero();
        timespec timeout = {time_t(wait.count() / 1000000000), long(wait.count() % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &timeout, &waitMask) < 0)
            continue;  // a signal, most likely

        now = sim::Clock::now();
        std::string received;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            if ((i == 0 && !reading) || (i == 1 && !commanding))
                continue;
            std::string& into = i == 0 ? received : controlIn;
            if (!sim::readPort(fds[i].fd, &into) || (fds[i].revents & (POLLHUP | POLLERR))) {
                ports[i]->quietUntil = now + std::chrono::milliseconds(kHangupBackoffMs);
            }
            if (i == 0 && !received.empty())
                answerTo = nullptr;
        }
        for (size_t i = 0; i < network.size(); ++i) {
            const size_t before = received.size();
            if (network[i]->take(&fds[2 + i * sim::NetworkPort::kPollEntries], &received))
                answerTo = network[i].get();
            // A client gone: what it sent last and what waits for it are for
            // nobody, and must not reach the next one.
            if (network[i]->takeHangUp() && answerTo == network[i].get()) {
                received.resize(before);
                simulator.dropInput();
                simulator.dropOutput();
            }
        }
        if (!received.empty())
            simulator.receive(received.data(), received.size(), now);
    }

    for (const sim::Link& link : links)
        sim::removeLink(link);
    if (logFile)
        std::fclose(logFile);
    return 0;
}
