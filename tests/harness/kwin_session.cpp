#include "tests/harness/kwin_session.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace harness {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

KWinSession::KWinSession() : user(testUser()), runtime(user, "kde-run"), home(user, "kde-home") {
    busAddress = "unix:path=" + runtime.path + "/bus";
    std::string config = runtime.path + "/bus.conf";
    {
        std::ofstream out(config);
        out << "<busconfig><type>session</type><listen>" << busAddress
            << "</listen><auth>EXTERNAL</auth><standard_session_servicedirs/>"
               "<policy context=\"default\"><allow user=\"root\"/><allow user=\""
            << user.name
            << "\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    }
    dbus_ = spawnAs(user, {"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork"},
                    baseEnv(), runtime.path + "/bus.log");
    try {
        start();
    } catch (...) {
        bus_.reset();
        stopGroup(kwin_);
        stopGroup(dbus_);
        throw;
    }
}

void KWinSession::start() {
    if (!waitFor([&] { return std::filesystem::exists(runtime.path + "/bus"); }, 10s))
        throw std::runtime_error("the session bus did not start");
    sd_bus* b = nullptr;
    if (sd_bus_new(&b) < 0 || sd_bus_set_address(b, busAddress.c_str()) < 0 ||
        sd_bus_set_bus_client(b, 1) < 0 || sd_bus_start(b) < 0)
        throw std::runtime_error("cannot reach the session bus");
    bus_.reset(b, [](sd_bus* x) { sd_bus_flush_close_unref(x); });

    // The copy KWin runs from: without the file capability.
    std::filesystem::create_directories(runtime.path + "/bin");
    std::filesystem::copy_file("/usr/bin/kwin_wayland", runtime.path + "/bin/kwin_wayland",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(runtime.path + "/bin", std::filesystem::perms(0755));
    std::filesystem::permissions(runtime.path + "/bin/kwin_wayland", std::filesystem::perms(0755));
    startKWin();
}

KWinSession::~KWinSession() {
    stopKWin();
    bus_.reset();
    stopGroup(dbus_);
}

std::vector<std::string> KWinSession::baseEnv() const {
    return {"XDG_RUNTIME_DIR=" + runtime.path, "HOME=" + home.path,
            "DBUS_SESSION_BUS_ADDRESS=" + busAddress, "PATH=/usr/bin:/bin",
            "XDG_CURRENT_DESKTOP=KDE", "XDG_SESSION_TYPE=wayland", "LANG=C.UTF-8",
            "KWIN_XKB_DEFAULT_KEYMAP=1"};
}

void KWinSession::startKWin() {
    std::string where = runtime.path + "/xdisplay";
    std::filesystem::remove(where);
    std::vector<std::string> env = baseEnv();
    env.push_back("QT_QPA_PLATFORM=wayland");
    // KWin starts each of its arguments as a command line once Xwayland is
    // up: this one tells where Xwayland is.
    std::string announce = runtime.path + "/bin/announce";
    {
        std::ofstream out(announce);
        out << "#!/bin/sh\necho \"$DISPLAY $XAUTHORITY\" > " << where << ".new && mv " << where
            << ".new " << where << "\n";
    }
    std::filesystem::permissions(announce, std::filesystem::perms(0755));
    kwin_ = spawnAs(user,
                    {runtime.path + "/bin/kwin_wayland", "--virtual", "--width", "1920", "--height",
                     "1080", "--socket", waylandDisplay, "--xwayland", announce},
                    env, runtime.path + "/kwin.log");
    if (!waitFor([&] { return std::filesystem::exists(where); }, 60s))
        throw std::runtime_error("KWin did not start:\n" + readAll(runtime.path + "/kwin.log"));
    std::istringstream in(readAll(where));
    in >> display >> xauthority;
    // Scripting answers once KWin is up.
    if (!waitFor([&] {
            sd_bus_error e = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            int r = sd_bus_call_method(bus(), "org.kde.KWin", "/Scripting",
                                       "org.freedesktop.DBus.Introspectable", "Introspect", &e,
                                       &reply, "");
            sd_bus_error_free(&e);
            sd_bus_message_unref(reply);
            return r >= 0;
        }, 60s))
        throw std::runtime_error("KWin does not answer on the bus");
}

void KWinSession::stopKWin() {
    for (pid_t& p : apps_) stopGroup(p);
    apps_.clear();
    stopGroup(kwin_, 3000);
}

pid_t KWinSession::startApp(const std::vector<std::string>& argv, bool x11) {
    std::vector<std::string> env = baseEnv();
    env.push_back("WAYLAND_DISPLAY=" + waylandDisplay);
    env.push_back("GDK_BACKEND=" + std::string(x11 ? "x11" : "wayland"));
    env.push_back("NO_AT_BRIDGE=1");
    if (x11) {
        env.push_back("DISPLAY=" + display);
        env.push_back("XAUTHORITY=" + xauthority);
    }
    pid_t pid = spawnAs(user, argv, env);
    apps_.push_back(pid);
    return pid;
}

SessionWin::SessionWin(const User& user, const std::vector<std::string>& env) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) || pipe(fromChild)) throw std::runtime_error("pipe");
    std::vector<std::string> argv = asUser(user, {std::string(TOOLS_DIR) + "/testwin"});
    pid = fork();
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[1]);
        close(fromChild[0]);
        std::vector<char*> args, envp;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        std::vector<std::string> e = env;
        for (auto& kv : e) envp.push_back(kv.data());
        envp.push_back(nullptr);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    to_ = fdopen(toChild[1], "w");
    from_ = fdopen(fromChild[0], "r");
    char line[256] = {};
    if (!fgets(line, sizeof line, from_) || strncmp(line, "ready", 5) != 0)
        throw std::runtime_error("testwin did not start");
}

SessionWin::~SessionWin() {
    if (to_) fclose(to_);
    if (from_) fclose(from_);
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

std::string SessionWin::command(const std::string& line) {
    fputs((line + "\n").c_str(), to_);
    fflush(to_);
    char buf[4096];
    std::string answer;
    while (fgets(buf, sizeof buf, from_)) {
        answer += buf;
        if (answer.back() == '\n') break;
    }
    if (!answer.empty()) answer.pop_back();
    return answer;
}

uint32_t SessionWin::open(const std::string& name, const std::string& options) {
    std::string a = command("open " + name + " " + options);
    if (a.rfind("ok ", 0) != 0) return 0;
    return uint32_t(std::stoul(a.substr(3)));
}

std::unique_ptr<SessionWin> KWinSession::xClient() {
    std::vector<std::string> env = baseEnv();
    env.push_back("DISPLAY=" + display);
    return std::make_unique<SessionWin>(user, env);
}

std::map<std::string, std::string> KWinSession::companionEnv() const {
    std::map<std::string, std::string> env;
    for (const std::string& kv : baseEnv()) {
        size_t eq = kv.find('=');
        env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env["WAYLAND_DISPLAY"] = waylandDisplay;
    return env;
}

bool KWinSession::runScript(const std::string& js) {
    std::string name = "test-" + std::to_string(++scripts_);
    std::string path = runtime.path + "/" + name + ".js";
    {
        std::ofstream out(path);
        out << js;
    }
    chown(path.c_str(), user.uid, user.gid);
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int id = -1;
    int r = sd_bus_call_method(bus(), "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting",
                               "loadScript", &e, &reply, "ss", path.c_str(), name.c_str());
    if (r >= 0) sd_bus_message_read(reply, "i", &id);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    bool ran = false;
    if (id >= 0) {
        for (std::string object : {"/" + std::to_string(id), "/Scripting/Script" + std::to_string(id)}) {
            e = SD_BUS_ERROR_NULL;
            reply = nullptr;
            if (sd_bus_call_method(bus(), "org.kde.KWin", object.c_str(), "org.kde.kwin.Script",
                                   "run", &e, &reply, "") >= 0)
                ran = true;
            sd_bus_message_unref(reply);
            sd_bus_error_free(&e);
            if (ran) break;
        }
    }
    e = SD_BUS_ERROR_NULL;
    reply = nullptr;
    sd_bus_call_method(bus(), "org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting",
                       "unloadScript", &e, &reply, "s", name.c_str());
    sd_bus_message_unref(reply);
    sd_bus_error_free(&e);
    std::filesystem::remove(path);
    return ran;
}

std::optional<std::string> KWinSession::busNameOf(pid_t pid) {
    char** names = nullptr;
    if (sd_bus_list_names(bus(), &names, nullptr) < 0 || !names) return std::nullopt;
    std::optional<std::string> found;
    for (char** n = names; *n; ++n) {
        if (**n == ':' && !found) {
            sd_bus_error e = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            uint32_t owner = 0;
            if (sd_bus_call_method(bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "GetConnectionUnixProcessID", &e,
                                   &reply, "s", *n) >= 0 &&
                sd_bus_message_read(reply, "u", &owner) >= 0 && pid_t(owner) == pid)
                found = *n;
            sd_bus_message_unref(reply);
            sd_bus_error_free(&e);
        }
        free(*n);
    }
    free(names);
    return found;
}

}  // namespace harness
