// GLib-based decoders (librsvg, gdk-pixbuf) report trouble through GLib's
// log, whose default handlers write to stderr; the companion writes nothing
// there. Internal to platform/icons/.
#pragma once

namespace platform::icons {

// Sends every GLib log message and print to nowhere, once per process,
// before the first GLib-based decoder runs. Any thread.
void silenceGlib();

}  // namespace platform::icons
