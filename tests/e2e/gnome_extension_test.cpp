// The Shell extension's GNOME 45+ form (an ES module) loaded by gjs against
// stand-ins of the Shell's own modules, and the 43-44 form compiled, so a
// syntax or import error in either cannot ship. No Shell needed.
#include "tests/harness/gnome_session.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/companion-gjs-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// Runs gjs on `script` in `dir`; its exit status and output.
int gjs(const std::string& dir, const std::string& script, std::string& out) {
    std::string cmd = "cd '" + dir + "' && gjs -m " + script + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(GnomeExtension, ModuleFormLoadsAgainstStandIns) {
    std::string source = readAll(harness::stagedExtension() + "/esm/extension.js");
    ASSERT_FALSE(source.empty()) << "the extension was not generated";
    std::string metadata = readAll(harness::stagedExtension() + "/esm/metadata.json");
    EXPECT_NE(metadata.find("\"45\""), std::string::npos);
    EXPECT_NE(metadata.find("windows@companion"), std::string::npos);
    TempDir dir;
    replaceAll(source, "'gi://Meta'", "'./meta.js'");
    replaceAll(source, "'gi://Mtk'", "'./mtk.js'");
    replaceAll(source, "'gi://Shell'", "'./shell.js'");
    replaceAll(source, "'resource:///org/gnome/shell/extensions/extension.js'", "'./base.js'");
    std::ofstream(dir.path + "/extension.js") << source;
    std::ofstream(dir.path + "/meta.js")
        << "export default {WindowType: {NORMAL: 0, DESKTOP: 1, DOCK: 2, DIALOG: 3,"
           " MODAL_DIALOG: 4, UTILITY: 5}};\n";
    std::ofstream(dir.path + "/mtk.js")
        << "export default {Rectangle: class { constructor(r) { Object.assign(this, r); } }};\n";
    std::ofstream(dir.path + "/shell.js")
        << "export default {WindowTracker: {get_default: () => null}};\n";
    std::ofstream(dir.path + "/base.js")
        << "export class Extension {\n"
           "  constructor(metadata) { this.metadata = metadata; this.path = metadata.path; }\n"
           "}\n";
    std::ofstream(dir.path + "/run.js")
        << "import Gdk from 'gi://Gdk';\n"
           "import Service from './extension.js';\n"
           "const e = new Service({uuid: 'windows@companion', path: '/nonexistent'});\n"
           "if (typeof e.enable !== 'function' || typeof e.disable !== 'function')\n"
           "  throw new Error('no enable and disable');\n"
           "if (typeof Gdk.pixbuf_get_from_surface !== 'function')\n"
           "  throw new Error('no pixbuf_get_from_surface');\n"
           "e.disable();\n"
           "print('loaded');\n";
    std::string out;
    EXPECT_EQ(gjs(dir.path, "run.js", out), 0) << out;
    EXPECT_NE(out.find("loaded"), std::string::npos) << out;
}

TEST(GnomeExtension, LegacyFormCompiles) {
    std::string source = readAll(harness::stagedExtension() + "/extension.js");
    ASSERT_FALSE(source.empty());
    EXPECT_NE(readAll(harness::stagedExtension() + "/metadata.json").find("\"43\""),
              std::string::npos);
    EXPECT_EQ(source.find("@COMPANION_INSTALLED_EXE@"), std::string::npos);
    TempDir dir;
    std::ofstream(dir.path + "/legacy.js") << source;
    std::ofstream(dir.path + "/run.js")
        << "import GLib from 'gi://GLib';\n"
           "const [, bytes] = GLib.file_get_contents('legacy.js');\n"
           "new Function(new TextDecoder().decode(bytes));\n"
           "print('compiled');\n";
    std::string out;
    EXPECT_EQ(gjs(dir.path, "run.js", out), 0) << out;
    EXPECT_NE(out.find("compiled"), std::string::npos) << out;
}

}  // namespace
