#include "tests/harness/gnome_session.hpp"

#include <dirent.h>
#include <functional>
#include <fstream>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace harness {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void chownTree(const std::string& root, const User& u) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (::lchown(it->path().c_str(), u.uid, u.gid) != 0) {
        }
    if (::chown(root.c_str(), u.uid, u.gid) != 0) {
    }
}

bool waitFor(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return ready();
}

pid_t parentOf(const std::string& pid) {
    std::string stat = readAll("/proc/" + pid + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = -1;
    rest >> state >> ppid;
    return state == "Z" ? -1 : pid_t(ppid);
}

// Xwayland's display and authority file, from the Shell's own Xwayland.
bool findXwayland(pid_t shell, std::string& display, std::string& auth) {
    DIR* d = opendir("/proc");
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || parentOf(e->d_name) != shell) continue;
        std::string cmd = readAll(std::string("/proc/") + e->d_name + "/cmdline");
        std::vector<std::string> args;
        std::string cur;
        for (char c : cmd) {
            if (c == '\0') {
                args.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (args.empty() || args[0].find("Xwayland") == std::string::npos) continue;
        std::string dpy, a;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i].size() > 1 && args[i][0] == ':') dpy = args[i];
            if (args[i] == "-auth" && i + 1 < args.size()) a = args[i + 1];
        }
        if (!dpy.empty() && !a.empty()) {
            display = dpy;
            auth = a;
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// A test-only extension: GNOME Shell starts in its overview, which keeps
// every window from taking the focus; this leaves it, as a user would.
const char* const kOverviewOff = R"(const Main = imports.ui.main;
function init() {
    return {
        enable() {
            if (Main.layoutManager._startingUp)
                this._id = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
            else
                Main.overview.hide();
        },
        disable() {
            if (this._id) Main.layoutManager.disconnect(this._id);
            this._id = 0;
        },
    };
}
)";

// A user who logged in before: a first Shell start writes this key, and the
// keyfile backend's write would race the one "allow" makes.
const char* const kSeen = "welcome-dialog-last-shown-version='43.9'\n";

}  // namespace

std::string stagedExtension() {
    std::string bin = COMPANION_BIN;
    return bin.substr(0, bin.find_last_of('/')) + "/share/companion/gnome-shell/windows@companion";
}

GnomeSession::GnomeSession(bool extension) : user(testUser()) {
    run = std::make_unique<PrivateDir>(user, "gnome-run");
    home = std::make_unique<PrivateDir>(user, "gnome-home");
    fs::create_directories(home->path + "/.config/glib-2.0/settings");
    std::string off = home->path + "/.local/share/gnome-shell/extensions/overview-off@tests";
    fs::create_directories(off);
    std::ofstream(off + "/extension.js") << kOverviewOff;
    std::ofstream(off + "/metadata.json")
        << R"({"uuid": "overview-off@tests", "name": "overview off", "description": "tests",)"
        << R"( "shell-version": ["43", "44"]})";
    if (extension) installExtension();
    else removeExtension();
    std::vector<std::string> e = env();
    sessionBus = spawnAs(user, {"/usr/bin/dbus-daemon", "--session", "--nofork",
                                "--address=unix:path=" + run->path + "/bus"}, e);
    systemBus = spawnAs(user, {"/usr/bin/dbus-daemon", "--session", "--nofork",
                               "--address=unix:path=" + run->path + "/system_bus"}, e);
    struct stat st;
    if (!waitFor([&] {
            return ::stat((run->path + "/bus").c_str(), &st) == 0 &&
                   ::stat((run->path + "/system_bus").c_str(), &st) == 0;
        }, 10s))
        throw std::runtime_error("the session buses did not start");
    startShell();
}

GnomeSession::~GnomeSession() {
    stopShell();
    stopGroup(sessionBus);
    stopGroup(systemBus);
}

std::string GnomeSession::extensionDir() const {
    return home->path + "/.local/share/gnome-shell/extensions/windows@companion";
}

void GnomeSession::installExtension() {
    std::string dir = extensionDir();
    fs::create_directories(dir);
    for (const char* f : {"extension.js", "metadata.json"})
        fs::copy_file(stagedExtension() + "/" + f, dir + "/" + f,
                      fs::copy_options::overwrite_existing);
    std::ofstream(dir + "/trusted") << COMPANION_BIN << "\n";
    std::ofstream(home->path + "/.config/glib-2.0/settings/keyfile")
        << "[org/gnome/shell]\n" << kSeen
        << "enabled-extensions=['overview-off@tests', 'windows@companion']\n";
    chownTree(home->path, user);
}

void GnomeSession::removeExtension() {
    std::error_code ec;
    fs::remove_all(extensionDir(), ec);
    std::ofstream(home->path + "/.config/glib-2.0/settings/keyfile")
        << "[org/gnome/shell]\n" << kSeen << "enabled-extensions=['overview-off@tests']\n";
    chownTree(home->path, user);
}

std::string GnomeSession::shellLog(size_t tail) const {
    std::string log = readAll(home->path + "/shell.log");
    return log.size() > tail ? log.substr(log.size() - tail) : log;
}

bool GnomeSession::shellRunning() const {
    if (shell <= 0) return false;
    siginfo_t info{};
    return waitid(P_PID, id_t(shell), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

std::string GnomeSession::settingsText() const {
    return readAll(home->path + "/.config/glib-2.0/settings/keyfile");
}

void GnomeSession::startShell() {
    // A Shell that ended early leaves this behind, and the next one would
    // then start with extensions off (its crash protection).
    std::error_code ec;
    fs::remove(run->path + "/gnome-shell-disable-extensions", ec);
    shell = spawnAs(user, {"/usr/bin/gnome-shell", "--headless", "--wayland", "--virtual-monitor",
                           "1920x1080", "--wayland-display=" + waylandDisplay},
                    env(), home->path + "/shell.log");
    if (!waitFor([&] { return findXwayland(shell, xDisplay, xAuthority); }, 90s))
        throw std::runtime_error("GNOME Shell did not start Xwayland");
    // The keyfile settings backend loses a change written while another
    // process rewrites the file from its own copy: let the Shell's start-up
    // writes (its app folders) land first.
    waitFor([&] { return settingsText().find("app-folders") != std::string::npos; }, 30s);
}

void GnomeSession::stopShell() {
    stopGroup(shell, 5000);
    xDisplay.clear();
    xAuthority.clear();
}

std::vector<std::string> GnomeSession::env(const std::map<std::string, std::string>& extra) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : envMap())
        if (!extra.count(k)) out.push_back(k + "=" + v);
    for (const auto& [k, v] : extra) out.push_back(k + "=" + v);
    return out;
}

std::map<std::string, std::string> GnomeSession::envMap() const {
    std::map<std::string, std::string> m = {
        {"HOME", home->path},
        {"XDG_RUNTIME_DIR", run->path},
        {"XDG_CONFIG_HOME", home->path + "/.config"},
        {"XDG_DATA_HOME", home->path + "/.local/share"},
        {"XDG_DATA_DIRS", "/usr/local/share:/usr/share"},
        {"GSETTINGS_BACKEND", "keyfile"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + run->path + "/bus"},
        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + run->path + "/system_bus"},
        {"XDG_CURRENT_DESKTOP", "GNOME"},
        {"XDG_SESSION_TYPE", "wayland"},
        {"WAYLAND_DISPLAY", waylandDisplay},
        {"PATH", "/usr/bin:/bin"},
        {"LANG", "C.UTF-8"},
    };
    if (!xDisplay.empty()) {
        m["DISPLAY"] = xDisplay;
        m["XAUTHORITY"] = xAuthority;
    }
    return m;
}

pid_t GnomeSession::spawn(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& extra, const std::string& log) {
    return spawnAs(user, argv, env(extra), log);
}

}  // namespace harness
