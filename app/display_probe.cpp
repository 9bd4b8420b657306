#include "app/display_probe.h"

#include <QLibraryInfo>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kWithoutDesktop[] = "; without a desktop use merlintest --check N";

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1)
        parts.push_back(text.substr(at, end - at));
    parts.push_back(text.substr(at));
    return parts;
}

bool isDirectory(const std::string& path)
{
    struct stat about;
    return stat(path.c_str(), &about) == 0 && S_ISDIR(about.st_mode);
}

// Where Qt looks for its platform plugins: the option's and the variable's
// directory, each QT_PLUGIN_PATH entry's and its own; those that exist.
std::vector<std::string> pluginDirectories(const QtPlatformOptions& options)
{
    std::vector<std::string> candidates;
    if (options.pluginPath != nullptr)
        candidates.push_back(options.pluginPath);
    candidates.push_back(variable("QT_QPA_PLATFORM_PLUGIN_PATH"));
    for (const std::string& entry : split(variable("QT_PLUGIN_PATH"), ':'))
        candidates.push_back(entry.empty() ? entry : entry + "/platforms");
    candidates.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms");
    std::vector<std::string> found;
    for (const std::string& directory : candidates)
        if (!directory.empty() && isDirectory(directory))
            found.push_back(directory);
    return found;
}

// The plugin's file: "libqxcb.so", "libqwayland-generic.so"...
std::string pluginFile(const std::string& platform)
{
    if (platform == "wayland")
        return "libqwayland-generic.so";
    if (platform.rfind("wayland-", 0) == 0)
        return "libqwayland-" + platform.substr(std::strlen("wayland-")) + ".so";
    return "libq" + platform + ".so";
}

// True also when there is no directory to look in (a build of Qt whose
// plugins are elsewhere): then Qt is left to decide.
bool pluginInstalled(const std::vector<std::string>& directories, const std::string& platform)
{
    if (directories.empty())
        return true;
    for (const std::string& directory : directories)
        if (access((directory + "/" + pluginFile(platform)).c_str(), R_OK) == 0)
            return true;
    return false;
}

// Whether the X server `display` names takes a connection, asked through
// libxcb as Qt's X11 platform asks it (authorisation included). The library
// is loaded only here, so the console modes need no X library.
bool xDisplayOpens(const std::string& display)
{
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (xcb == nullptr)
        return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    if (connect == nullptr || hasError == nullptr || disconnect == nullptr)
        return false;
    void* connection = connect(display.c_str(), nullptr);
    const bool opened = connection != nullptr && hasError(connection) == 0;
    // Also an error's connection is released this way. The library stays:
    // Qt loads it again at once.
    disconnect(connection);
    return opened;
}

// The compositor's socket: WAYLAND_DISPLAY ("wayland-0" when unset) as an
// absolute path, or in XDG_RUNTIME_DIR; empty when there is none to name.
std::string waylandSocket(const std::string& name)
{
    if (name[0] == '/')
        return name;
    const std::string runtime = variable("XDG_RUNTIME_DIR");
    return runtime.empty() ? std::string() : runtime + "/" + name;
}

bool socketAnswers(const std::string& path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answered;
}

}  // namespace

std::string displayProblem(const QtPlatformOptions& options)
{
    std::string platforms = options.platform != nullptr ? options.platform : variable("QT_QPA_PLATFORM");
    const std::string waylandName = variable("WAYLAND_DISPLAY");
    if (platforms.empty())
        platforms = !waylandName.empty() || variable("XDG_SESSION_TYPE") == "wayland" ? "wayland;xcb" : "xcb";
    const std::string xName = options.display != nullptr ? options.display : variable("DISPLAY");
    const std::vector<std::string> directories = pluginDirectories(options);

    // Why each platform tried will not start, the likeliest cure first.
    std::string waylandPluginMissing, xDisplayShut, waylandShut, pluginMissing;
    for (const std::string& entry : split(platforms, ';')) {
        // "offscreen:fontengine=freetype": the name, then its arguments.
        const std::string platform = entry.substr(0, entry.find(':'));
        if (platform.empty())
            continue;
        const bool wayland = platform.rfind("wayland", 0) == 0;
        if (!pluginInstalled(directories, platform)) {
            if (wayland && waylandPluginMissing.empty())
                waylandPluginMissing = "merlintest: cannot open the Wayland display " +
                                       (waylandName.empty() ? std::string("wayland-0") : waylandName) +
                                       ": Qt's Wayland plugin is missing (install qt6-wayland)";
            else if (!wayland && pluginMissing.empty())
                pluginMissing = "merlintest: Qt has no platform plugin '" + platform + "'";
            continue;
        }
        if (platform == "xcb") {
            if (xName.empty())
                continue;
            if (xDisplayOpens(xName))
                return std::string();
            xDisplayShut = "merlintest: cannot open the display " + xName;
        } else if (wayland) {
            const std::string name = waylandName.empty() ? "wayland-0" : waylandName;
            if (socketAnswers(waylandSocket(name)))
                return std::string();
            waylandShut = "merlintest: cannot open the Wayland display " + name;
        } else {
            // Offscreen, VNC, the framebuffer...: no display to look for.
            return std::string();
        }
    }
    // A Wayland session's missing plugin is the cure even where X11 was
    // tried after it; without such a session, X11 is what was meant.
    const bool waylandMeant = !waylandName.empty() || platforms.rfind("wayland", 0) == 0;
    const std::string* problems[] = {waylandMeant ? &waylandPluginMissing : &pluginMissing, &xDisplayShut, &waylandShut,
                                     &pluginMissing};
    for (const std::string* problem : problems)
        if (!problem->empty())
            return *problem + kWithoutDesktop;
    return std::string("merlintest: cannot open a display") + kWithoutDesktop;
}
