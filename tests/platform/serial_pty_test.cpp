// POSIX serial ports on pseudo-terminals that the tests make themselves:
// the settings a port gets, how COM numbers find devices, exclusive opens,
// a device that vanishes, and modem lines that a pty cannot carry; and ports
// on the network, against sockets of the tests' own on the loopback address.
// Native only: a program under wine can make no pty and wine shares serial
// ports.
#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/posix/net_posix.h"
#include "tests/platform/serial_reading.h"
#include "tests/support/fake_system.h"
#include "tests/support/port_links.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace platform;
using namespace serial_testing;

namespace {

std::string portsDirectory()
{
    return portLinkDirectory();
}

std::string linkPath(unsigned number)
{
    return portsDirectory() + "/com" + std::to_string(number);
}

std::string devicePath(unsigned number)
{
    char path[512];
    portDevicePath(number, path, sizeof path);
    return path;
}

// A pseudo-terminal reachable as COM<number> through the ports directory.
// The test talks to the far end through the master; `slave` is a second
// handle on the port's own device, for looking at its settings.
class PtyPort {
public:
    explicit PtyPort(unsigned number) : number_(number)
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        for (size_t at = 1; at != std::string::npos; at = portsDirectory().find('/', at + 1))
            mkdir(portsDirectory().substr(0, at).c_str(), 0755);
        mkdir(portsDirectory().c_str(), 0755);
        unlink(linkPath(number).c_str());
        linked_ = symlink(ttyname(slave), linkPath(number).c_str()) == 0;
    }
    ~PtyPort()
    {
        unlink(linkPath(number_).c_str());
        closeMaster();
        if (slave >= 0)
            close(slave);
    }
    bool ready() const { return master >= 0 && linked_; }
    void closeMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }
    bool writeFarEnd(const std::vector<uint8_t>& bytes)
    {
        return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Reads what the port sent, waiting at most `milliseconds` for each piece.
    std::vector<uint8_t> readFarEnd(size_t count, int milliseconds)
    {
        std::vector<uint8_t> bytes;
        while (bytes.size() < count) {
            pollfd readable = {master, POLLIN, 0};
            if (poll(&readable, 1, milliseconds) <= 0)
                break;
            uint8_t buffer[256];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

    int master = -1;
    int slave = -1;

private:
    unsigned number_;
    bool linked_ = false;
};

// COM numbers of this suite's own links, one per test since CTest runs them
// side by side; the port fixture owns COM5 to COM8.
constexpr unsigned kLinkPort = 22;
constexpr unsigned kBusyPort = 23;
constexpr unsigned kVanishingPort = 24;
constexpr unsigned kModemPort = 25;
constexpr unsigned kPurgePort = 26;
constexpr unsigned kStalledPort = 27;
constexpr unsigned kReadPort = 28;
constexpr unsigned kHighPort = 170;
constexpr unsigned kFoundPort = 29;
constexpr unsigned kLongLinkPort = 30;
constexpr unsigned kKindPort = 31;
constexpr unsigned kLockPort = 32;
constexpr unsigned kAdoptedPort = 34;  // /dev/ttyUSB1 in the table
constexpr unsigned kDatagramPort = 35;
constexpr unsigned kStreamPort = 36;

// A directory of the test's own under /tmp, removed with what it holds.
struct ScratchDirectory {
    ScratchDirectory()
    {
        char name[] = "/tmp/merlintest-ports-XXXXXX";
        if (mkdtemp(name))
            path = name;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

// Sets an environment variable for one scope; unset afterwards unless it had
// a value to put back.
struct ScopedEnvironment {
    ScopedEnvironment(const char* name, const std::string& value)
        : name(name), old(std::getenv(name) ? std::getenv(name) : "")
    {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() { old.empty() ? unsetenv(name) : setenv(name, old.c_str(), 1); }
    const char* name;
    std::string old;
};

std::string openFailure()
{
    char reason[2 * PATH_MAX];
    serialOpenFailure(reason, sizeof reason);
    return reason;
}

// Writes a frame as a connect would.
bool writeFrame(SerialPort* port, const char* frame)
{
    Event* done = createEvent(false, false);
    bool written = serialWrite(port, done, reinterpret_cast<const uint8_t*>(frame),
                               static_cast<uint32_t>(std::strlen(frame)), 1000) == WaitFirst;
    closeEvent(done);
    return written;
}

// ---- Port names -------------------------------------------------------------

TEST(SerialNames, FixedTableMapsEachBlockOf32ToADeviceFamily)
{
    struct Case {
        unsigned number;
        const char* path;
    };
    const Case cases[] = {
        {1, "/dev/ttyS0"},      {3, "/dev/ttyS2"},     {32, "/dev/ttyS31"},    {33, "/dev/ttyUSB0"},
        {64, "/dev/ttyUSB31"},  {65, "/dev/ttyACM0"},  {96, "/dev/ttyACM31"},  {97, "/dev/rfcomm0"},
        {128, "/dev/rfcomm31"}, {129, "/dev/ttyAMA0"}, {160, "/dev/ttyAMA31"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(devicePath(c.number), c.path) << "COM" << c.number;
    // Past the table only a link can name a device.
    EXPECT_EQ(devicePath(161), linkPath(161));
    EXPECT_EQ(devicePath(256), linkPath(256));
    EXPECT_EQ(devicePath(0), "");
    EXPECT_EQ(devicePath(257), "");
}

TEST(SerialNames, PathIsCutToTheRoomGiven)
{
    char path[8];
    portDevicePath(40, path, sizeof path);
    EXPECT_STREQ(path, "/dev/tt");
}

TEST(SerialNames, LinkInThePortsDirectoryTakesPrecedence)
{
    EXPECT_EQ(devicePath(kLinkPort), "/dev/ttyS21");
    {
        PtyPort pty(kLinkPort);
        ASSERT_TRUE(pty.ready());
        EXPECT_EQ(devicePath(kLinkPort), linkPath(kLinkPort));
        SerialPort* port = serialOpen(kLinkPort);
        ASSERT_NE(port, nullptr);
        serialSetLine9600_8N1(port);
        ASSERT_TRUE(pty.writeFarEnd(bytesOf("=\r")));
        auto reader = std::make_unique<PortReader>(port);
        Event* stop = createEvent(true, false);
        EXPECT_EQ(reader->take(stop, 2, 5000).bytes, bytesOf("=\r"));
        reader.reset();
        closeEvent(stop);
        serialClose(port);
    }
    EXPECT_EQ(devicePath(kLinkPort), "/dev/ttyS21");
}

TEST(SerialNames, NumbersPastTheTableOpenThroughTheirLink)
{
    EXPECT_EQ(serialOpen(kHighPort), nullptr);
    EXPECT_EQ(openFailure(), "COM170 (" + linkPath(kHighPort) + "): no such device");
    PtyPort pty(kHighPort);
    ASSERT_TRUE(pty.ready());
    SerialPort* port = serialOpen(kHighPort);
    EXPECT_NE(port, nullptr);
    EXPECT_EQ(openFailure(), "") << "an open that succeeds has no reason to give";
    serialClose(port);
    // A link to a device that has gone is shown by where it points.
    unlink(linkPath(kHighPort).c_str());
    ASSERT_EQ(symlink("/dev/merlintest-gone", linkPath(kHighPort).c_str()), 0);
    EXPECT_EQ(serialOpen(kHighPort), nullptr);
    EXPECT_EQ(openFailure(), "COM170 (/dev/merlintest-gone): no such device");
}

// The link directory is ${XDG_CONFIG_HOME:-$HOME/.config}/merlintest/ports;
// a relative XDG_CONFIG_HOME counts as unset.
TEST(SerialNames, LinkDirectoryFollowsXdgConfigHome)
{
    const std::string saved = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    const std::string home = std::getenv("HOME");
    struct Case {
        const char* xdg;  // null: unset
        std::string directory;
    };
    const Case cases[] = {
        {"/elsewhere/config", "/elsewhere/config/merlintest/ports"},
        {"relative/config", home + "/.config/merlintest/ports"},
        {"", home + "/.config/merlintest/ports"},
        {nullptr, home + "/.config/merlintest/ports"},
    };
    for (const Case& c : cases) {
        if (c.xdg)
            setenv("XDG_CONFIG_HOME", c.xdg, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(devicePath(200), c.directory + "/com200") << (c.xdg ? c.xdg : "(unset)");
    }
    if (saved.empty())
        unsetenv("XDG_CONFIG_HOME");
    else
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

// What the port list shows: whether COM n's device is there, and where a
// user's link points.
TEST(SerialNames, FoundDeviceNamesALinksTargetAndNotAVanishedOne)
{
    char device[512], target[512];
    EXPECT_FALSE(portDeviceFound(kFoundPort, device, sizeof device, target, sizeof target));
    EXPECT_STREQ(device, "/dev/ttyS28");
    std::string ptyName;
    {
        PtyPort pty(kFoundPort);
        ASSERT_TRUE(pty.ready());
        ptyName = ttyname(pty.slave);
        ASSERT_TRUE(portDeviceFound(kFoundPort, device, sizeof device, target, sizeof target));
        EXPECT_EQ(device, linkPath(kFoundPort));
        EXPECT_EQ(target, ptyName);
        // A link that points at nothing opens nothing.
        unlink(linkPath(kFoundPort).c_str());
        ASSERT_EQ(symlink("/dev/merlintest-gone", linkPath(kFoundPort).c_str()), 0);
        EXPECT_FALSE(portDeviceFound(kFoundPort, device, sizeof device, target, sizeof target));
        EXPECT_STREQ(target, "/dev/merlintest-gone");
    }
    EXPECT_FALSE(portDeviceFound(0, device, sizeof device, target, sizeof target));
    EXPECT_STREQ(device, "");
}

TEST(SerialNames, NumbersOutsideTheRangeAreRefusedEvenWithALink)
{
    PtyPort pty(kMaxPortNumber + 1);
    ASSERT_TRUE(pty.ready());
    EXPECT_EQ(serialOpen(kMaxPortNumber + 1), nullptr);
}

// A link deep in the user's directories opens what it points to; when the
// link's path is too long to look at, nothing opens, never the table's device.
TEST(SerialNames, LinkIsFollowedHoweverLongItsPathAndNeverBypassed)
{
    ScratchDirectory scratch;
    std::string deep = scratch.path;
    while (deep.size() < 520)
        deep += "/" + std::string(100, 'd');
    {
        ScopedEnvironment config("XDG_CONFIG_HOME", deep);
        PtyPort pty(kLongLinkPort);
        ASSERT_TRUE(pty.ready());
        SerialPort* port = serialOpen(kLongLinkPort);
        EXPECT_TRUE(port && writeFrame(port, ":F1\r"));
        EXPECT_EQ(pty.readFarEnd(4, 5000), bytesOf(":F1\r"));
        serialClose(port);
    }
    ScopedEnvironment config("XDG_CONFIG_HOME", "/" + std::string(PATH_MAX, 'x'));
    EXPECT_EQ(devicePath(1), "");
    EXPECT_EQ(serialOpen(1), nullptr);
    // And says so, by the link's own name.
    EXPECT_EQ(openFailure(), "COM1 (/" + std::string(PATH_MAX, 'x') + "/merlintest/ports/com1): file name too long");
}

// A device path named on the command line is a port of this process: the
// table's number when it leads to a table device, else the highest number;
// it comes before a link of the user's, and opens as any port does.
TEST(SerialNames, AdoptedDevicePathTakesTheTablesNumberOrTheHighest)
{
    ScratchDirectory scratch;
    PtyPort linked(kAdoptedPort);
    ASSERT_TRUE(linked.ready());
    struct Case {
        std::string path;
        unsigned number;
    };
    std::vector<Case> cases = {
        {"/dev/ttyUSB1", kAdoptedPort},    {"/dev/rfcomm31", 128},        {"/dev/ttyUSB01", kMaxPortNumber},
        {"/dev/ttyUSB32", kMaxPortNumber}, {"/dev/ttyS", kMaxPortNumber},
    };
    // A stable name leads to its device, as /dev/serial/by-id names do.
    const std::string byId = scratch.path + "/usb-by-id";
    if (access("/dev/ttyS0", F_OK) == 0 && symlink("/dev/ttyS0", byId.c_str()) == 0)
        cases.push_back({byId, 1});
    for (const Case& c : cases) {
        EXPECT_EQ(adoptDevicePath(c.path.c_str()), c.number) << c.path;
        EXPECT_EQ(devicePath(c.number), c.path);
    }

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(adoptDevicePath(ttyname(slave)), kMaxPortNumber);
    SerialPort* port = serialOpen(kMaxPortNumber);
    EXPECT_TRUE(port && writeFrame(port, ":F1\r"));
    serialClose(port);
    char sent[8] = {};
    pollfd readable = {master, POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 5000) == 1 ? read(master, sent, sizeof sent - 1) : -1, 4);
    EXPECT_STREQ(sent, ":F1\r");
    close(master);
    close(slave);

    EXPECT_EQ(adoptDevicePath(nullptr), 0u);
    EXPECT_EQ(devicePath(kAdoptedPort), linkPath(kAdoptedPort));
    EXPECT_EQ(devicePath(kMaxPortNumber), linkPath(kMaxPortNumber));
}

// ---- Port kinds -------------------------------------------------------------

// Only a terminal is a port. Whatever else a link names is refused at once,
// before anything is written to it: a file is left as it was.
TEST(SerialKinds, OnlyATerminalOpensAndNothingElseIsTouched)
{
    ScratchDirectory scratch;
    const std::string file = scratch.path + "/file", fifo = scratch.path + "/fifo";
    const std::string contents(8192, 'c');
    std::ofstream(file) << contents;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> kinds = {file, fifo, scratch.path, "/dev/null", "/dev/zero"};
    struct stat status;
    if (stat("/dev/loop0", &status) == 0 && S_ISBLK(status.st_mode))
        kinds.push_back("/dev/loop0");

    PtyPort pty(kKindPort);
    ASSERT_TRUE(pty.ready());
    kinds.push_back(ttyname(pty.slave));
    for (const std::string& target : kinds) {
        unlink(linkPath(kKindPort).c_str());
        ASSERT_EQ(symlink(target.c_str(), linkPath(kKindPort).c_str()), 0);
        const uint64_t start = nowMilliseconds();
        SerialPort* port = serialOpen(kKindPort);
        EXPECT_EQ(port != nullptr, target == kinds.back()) << target;
        if (!port) {
            EXPECT_EQ(openFailure(), "COM31 (" + target + "): not a serial device");
        }
        EXPECT_LT(nowMilliseconds() - start, 1000u) << target;
        if (port && target == file)
            writeFrame(port, ":F1\r");
        serialClose(port);
    }
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), contents);
}

// What a device is, from /dev/serial/by-id and sysfs in a tree of the test's
// own: a USB-serial cable by its name, one reached through a link of the
// user's to its by-id name, a modem-class device, one behind a hub, a
// built-in port and a board's UART. The strings are the USB device's own, as it gave them.
TEST(SerialNames, DescribesADeviceByItsByIdNameAndTheStringsItsKernelReports)
{
    FakeSystem system;
    ASSERT_FALSE(system.root().empty());
    system.addUsbDevice("ttyUSB0", "1-2", "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "FTDI", "FT232R USB UART");
    // A device names itself: a control character must reach no list as it is.
    system.addUsbDevice("ttyACM0", "1-3", "usb-Arduino_Uno_7-if00", "Arduino", "Arduino Uno\x1b[2J");
    system.addUsbDevice("ttyUSB1", "1-4", "", "", "USB-Serial Controller");
    // No strings of its own, behind a hub, below the root hub: both have theirs.
    system.addUsbDevice("ttyUSB2", "1-5.3", "", "", "");
    system.addUsbDevice("ttyUSB3", "1-6", "", "Prolific", "");
    system.addPlatformDevice("ttyS0");
    // A board's own UART, known by the name the board gives it.
    system.addBoardUart("ttyAMA0", "serial0");
    const std::string userLink = system.root() + "/com40";
    ASSERT_EQ(symlink("/dev/serial/by-id/usb-Arduino_Uno_7-if00", userLink.c_str()), 0);
    UseSystemRoot use(system.root());

    PortDevice usb = describePortDevice("/dev/ttyUSB0");
    EXPECT_EQ(usb.byId, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    EXPECT_EQ(usb.manufacturer, "FTDI");
    EXPECT_EQ(usb.product, "FT232R USB UART");
    EXPECT_EQ(usb.kernelName, "ttyUSB0");
    EXPECT_EQ(productName(usb), "FTDI FT232R USB UART");

    PortDevice acm = describePortDevice(userLink.c_str());
    EXPECT_EQ(acm.byId, "/dev/serial/by-id/usb-Arduino_Uno_7-if00");
    EXPECT_EQ(acm.kernelName, "ttyACM0");
    EXPECT_EQ(acm.product, "Arduino Uno\x1b[2J");
    EXPECT_EQ(productName(acm), "Arduino Uno\x1b[2J") << "the maker is named once";
    EXPECT_EQ(displayText(productName(describePortDevice("/dev/ttyACM0"))), "Arduino Uno\\x1B[2J");

    PortDevice noLink = describePortDevice("/dev/ttyUSB1");
    EXPECT_EQ(noLink.byId, "");
    EXPECT_EQ(productName(noLink), "USB-Serial Controller");
    EXPECT_EQ(productName(describePortDevice("/dev/ttyUSB3")), "Prolific");
    const PortDevice uart = describePortDevice("/dev/ttyAMA0");
    EXPECT_EQ(uart.byId + "|" + productName(uart), "/dev/serial0|");

    for (const char* plain : {"/dev/ttyUSB2", "/dev/ttyS0", "/dev/ttyS1", "/dev/pts/0", ""}) {
        const PortDevice none = describePortDevice(plain);
        EXPECT_EQ(none.byId + none.manufacturer + none.product, "") << plain;
        EXPECT_FALSE(none.simulatorControl) << plain;
    }
}

// A USB string is at most 126 characters: a longer one (a tree's own, or a
// device that lies) is cut after its 126th character, never inside one; bytes
// that are no UTF-8 are kept for the escapes of whoever shows them.
TEST(SerialNames, StringsAreCutAtACharacterAndKeptAsTheDeviceGaveThem)
{
    std::string wide;
    for (int i = 0; i < 130; ++i)
        wide += "\xe8\xaa\x9e";  // 3 bytes each
    FakeSystem system;
    system.addUsbDevice("ttyUSB0", "1-2", "", "", "FT232R " + wide);
    system.addUsbDevice("ttyUSB1", "1-3", "", "\xff\xfe", "Cable\xff");
    UseSystemRoot use(system.root());

    const std::string cut = describePortDevice("/dev/ttyUSB0").product;
    EXPECT_EQ(cut, "FT232R " + wide.substr(0, 3 * (kMaxNameCharacters - 7)));
    EXPECT_EQ(displayText(cut), cut) << "whole characters only";
    const PortDevice raw = describePortDevice("/dev/ttyUSB1");
    EXPECT_EQ(productName(raw), "\xff\xfe Cable\xff");
    EXPECT_EQ(displayText(productName(raw)), "\\xFF\\xFE Cable\\xFF");
}

// Text fit to show: valid UTF-8 stays as it is; what is no text is escaped
// as the frame trace escapes it.
TEST(SerialNames, DisplayTextKeepsUtf8AndEscapesTheRest)
{
    const struct {
        const char* bytes;
        const char* shown;
    } cases[] = {
        {"Prolific T\xc3\xa9"
         "cnica \xe8\xaa\x9e \xf0\x9f\x94\xad",
         "Prolific T\xc3\xa9"
         "cnica \xe8\xaa\x9e \xf0\x9f\x94\xad"},
        {"a\tb\nc\rd\\e", "a\\tb\\nc\\rd\\\\e"},
        {"\x1b[2J\x7f", "\\x1B[2J\\x7F"},
        {"next\xc2\x85line\xc2\xa0", "next\\xC2\\x85line\xc2\xa0"},  // C1 NEL escaped, no-break space kept
        {"\xc0\xaf", "\\xC0\\xAF"},                                  // overlong
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},                         // a surrogate
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},                // past U+10FFFF
        {"cut \xe8\xaa", "cut \\xE8\\xAA"},                          // cut short
        {"\x80 \xff\xfe", "\\x80 \\xFF\\xFE"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(displayText(c.bytes), c.shown) << c.bytes;
}

// The by-id names are read once a listing, and again as soon as the directory
// changes: a cable plugged in or pulled out shows at the next look.
TEST(SerialNames, ByIdNamesFollowTheDirectory)
{
    FakeSystem system;
    system.addUsbDevice("ttyUSB0", "1-2", "usb-A-if00-port0", "FTDI", "FT232R USB UART");
    system.addUsbDevice("ttyUSB1", "1-3", "", "FTDI", "FT232R USB UART");
    UseSystemRoot use(system.root());
    EXPECT_EQ(describePortDevice("/dev/ttyUSB1").byId, "");
    system.addById("usb-B-if00-port0", "ttyUSB1");
    EXPECT_EQ(describePortDevice("/dev/ttyUSB1").byId, "/dev/serial/by-id/usb-B-if00-port0");
    // The first name in order when two lead to one device.
    system.addById("usb-0-if00-port0", "ttyUSB1");
    {
        const PortListing listing;
        EXPECT_EQ(describePortDevice("/dev/ttyUSB1").byId, "/dev/serial/by-id/usb-0-if00-port0");
        EXPECT_EQ(describePortDevice("/dev/ttyUSB0").byId, "/dev/serial/by-id/usb-A-if00-port0");
    }
    system.removeById("usb-0-if00-port0");
    system.removeById("usb-B-if00-port0");
    EXPECT_EQ(describePortDevice("/dev/ttyUSB1").byId, "");
    EXPECT_EQ(describePortDevice("/dev/ttyUSB0").byId, "/dev/serial/by-id/usb-A-if00-port0");
}

// A command-line word names a device by its path when it holds a '/' or
// names a file here; a COM number stays one even where a file has its name.
TEST(SerialNames, DevicePathTextIsAPathOrAFileButNeverACOMNumber)
{
    ScratchDirectory scratch;
    char* saved = getcwd(nullptr, 0);
    ASSERT_NE(saved, nullptr);
    ASSERT_EQ(chdir(scratch.path.c_str()), 0);
    for (const char* file : {"ttyUSB0", "7", "COM8", "com9"})
        std::ofstream(std::string(file)) << "";
    const struct {
        const char* text;
        bool path;
    } cases[] = {
        {"/dev/ttyUSB0", true},    {"./ttyUSB0", true}, {"../x/ttyUSB0", true}, {"serial/by-id/usb-x", true},
        {"udp://192.0.2.1", true}, {"ttyUSB0", true},   {"ttyUSB1", false},     {"7", false},
        {"COM8", false},           {"com9", false},     {"COM", false},         {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isDevicePathText(c.text), c.path) << c.text;
    EXPECT_FALSE(isDevicePathText(nullptr));
    EXPECT_EQ(chdir(saved), 0);
    std::free(saved);
}

// ---- Settings ---------------------------------------------------------------

// The CRTSCTS and HUPCL bits that the port has before it is set up, and a
// COM number for each case, since CTest runs them side by side.
struct KeptLineFlags {
    tcflag_t flags;
    unsigned port;
};

class SerialSettings : public ::testing::TestWithParam<KeptLineFlags> {};

TEST_P(SerialSettings, LineBecomesRaw9600_8N1AndKeepsFlowControlAndHangUp)
{
    const unsigned number = GetParam().port;
    PtyPort pty(number);
    ASSERT_TRUE(pty.ready());
    // Start from a cooked 1200 baud 7E2 line with XON/XOFF and CR mapping.
    termios before;
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    before.c_iflag |= ICRNL | IXON | INPCK | ISTRIP;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CRTSCTS | HUPCL);
    before.c_cflag |= CS7 | PARENB | CSTOPB | GetParam().flags;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 5;
    cfsetispeed(&before, B1200);
    cfsetospeed(&before, B1200);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

    SerialPort* port = serialOpen(number);
    ASSERT_NE(port, nullptr);
    serialSetLine9600_8N1(port);
    serialSetReadIntervalTimeouts(port);
    serialSetQueueSizes(port, 8096, 8096);

    termios after;
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(after.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(after.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | INPCK | ISTRIP), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.c_cc[VMIN], 0);
    EXPECT_EQ(after.c_cc[VTIME], 0);
    EXPECT_EQ(after.c_cflag & (CRTSCTS | HUPCL), GetParam().flags);

    // And the bytes that cooked mode would have changed arrive as sent.
    auto reader = std::make_unique<PortReader>(port);
    Event* stop = createEvent(true, false);
    const std::vector<uint8_t> raw = {'\r', '\n', 0x11, 0x13, 0x03, 0x7F, 0xFF};
    ASSERT_TRUE(pty.writeFarEnd(raw));
    EXPECT_EQ(reader->take(stop, raw.size(), 5000).bytes, raw);
    Event* done = createEvent(false, false);
    EXPECT_EQ(serialWrite(port, done, raw.data(), static_cast<uint32_t>(raw.size()), 1000), WaitFirst);
    EXPECT_EQ(pty.readFarEnd(raw.size(), 5000), raw);

    closeEvent(done);
    closeEvent(stop);
    reader.reset();
    serialClose(port);

    // Closed, the terminal is left as it was found.
    termios found;
    ASSERT_EQ(tcgetattr(pty.slave, &found), 0);
    EXPECT_EQ(cfgetispeed(&found), static_cast<speed_t>(B1200));
    EXPECT_EQ(cfgetospeed(&found), static_cast<speed_t>(B1200));
    EXPECT_EQ(found.c_iflag, before.c_iflag);
    EXPECT_EQ(found.c_oflag, before.c_oflag);
    EXPECT_EQ(found.c_lflag, before.c_lflag);
    EXPECT_EQ(found.c_cflag, before.c_cflag);
    EXPECT_EQ(std::memcmp(found.c_cc, before.c_cc, sizeof found.c_cc), 0);
}

INSTANTIATE_TEST_SUITE_P(FlowControlAndHangUp, SerialSettings,
                         ::testing::Values(KeptLineFlags{0, 35}, KeptLineFlags{CRTSCTS, 36}, KeptLineFlags{HUPCL, 37},
                                           KeptLineFlags{CRTSCTS | HUPCL, 38}),
                         [](const ::testing::TestParamInfo<KeptLineFlags>& info) {
                             const tcflag_t flags = info.param.flags;
                             return std::string((flags & CRTSCTS) ? "Rtscts" : "NoRtscts") +
                                    ((flags & HUPCL) ? "Hupcl" : "NoHupcl");
                         });

// ---- Exclusive open, purge, writes ------------------------------------------

TEST(SerialPort, PortHeldByAnotherOpenIsRefusedUntilClosed)
{
    PtyPort pty(kBusyPort);
    ASSERT_TRUE(pty.ready());
    SerialPort* first = serialOpen(kBusyPort);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(serialOpen(kBusyPort), nullptr);
    // Held through flock, which names no holder.
    EXPECT_EQ(openFailure(), "COM23 (" + std::string(ttyname(pty.slave)) + "): busy: held by another program");
    serialClose(first);
    SerialPort* again = serialOpen(kBusyPort);
    EXPECT_NE(again, nullptr);
    serialClose(again);
}

// Serial programs that do not lock the device itself leave a lock file
// LCK..<device name> holding their process id. A live holder keeps the port;
// one that has gone, or this process, does not.
TEST(SerialPort, LockFileOfALiveProgramKeepsThePort)
{
    ScratchDirectory locks;
    ScopedEnvironment lockDirectory("MERLIN_LOCK_DIR", locks.path);
    PtyPort pty(kLockPort);
    ASSERT_TRUE(pty.ready());
    const std::string device = ttyname(pty.slave);
    const std::string lock = locks.path + "/LCK.." + device.substr(device.rfind('/') + 1);
    const pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    auto ascii = [](pid_t pid) {
        const std::string digits = std::to_string(pid);
        return std::string(10 - digits.size(), ' ') + digits + "\n";
    };
    auto binary = [](pid_t pid) { return std::string(reinterpret_cast<const char*>(&pid), 4); };
    // The port is busy, and says who holds it, by name where /proc has one.
    std::string parent;
    std::getline(std::ifstream("/proc/" + std::to_string(getppid()) + "/comm"), parent);
    const std::string busy =
        "COM32 (" + device + "): busy: held by " + parent + " (process " + std::to_string(getppid()) + ")";
    struct Case {
        std::string contents;
        std::string reason;  // empty: it opens
    };
    // The parent that runs this test is a live program other than this one.
    const Case cases[] = {
        {ascii(getppid()), busy}, {binary(getppid()), busy}, {ascii(getpid()), ""},
        {ascii(gone), ""},        {binary(gone), ""},        {"no process\n", ""},
    };
    for (const Case& c : cases) {
        std::ofstream(lock, std::ios::binary | std::ios::trunc) << c.contents;
        SerialPort* port = serialOpen(kLockPort);
        EXPECT_EQ(port == nullptr, !c.reason.empty()) << c.contents;
        EXPECT_EQ(openFailure(), c.reason) << c.contents;
        serialClose(port);
    }
    EXPECT_EQ(access(lock.c_str(), F_OK), 0) << "a stale lock is left where it is";
}

TEST(SerialPort, PurgeDiscardsWhatWasWaiting)
{
    PtyPort pty(kPurgePort);
    ASSERT_TRUE(pty.ready());
    SerialPort* port = serialOpen(kPurgePort);
    ASSERT_NE(port, nullptr);
    serialSetLine9600_8N1(port);
    ASSERT_TRUE(pty.writeFarEnd(bytesOf("stale")));
    pollfd waiting = {pty.slave, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 5000), 1);
    serialPurge(port);
    ASSERT_TRUE(pty.writeFarEnd(bytesOf("=\r")));
    auto reader = std::make_unique<PortReader>(port);
    Event* stop = createEvent(true, false);
    EXPECT_EQ(reader->take(stop, 2, 5000).bytes, bytesOf("=\r"));
    closeEvent(stop);
    reader.reset();
    // What was written goes out, purge and close notwithstanding.
    EXPECT_TRUE(writeFrame(port, ":D1\r"));
    serialPurge(port);
    serialClose(port);
    EXPECT_EQ(pty.readFarEnd(4, 5000), bytesOf(":D1\r"));
}

TEST(SerialPort, WriteThatCannotFinishGivesUpInTime)
{
    PtyPort pty(kStalledPort);
    ASSERT_TRUE(pty.ready());
    SerialPort* port = serialOpen(kStalledPort);
    ASSERT_NE(port, nullptr);
    serialSetLine9600_8N1(port);
    // Nobody reads the far end, so the line's buffers fill up.
    std::vector<uint8_t> lots(1 << 20, 'x');
    Event* done = createEvent(false, false);
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(serialWrite(port, done, lots.data(), static_cast<uint32_t>(lots.size()), 200), WaitTimeout);
    uint64_t elapsed = nowMilliseconds() - start;
    EXPECT_GE(elapsed, 180u);
    EXPECT_LT(elapsed, 5000u);
    closeEvent(done);
    serialClose(port);
}

// ---- Reads ------------------------------------------------------------------

TEST(SerialRead, ReadGathersABurstUpToItsBuffer)
{
    PtyPort pty(kReadPort);
    ASSERT_TRUE(pty.ready());
    SerialPort* port = serialOpen(kReadPort);
    ASSERT_NE(port, nullptr);
    serialSetLine9600_8N1(port);
    SerialRead* read = serialReadCreate(port);
    std::vector<uint8_t> burst(200);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(pty.writeFarEnd(burst));
    pollfd waiting = {pty.slave, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 5000), 1);
    // Everything is waiting already: one read takes a full buffer.
    uint32_t n = 0;
    ASSERT_EQ(serialReadStart(read, &n), ReadCompleted);
    EXPECT_EQ(n, kSerialReadSize);
    std::vector<uint8_t> got(serialReadData(read), serialReadData(read) + n);
    Event* stop = createEvent(true, false);
    Received rest = PortReader(port).take(stop, burst.size() - n, 5000);
    got.insert(got.end(), rest.bytes.begin(), rest.bytes.end());
    EXPECT_EQ(got, burst);
    closeEvent(stop);
    serialReadDestroy(read);
    serialClose(port);
}

TEST(SerialRead, DeviceThatVanishesFailsTheReadWithoutHanging)
{
    PtyPort pty(kVanishingPort);
    ASSERT_TRUE(pty.ready());
    SerialPort* port = serialOpen(kVanishingPort);
    ASSERT_NE(port, nullptr);
    serialSetLine9600_8N1(port);
    SerialRead* read = serialReadCreate(port);
    Event* stop = createEvent(true, false);
    uint32_t n = 0;
    ASSERT_EQ(serialReadStart(read, &n), ReadPending);

    pty.closeMaster();
    uint64_t start = nowMilliseconds();
    EXPECT_EQ(serialReadWait(read, stop, 5000), WaitFirst);
    EXPECT_FALSE(serialReadResult(read, &n));
    EXPECT_EQ(n, 0u);
    // It stays failed, and says so at once every time.
    EXPECT_EQ(serialReadStart(read, &n), ReadPending);
    EXPECT_EQ(serialReadWait(read, stop, 5000), WaitFirst);
    EXPECT_FALSE(serialReadResult(read, &n));
    EXPECT_LT(nowMilliseconds() - start, 3000u);

    // A write it refuses fails at once; it is not a write that ran late.
    Event* done = createEvent(false, false);
    const uint8_t frame[4] = {':', 'F', '1', '\r'};
    start = nowMilliseconds();
    EXPECT_EQ(serialWrite(port, done, frame, 4, 200), WaitFailed);
    EXPECT_LT(nowMilliseconds() - start, 150u);
    closeEvent(done);
    closeEvent(stop);
    serialReadDestroy(read);
    serialClose(port);
}

// ---- Modem lines and the trace ----------------------------------------------

std::vector<std::string>* traceLog = nullptr;

// "write(4)", plus "=" and the bytes when the call passed any.
void recordTrace(const char* operation, long argument, bool succeeded, const uint8_t* bytes, uint32_t count)
{
    if (traceLog) {
        std::string entry =
            std::string(operation) + "(" + std::to_string(argument) + ")" + (succeeded ? "" : " failed");
        if (bytes)
            entry += "=" + std::string(reinterpret_cast<const char*>(bytes), count);
        traceLog->push_back(entry);
    }
}

TEST(SerialTrace, SeesEveryCallInOrderAndModemLinesFailOnAPty)
{
    PtyPort pty(kModemPort);
    ASSERT_TRUE(pty.ready());
    std::vector<std::string> log;
    traceLog = &log;
    setSerialTrace(recordTrace);

    SerialPort* port = serialOpen(kModemPort);
    ASSERT_NE(port, nullptr);
    serialSetLine9600_8N1(port);
    serialSetReadIntervalTimeouts(port);
    serialSetQueueSizes(port, 8096, 8096);
    serialPurge(port);
    EXPECT_FALSE(serialEscape(port, ClearDtr));
    EXPECT_FALSE(serialEscape(port, SetRts));
    EXPECT_FALSE(serialEscape(port, SetDtr));
    EXPECT_FALSE(serialEscape(port, ClearRts));
    EXPECT_FALSE(serialEscape(port, static_cast<ModemFunction>(4)));
    Event* done = createEvent(false, false);
    const uint8_t frame[4] = {':', 'F', '1', '\r'};
    EXPECT_EQ(serialWrite(port, done, frame, 4, 1000), WaitFirst);
    ASSERT_TRUE(pty.writeFarEnd(bytesOf("=12\r")));
    {
        PortReader reader(port);
        Event* stop = createEvent(true, false);
        EXPECT_EQ(reader.take(stop, 4, 5000).bytes, bytesOf("=12\r"));
        closeEvent(stop);
    }
    serialClose(port);
    EXPECT_EQ(serialOpen(0), nullptr);

    setSerialTrace(nullptr);
    serialClose(serialOpen(kModemPort));  // no longer traced
    traceLog = nullptr;
    closeEvent(done);

    const std::vector<std::string> expected = {
        "open(25)",          "setline(9600)",     "timeouts(1)",       "queues(8096)",      "purge(25)",
        "CLRDTR(25) failed", "SETRTS(25) failed", "SETDTR(25) failed", "CLRRTS(25) failed", "write(4)=:F1\r",
        "read(4)==12\r",     "close(25)",         "open(0) failed",
    };
    EXPECT_EQ(log, expected);
}

// ---- Ports on the network ---------------------------------------------------

// A socket of the test's own on 127.0.0.1, at a port the system chose: the
// far end of a network port, or a stranger beside it.
class LoopbackSocket {
public:
    explicit LoopbackSocket(int type) : fd(socket(AF_INET, type | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        if (type == SOCK_STREAM)
            listen(fd, 1);
    }
    ~LoopbackSocket() { closeIt(); }
    void closeIt()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    std::string where() const { return "127.0.0.1:" + std::to_string(port); }
    // One datagram, or what a stream has, waiting at most `milliseconds`.
    std::string receive(int milliseconds, int from = -1)
    {
        pollfd readable = {from >= 0 ? from : fd, POLLIN, 0};
        if (poll(&readable, 1, milliseconds) != 1)
            return std::string();
        char buffer[2048];
        peerSize = sizeof peer;
        const ssize_t n =
            recvfrom(readable.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerSize);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    bool sendTo(const sockaddr_in& to, const std::string& bytes)
    {
        return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(bytes.size());
    }

    int fd;
    unsigned port = 0;
    sockaddr_in peer = {};  // who sent the latest datagram
    socklen_t peerSize = 0;
};

// COM<number> as a link to `address`, removed with the scope.
struct AddressLink {
    AddressLink(unsigned number, const std::string& address) : path(linkPath(number))
    {
        unlink(path.c_str());
        made = symlink(address.c_str(), path.c_str()) == 0;
    }
    ~AddressLink() { unlink(path.c_str()); }
    std::string path;
    bool made;
};

// An address is shown with its port wherever it stands; one that is no
// address says why, at once.
TEST(SerialNetwork, AddressesAreShownWithTheirPortAndBadOnesSayWhy)
{
    const struct {
        const char* given;
        const char* shown;  // null: no port, and the reason
        const char* why;
    } cases[] = {
        {"udp://192.0.2.1", "udp://192.0.2.1:11880", nullptr},
        {"UDP://[::1]", "udp://[::1]:11880", nullptr},
        {"udp://::1", "udp://[::1]:11880", nullptr},
        {"tcp://[fe80::1]:4030", "tcp://[fe80::1]:4030", nullptr},
        {"tcp://serial-server.local:2000/", "tcp://serial-server.local:2000", nullptr},
        {"tcp://127.0.0.1", nullptr, "a TCP address needs its port: tcp://HOST:PORT"},
        {"udp://127.0.0.1:0", nullptr, "bad port '0': a number from 1 to 65535"},
        {"udp://127.0.0.1:65536", nullptr, "bad port '65536': a number from 1 to 65535"},
        {"udp://127.0.0.1:", nullptr, "bad port '': a number from 1 to 65535"},
        {"udp://", nullptr, "no host in the address: use udp://HOST[:PORT] or tcp://HOST:PORT"},
        {"udp://[::1", nullptr, "bad address: use udp://HOST[:PORT] or tcp://HOST:PORT"},
        {"telnet://host:23", nullptr, "unknown kind of address 'telnet://': use udp://HOST[:PORT] or tcp://HOST:PORT"},
        {"ftp://x", nullptr, "unknown kind of address 'ftp://': use udp://HOST[:PORT] or tcp://HOST:PORT"},
        {"tcp://127.0.0.1:-1", nullptr, "bad port '-1': a number from 1 to 65535"},
        {"udp://127.0.0.1: 5", nullptr, "bad port ' 5': a number from 1 to 65535"},
        {"tcp://127.0.0.1:2000x", nullptr, "bad port '2000x': a number from 1 to 65535"},
        {"tcp://", nullptr, "no host in the address: use udp://HOST[:PORT] or tcp://HOST:PORT"},
        {"udp://:11880", nullptr, "no host in the address: use udp://HOST[:PORT] or tcp://HOST:PORT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(adoptDevicePath(c.given), kMaxPortNumber);
        char device[512], target[512];
        EXPECT_EQ(portDeviceFound(kMaxPortNumber, device, sizeof device, target, sizeof target), c.shown != nullptr);
        if (c.shown) {
            EXPECT_STREQ(target, c.shown);
            continue;
        }
        const uint64_t start = nowMilliseconds();
        EXPECT_EQ(serialOpen(kMaxPortNumber), nullptr);
        EXPECT_LT(nowMilliseconds() - start, 100u);
        EXPECT_EQ(openFailure(), std::string(c.given) + ": " + c.why);
    }
    // A name that does not resolve gives up within about 2 s.
    adoptDevicePath("tcp://merlintest.invalid:2000");
    const uint64_t start = nowMilliseconds();
    EXPECT_EQ(serialOpen(kMaxPortNumber), nullptr);
    EXPECT_LT(nowMilliseconds() - start, 3000u);
    EXPECT_TRUE(std::regex_match(openFailure(), std::regex("tcp://merlintest.invalid:2000: name merlintest.invalid "
                                                           "(not found|not resolved within 2 s)")))
        << openFailure();
    adoptDevicePath(nullptr);
}

// Over UDP each frame is one datagram, only the adapter's datagrams are
// read (however large, in order), the purge drops what came, there are no
// modem lines (said once), and "port unreachable" is no failure.
TEST(SerialNetwork, DatagramsGoFrameByFrameAndOnlyThePeersAreRead)
{
    LoopbackSocket adapter(SOCK_DGRAM), stranger(SOCK_DGRAM);
    ASSERT_NE(adapter.port, 0u);
    AddressLink link(kDatagramPort, "udp://" + adapter.where());
    ASSERT_TRUE(link.made);
    char device[512], target[512];
    ASSERT_TRUE(portDeviceFound(kDatagramPort, device, sizeof device, target, sizeof target));
    EXPECT_EQ(target, "udp://" + adapter.where());

    std::vector<std::string> log;
    traceLog = &log;
    setSerialTrace(recordTrace);
    SerialPort* port = serialOpen(kDatagramPort);
    ASSERT_NE(port, nullptr) << openFailure();
    serialSetLine9600_8N1(port);
    EXPECT_TRUE(writeFrame(port, ":F1\r"));
    EXPECT_TRUE(writeFrame(port, ":F2\r"));
    EXPECT_EQ(adapter.receive(5000), ":F1\r");
    EXPECT_EQ(adapter.receive(5000), ":F2\r");
    const sockaddr_in tool = adapter.peer;

    Event* stop = createEvent(true, false);
    {
        PortReader reader(port);
        ASSERT_TRUE(stranger.sendTo(tool, "=BAD\r"));
        ASSERT_TRUE(adapter.sendTo(tool, "=\r"));
        EXPECT_EQ(reader.take(stop, 2, 5000).bytes, bytesOf("=\r"));
        EXPECT_TRUE(reader.take(stop, 1, 200).bytes.empty()) << "the stranger's datagram is never read";
        std::string large;
        for (int i = 0; i < 300; ++i)
            large += static_cast<char>('0' + i % 10);
        ASSERT_TRUE(adapter.sendTo(tool, large));
        const Received whole = reader.take(stop, large.size(), 5000);
        EXPECT_EQ(std::string(whole.bytes.begin(), whole.bytes.end()), large);
    }
    ASSERT_TRUE(adapter.sendTo(tool, "=stale\r"));
    sleepMilliseconds(50);  // loopback delivers at once; this is margin
    serialPurge(port);
    {
        PortReader reader(port);
        ASSERT_TRUE(adapter.sendTo(tool, "=\r"));
        EXPECT_EQ(reader.take(stop, 2, 5000).bytes, bytesOf("=\r"));
    }

    // Empty datagrams are nothing to read: a wait goes on through them at
    // once, and the reply behind them is the wait's outcome. (A hundred at a
    // time: each takes room in the socket's buffer, which a few hundred fill.)
    {
        SerialRead* read = serialReadCreate(port);
        uint32_t n = 0;
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(adapter.sendTo(tool, ""));
        EXPECT_EQ(serialReadStart(read, &n), ReadPending);
        EXPECT_EQ(serialReadWait(read, stop, 200), WaitTimeout);
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(adapter.sendTo(tool, ""));
        ASSERT_TRUE(adapter.sendTo(tool, "=\r"));
        EXPECT_EQ(serialReadWait(read, stop, 5000), WaitFirst);
        ASSERT_TRUE(serialReadResult(read, &n));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(serialReadData(read)), n), "=\r");
        serialReadDestroy(read);
    }

    for (ModemFunction line : {SetDtr, SetRts, ClearRts, ClearDtr})
        EXPECT_FALSE(serialEscape(port, line));
    // The address in use is said when the port opens; the missing modem
    // lines once.
    EXPECT_EQ(log.at(1), "note(35)=sending to " + adapter.where());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& e) { return e.rfind("note(35)=no modem lines", 0) == 0; }),
              1)
        << ::testing::PrintToString(log);
    setSerialTrace(nullptr);
    traceLog = nullptr;

    // The adapter goes: the system answers "port unreachable", which neither
    // fails a write nor a read.
    adapter.closeIt();
    EXPECT_TRUE(writeFrame(port, ":F1\r"));
    {
        PortReader reader(port);
        const Received none = reader.take(stop, 1, 300);
        EXPECT_FALSE(none.failed);
        EXPECT_TRUE(none.bytes.empty());
    }
    EXPECT_TRUE(writeFrame(port, ":F1\r"));
    closeEvent(stop);
    serialClose(port);
}

// Over TCP a peer that closes the connection is a device that vanished: the
// read fails, later frames are refused (no SIGPIPE), and a peer that is not
// there refuses the connection at once.
TEST(SerialNetwork, AStreamWhosePeerGoesIsADeviceThatVanished)
{
    LoopbackSocket server(SOCK_STREAM);
    ASSERT_NE(server.port, 0u);
    AddressLink link(kStreamPort, "tcp://" + server.where());
    ASSERT_TRUE(link.made);
    SerialPort* port = serialOpen(kStreamPort);
    ASSERT_NE(port, nullptr) << openFailure();
    const int client = accept(server.fd, nullptr, nullptr);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(writeFrame(port, ":F1\r"));
    EXPECT_EQ(server.receive(5000, client), ":F1\r");
    Event* stop = createEvent(true, false);
    {
        PortReader reader(port);
        ASSERT_EQ(write(client, "=\r", 2), 2);
        EXPECT_EQ(reader.take(stop, 2, 5000).bytes, bytesOf("=\r"));
        close(client);
        const uint64_t start = nowMilliseconds();
        EXPECT_TRUE(reader.take(stop, 1, 5000).failed);
        EXPECT_LT(nowMilliseconds() - start, 1000u);
    }
    EXPECT_EQ(openFailure(), "COM36 (tcp://" + server.where() + "): connection closed by the peer");
    Event* done = createEvent(false, false);
    const uint8_t frame[4] = {':', 'L', '1', '\r'};
    EXPECT_EQ(serialWrite(port, done, frame, 4, 1000), WaitFailed);
    closeEvent(done);
    closeEvent(stop);
    serialClose(port);

    server.closeIt();
    const uint64_t start = nowMilliseconds();
    EXPECT_EQ(serialOpen(kStreamPort), nullptr);
    EXPECT_LT(nowMilliseconds() - start, 1000u);
    EXPECT_EQ(openFailure(), "COM36 (tcp://" + server.where() + "): connection refused");
}

// The tests' own names: "both.merlintest.test" stands for ::1 and then
// 127.0.0.1, as localhost does on many systems; "slow.merlintest.test" has
// no answer until the test lets it go.
std::mutex slowLock;
std::condition_variable slowReleased;
bool slowGo = false;

int testResolver(const char* host, const char* service, const addrinfo* hints, addrinfo** found)
{
    addrinfo numeric = *hints;
    numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (std::strcmp(host, "both.merlintest.test") == 0) {
        addrinfo *v6 = nullptr, *v4 = nullptr;
        if (getaddrinfo("::1", service, &numeric, &v6) != 0)
            return EAI_NONAME;
        if (getaddrinfo("127.0.0.1", service, &numeric, &v4) != 0) {
            freeaddrinfo(v6);
            return EAI_NONAME;
        }
        addrinfo* last = v6;
        while (last->ai_next)
            last = last->ai_next;
        last->ai_next = v4;
        *found = v6;
        return 0;
    }
    if (std::strcmp(host, "slow.merlintest.test") == 0) {
        std::unique_lock<std::mutex> hold(slowLock);
        slowReleased.wait(hold, [] { return slowGo; });
        return EAI_NONAME;
    }
    return getaddrinfo(host, service, hints, found);
}

struct TestResolver {
    TestResolver()
    {
        {
            std::lock_guard<std::mutex> hold(slowLock);
            slowGo = false;
        }
        setNameResolver(testResolver);
    }
    ~TestResolver()
    {
        setNameResolver(nullptr);
        std::lock_guard<std::mutex> hold(slowLock);
        slowGo = true;
        slowReleased.notify_all();
    }
};

// A name that stands for [::1] first, where nothing listens, and then for
// 127.0.0.1, where the adapter is: the refusal moves the port on to the next
// address, and the trace says which one is in use.
TEST(SerialNetwork, ADatagramPortMovesOnFromAnAddressThatRefuses)
{
    TestResolver resolver;
    LoopbackSocket adapter(SOCK_DGRAM);
    ASSERT_NE(adapter.port, 0u);
    // Nothing at [::1] on the adapter's port: free, as a bind there shows.
    const int v6 = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 there = {};
    there.sin6_family = AF_INET6;
    there.sin6_addr = in6addr_loopback;
    there.sin6_port = htons(static_cast<uint16_t>(adapter.port));
    const bool nothingThere = v6 >= 0 && bind(v6, reinterpret_cast<sockaddr*>(&there), sizeof there) == 0;
    const int error = errno;
    close(v6);
    if (!nothingThere && (error == EAFNOSUPPORT || error == EADDRNOTAVAIL))
        GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(nothingThere) << std::strerror(error);

    const std::string port = std::to_string(adapter.port);
    adoptDevicePath(("udp://both.merlintest.test:" + port).c_str());
    std::vector<std::string> log;
    traceLog = &log;
    setSerialTrace(recordTrace);
    SerialPort* opened = serialOpen(kMaxPortNumber);
    ASSERT_NE(opened, nullptr) << openFailure();
    Event* stop = createEvent(true, false);
    {
        PortReader reader(opened);
        // The frame goes to [::1]; the reader hears its refusal, and the
        // frame goes again, to the adapter, with no second write.
        EXPECT_TRUE(writeFrame(opened, ":F1\r"));
        std::string heard;
        for (int tries = 0; tries < 50 && heard.empty(); ++tries) {
            reader.take(stop, 1, 20);
            heard = adapter.receive(100);
        }
        EXPECT_EQ(heard, ":F1\r");
        ASSERT_TRUE(adapter.sendTo(adapter.peer, "=\r"));
        EXPECT_EQ(reader.take(stop, 2, 5000).bytes, bytesOf("=\r"));

        std::vector<std::string> notes;
        std::copy_if(log.begin(), log.end(), std::back_inserter(notes),
                     [](const std::string& e) { return e.rfind("note(", 0) == 0; });
        EXPECT_EQ(notes,
                  (std::vector<std::string>{"note(256)=sending to [::1]:" + port,
                                            "note(256)=[::1]:" + port + " refused: sending to 127.0.0.1:" + port}));

        // With the adapter gone both addresses refuse: a frame goes again
        // once, to the other address, and no more.
        adapter.closeIt();
        log.clear();
        EXPECT_TRUE(writeFrame(opened, ":F2\r"));
        EXPECT_TRUE(reader.take(stop, 1, 500).bytes.empty());
        EXPECT_EQ(std::count(log.begin(), log.end(), "write(4)=:F2\r"), 2) << ::testing::PrintToString(log);
    }
    serialClose(opened);
    closeEvent(stop);
    setSerialTrace(nullptr);
    traceLog = nullptr;
    adoptDevicePath(nullptr);
}

// A stop ends the wait for a name, and for a TCP connection that nobody
// answers (a listener whose backlog is full), at once and with no reason to
// show: the program is ending.
TEST(SerialNetwork, AStopEndsTheWaitForANameOrAConnectionAtOnce)
{
    TestResolver resolver;
    LoopbackSocket server(SOCK_STREAM);
    ASSERT_NE(server.port, 0u);
    // A backlog of none, filled: a further connection is not answered.
    ASSERT_EQ(listen(server.fd, 0), 0);
    std::vector<int> fillers;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(server.port));
    bool full = false;
    while (!full && fillers.size() < 16) {
        const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers.push_back(filler);
        connect(filler, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd connected = {filler, POLLOUT, 0};
        full = poll(&connected, 1, 1000) == 0;
    }
    ASSERT_TRUE(full);

    Event* stop = createEvent(true, false);
    for (const std::string& address : {std::string("tcp://slow.merlintest.test:2000"), "tcp://" + server.where()}) {
        SCOPED_TRACE(address);
        adoptDevicePath(address.c_str());
        resetEvent(stop);
        const uint64_t start = nowMilliseconds();
        std::thread stopper([stop] {
            sleepMilliseconds(200);
            setEvent(stop);
        });
        SerialPort* opened = serialOpen(kMaxPortNumber, stop);
        const uint64_t took = nowMilliseconds() - start;
        EXPECT_EQ(opened, nullptr) << "the connection was taken after " << took << " ms";
        serialClose(opened);
        stopper.join();
        EXPECT_GE(took, 190u) << "it waited for the stop";
        EXPECT_LT(took, 1000u) << "the name's and the connection's limits are 2 s";
        EXPECT_EQ(openFailure(), "") << "after " << took << " ms";
    }
    adoptDevicePath(nullptr);
    closeEvent(stop);
    for (const int filler : fillers)
        close(filler);
}

}  // namespace
