// GLib's log and prints dropped, so a malformed icon file never reaches stderr.
#include "platform/icons/glib_quiet.hpp"

#include <glib.h>

#include <mutex>

namespace platform::icons {
namespace {

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

GLogWriterOutput dropStructured(GLogLevelFlags, const GLogField*, gsize, gpointer) {
    return G_LOG_WRITER_HANDLED;
}

void dropPrint(const gchar*) {}

}  // namespace

void silenceGlib() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_log_set_writer_func(dropStructured, nullptr, nullptr);
        g_log_set_default_handler(dropMessage, nullptr);
        g_set_print_handler(dropPrint);
        g_set_printerr_handler(dropPrint);
    });
}

}  // namespace platform::icons
