// The KDE backend's table: applications and windows from the mirror of the
// script's reports, icons from the theme, "granted" and "allow".
#include "platform/kde/backend.hpp"

#include "platform/icons/theme.hpp"
#include "platform/kde/capture.hpp"
#include "platform/kde/mirror.hpp"
#include "platform/kde/session.hpp"
#include "platform/resources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace platform::kde {
namespace {

constexpr const char* kEntryName = "companion.desktop";
constexpr int kEntryChecks = 30;

bool screenCapturePreflight() { return currentMirror() != nullptr && authorised(); }

// The user's applications folder ($XDG_DATA_HOME, else ~/.local/share).
std::string userApplications() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data && *data == '/') return std::string(data) + "/applications";
    const char* home = std::getenv("HOME");
    if (!home || *home != '/') return {};
    return std::string(home) + "/.local/share/applications";
}

bool screenCaptureRequest() {
    reloadScript();
    forgetAuthorisation();
    if (!authorised()) {
        auto exe = selfExecutable();
        std::string dir = userApplications();
        if (exe && !dir.empty() && writeAuthorisingEntry(dir, *exe)) {
            // KWin reads the entry once its service cache notices the
            // folder changed, within a second or two.
            for (int i = 0; i < kEntryChecks; ++i) {
                forgetAuthorisation();
                if (authorised()) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }
    return screenCapturePreflight();
}

AppRef frontmostApplication() {
    MirrorRef m = currentMirror();
    if (!m || !m->active || m->active->w.pid <= 0) return nullptr;
    return appOfPid(m->active->w.pid);
}

AppRef runningApplication(int32_t pid) { return appOfPid(pid); }

std::optional<std::vector<uint32_t>> windowStack() {
    MirrorRef m = currentMirror();
    if (!m) return std::nullopt;
    std::vector<uint32_t> numbers;
    numbers.reserve(m->windows.size());
    for (const MirroredWindow& w : m->windows) numbers.push_back(w.number);
    return numbers;
}

std::vector<WindowRecord> windowRecords(const std::vector<uint32_t>& numbers) {
    std::vector<WindowRecord> records;
    MirrorRef m = currentMirror();
    if (!m) return records;
    for (uint32_t n : numbers) {
        const MirroredWindow* mw = m->find(n);
        if (!mw || !onScreen(mw->w) || mw->w.desktop) continue;
        const ReportedWindow& w = mw->w;
        WindowRecord r;
        r.layer = layerOf(w);
        r.alpha = w.opacity;
        r.bounds = Bounds{*w.x, *w.y, *w.width, *w.height};
        if (w.pid > 0) r.ownerPid = w.pid;
        r.number = mw->number;
        r.name = w.caption;
        records.push_back(std::move(r));
    }
    return records;
}

std::optional<RgbaImage> iconImage(const App& app) {
    if (!app.iconName || app.iconName->empty()) return std::nullopt;
    return icons::themeIcon(*app.iconName, 64);
}

void watchActivations(boost::asio::io_context& loop, std::function<void(AppRef)> observer) {
    serveSession(loop, std::move(observer));
}

}  // namespace

std::optional<std::string> authorisingEntry(const std::string& executable) {
    if (executable.empty() || executable[0] != '/') return std::nullopt;
    // Exec quoting: reserved characters need the quoted form, in which ",
    // `, $ and \ are escaped (and the backslash doubled once more for the
    // string value's own escapes).
    bool plain = true;
    std::string quoted = "\"";
    for (char c : executable) {
        if (c == '\n' || c == '\r' || c == '\0') return std::nullopt;
        if (std::string_view(" \t\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos) plain = false;
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        quoted += c;
    }
    quoted += '"';
    std::ostringstream out;
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Companion\n"
           "Comment=Lets the companion capture windows for its host application\n"
           "Exec="
        << (plain ? executable : quoted)
        << "\n"
           "NoDisplay=true\n"
           "X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n";
    return out.str();
}

bool writeAuthorisingEntry(const std::string& applicationsDir, const std::string& executable) {
    auto text = authorisingEntry(executable);
    if (!text || applicationsDir.empty()) return false;
    std::string path = applicationsDir + "/" + kEntryName;
    {
        std::ifstream in(path, std::ios::binary);
        std::string old(text->size() + 1, '\0');
        in.read(old.data(), std::streamsize(old.size()));
        old.resize(size_t(in.gcount()));
        if (old == *text) return true;
    }
    // Each missing folder along the way, as `mkdir -p` would.
    for (size_t at = 1; at != std::string::npos; at = applicationsDir.find('/', at + 1))
        ::mkdir(applicationsDir.substr(0, at).c_str(), 0700);
    ::mkdir(applicationsDir.c_str(), 0700);
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, text->data(), text->size()) == ssize_t(text->size());
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool connect(Backend& b) {
    if (!startSession()) return false;
    b.kind = BackendKind::kde;
    b.screenCapturePreflight = screenCapturePreflight;
    b.screenCaptureRequest = screenCaptureRequest;
    b.frontmostApplication = frontmostApplication;
    b.runningApplication = runningApplication;
    b.windowStack = windowStack;
    b.windowRecords = windowRecords;
    b.iconImage = iconImage;
    b.watchActivations = watchActivations;
    b.shareableContent = kde::shareableContent;
    b.pointPixelScale = kde::pointPixelScale;
    b.screenshot = kde::screenshot;
    return true;
}

}  // namespace platform::kde
