// The companion's window service inside GNOME Shell: the window list
// frontmost first, the focused window, a picture of one window, and a signal
// on focus change, over the session bus to the companion alone.
//
// Built into the two extension forms (GNOME 43-44 and 45+) by
// generate.cmake; the form's header gives Gio, GLib, Meta, Shell, Cairo, Gdk
// and global.

const BUS_NAME = 'org.companion.Windows';
const OBJECT_PATH = '/org/companion/Windows';
const IFACE = 'org.companion.Windows';
const INSTALLED_COMPANION = '@COMPANION_INSTALLED_EXE@';

// A record: number, pid, layer, opacity, frame x y w h, title, tracker app
// id, GTK app id, sandboxed app id, WM_CLASS instance and class, minimised,
// on the active workspace, monitor scale.
const RECORD = '(uiidiiiissssssbbd)';
const IFACE_XML = `<node><interface name="${IFACE}">
  <method name="List"><arg type="u" direction="out" name="focused"/>
    <arg type="a${RECORD}" direction="out" name="windows"/></method>
  <method name="Focus"><arg type="a${RECORD}" direction="out" name="window"/></method>
  <method name="Capture"><arg type="u" direction="in" name="window"/>
    <arg type="u" direction="in" name="width"/><arg type="u" direction="in" name="height"/>
    <arg type="h" direction="in" name="fd"/>
    <arg type="u" direction="out" name="width"/><arg type="u" direction="out" name="height"/>
    <arg type="u" direction="out" name="stride"/></method>
  <signal name="FocusChanged"/>
</interface></node>`;

const MAX_TEXT = 4096;       // UTF-16 units of a title or an id
const MAX_CALLERS = 16;      // connections remembered as trusted
const MAX_SIDE = 16384;      // a picture side past this is refused

// Text from another program, bounded, never splitting a surrogate pair.
function bounded(text) {
    if (typeof text !== 'string') return '';
    if (text.length <= MAX_TEXT) return text;
    let end = MAX_TEXT;
    const c = text.charCodeAt(end - 1);
    if (c >= 0xd800 && c <= 0xdbff) end -= 1;
    return text.slice(0, end);
}

function call(fn, fallback) {
    try {
        const v = fn();
        return v === null || v === undefined ? fallback : v;
    } catch (e) {
        return fallback;
    }
}

function isNormalType(type) {
    return type === Meta.WindowType.NORMAL || type === Meta.WindowType.DIALOG ||
        type === Meta.WindowType.MODAL_DIALOG || type === Meta.WindowType.UTILITY;
}

// 0 for normal, dialog and utility windows at the normal layer; above-state
// 3, docks 20, menus, tooltips, notifications and the like 101.
function layerOf(w) {
    const type = w.get_window_type();
    if (type === Meta.WindowType.DOCK) return 20;
    if (!isNormalType(type) || w.is_override_redirect()) return 101;
    if (w.is_above()) return 3;
    return 0;
}

function recordOf(w) {
    const rect = w.get_frame_rect();
    const actor = w.get_compositor_private();
    const tracker = Shell.WindowTracker.get_default();
    const app = call(() => tracker.get_window_app(w), null);
    const appId = app && !call(() => app.is_window_backed(), true) ? call(() => app.get_id(), '') : '';
    const ws = global.workspace_manager.get_active_workspace();
    const monitor = call(() => w.get_monitor(), -1);
    return [
        w.get_stable_sequence() >>> 0,
        call(() => w.get_pid(), 0) | 0,
        layerOf(w),
        actor ? actor.opacity / 255 : 1,
        rect.x, rect.y, rect.width, rect.height,
        bounded(call(() => w.get_title(), '')),
        bounded(appId),
        bounded(call(() => w.get_gtk_application_id(), '')),
        bounded(call(() => w.get_sandboxed_app_id(), '')),
        bounded(call(() => w.get_wm_class_instance(), '')),
        bounded(call(() => w.get_wm_class(), '')),
        !!w.minimized,
        call(() => w.located_on_workspace(ws), false),
        monitor >= 0 ? call(() => global.display.get_monitor_scale(monitor), 1) : 1,
    ];
}

// The windows of the actors that are not being destroyed (a closed window's
// actor stays while it fades out).
function liveWindows() {
    return global.get_window_actors()
        .filter(a => !call(() => a.is_destroyed(), true))
        .map(a => call(() => a.get_meta_window(), null))
        .filter(w => w !== null);
}

// The managed windows, frontmost first; desktop windows left out.
function stacked() {
    const windows = liveWindows()
        .filter(w => w.get_window_type() !== Meta.WindowType.DESKTOP);
    return global.display.sort_windows_by_stacking(windows).reverse();
}

function records(windows) {
    const out = [];
    for (const w of windows) {
        try {
            out.push(recordOf(w));
        } catch (e) {
            // The window went away during the call: it is no longer listed.
        }
    }
    return out;
}

function findWindow(number) {
    return liveWindows().find(w => (w.get_stable_sequence() >>> 0) === number) || null;
}

// The rectangle `r` of `src` drawn into a new `width` x `height` surface.
function drawScaled(src, r, width, height) {
    const dst = new Cairo.ImageSurface(Cairo.Format.ARGB32, width, height);
    const cr = new Cairo.Context(dst);
    cr.scale(width / r.width, height / r.height);
    cr.translate(-r.x, -r.y);
    const pattern = new Cairo.SurfacePattern(src);
    pattern.setFilter(Cairo.Filter.BILINEAR);
    cr.setSource(pattern);
    cr.setOperator(Cairo.Operator.SOURCE);
    cr.paint();
    cr.$dispose();
    return dst;
}

// The rectangle `r` of `image` at `width` x `height`: exact halvings (each a
// 2 x 2 average) while it is at least twice the asked size, then one
// bilinear step to it.
function scaled(image, r, width, height) {
    let src = image;
    while (r.width >= 2 * width && r.height >= 2 * height) {
        const half = {x: 0, y: 0, width: Math.ceil(r.width / 2), height: Math.ceil(r.height / 2)};
        src = drawScaled(src, r, half.width, half.height);
        r = half;
    }
    const whole = r.x === 0 && r.y === 0 &&
        src.getWidth() === width && src.getHeight() === height;
    return whole ? src : drawScaled(src, r, width, height);
}

// The whole picture of a window's actor, or null when it has none to give.
// Meta.WindowActor.get_image() returns no surface for a window without a
// buffer yet, one being destroyed, one too large to draw offscreen, or a
// clip outside its texture, and the Shell's script engine (GJS 1.74) answers
// a null surface with an error that stops the whole Shell. So those cases
// are ruled out here, no clip is passed, and the caller cuts the frame out.
function imageOf(actor) {
    if (call(() => actor.is_destroyed(), true)) return null;
    const surface = call(() => actor.get_texture(), null);
    const texture = surface ? call(() => surface.get_texture(), null) : null;
    if (!texture) return null;
    const scale = call(() => actor.get_resource_scale(), 1);
    const sides = [
        call(() => texture.get_width(), 0), call(() => texture.get_height(), 0),
        Math.ceil(actor.width * scale), Math.ceil(actor.height * scale),
    ];
    if (!sides.every(side => side >= 1 && side <= MAX_SIDE)) return null;
    return actor.get_image(null);
}

function writeAll(fd, bytes) {
    GLib.unix_set_fd_nonblocking(fd, true);
    const stream = new Gio.UnixOutputStream({fd, close_fd: false});
    const size = bytes.get_size();
    let done = 0;
    while (done < size) {
        const rest = done === 0 ? bytes : bytes.new_from_bytes(done, size - done);
        const n = stream.write_bytes(rest, null);
        if (n <= 0) throw new Error('short write');
        done += n;
    }
}

// The window's picture without its invisible margin, at most `width` x
// `height` (keeping its aspect when it is smaller), written as rows of RGBA
// into `fd`. [width, height, stride], or a string naming the failure.
function capture(number, width, height, fd) {
    const w = findWindow(number);
    const actor = w ? w.get_compositor_private() : null;
    if (!w || !actor) return 'gone';
    const image = imageOf(actor);
    if (!image || image.getWidth() < 1 || image.getHeight() < 1) return 'the window has no picture';
    // The frame within the buffer, in the picture's pixels.
    const frame = w.get_frame_rect();
    const buffer = w.get_buffer_rect();
    if (buffer.width < 1 || buffer.height < 1) return 'the window has no picture';
    const sx = image.getWidth() / buffer.width, sy = image.getHeight() / buffer.height;
    const x0 = Math.max(0, Math.round((frame.x - buffer.x) * sx));
    const y0 = Math.max(0, Math.round((frame.y - buffer.y) * sy));
    const x1 = Math.min(image.getWidth(), Math.round((frame.x - buffer.x + frame.width) * sx));
    const y1 = Math.min(image.getHeight(), Math.round((frame.y - buffer.y + frame.height) * sy));
    if (x1 <= x0 || y1 <= y0) return 'the window has no picture';
    const crop = {x: x0, y: y0, width: x1 - x0, height: y1 - y0};
    const sw = crop.width, sh = crop.height;
    if (width > sw || height > sh) {
        const s = Math.min(sw / width, sh / height);
        width = Math.max(1, Math.min(sw, Math.round(width * s)));
        height = Math.max(1, Math.min(sh, Math.round(height * s)));
    }
    const picture = scaled(image, crop, width, height);
    const pixbuf = Gdk.pixbuf_get_from_surface(picture, 0, 0, width, height);
    if (!pixbuf || pixbuf.get_n_channels() !== 4) return 'the picture cannot be converted';
    writeAll(fd, pixbuf.read_pixel_bytes());
    return [width, height, pixbuf.get_rowstride()];
}

function executableOf(pid) {
    try {
        const target = GLib.file_read_link(`/proc/${pid}/exe`);
        return target.endsWith(' (deleted)') ? target.slice(0, -10) : target;
    } catch (e) {
        return null;
    }
}

var CompanionService = class CompanionService {
    constructor(dir) {
        this._dir = dir;
        this._callers = new Map();  // unique bus name -> watch id, trusted ones
        this._focusId = 0;
        this._ownerId = 0;
        this._exported = null;
    }

    enable() {
        this._exported = Gio.DBusExportedObject.wrapJSObject(IFACE_XML, this);
        this._exported.export(Gio.DBus.session, OBJECT_PATH);
        this._ownerId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
        this._focusId = global.display.connect('notify::focus-window', () => this._focusChanged());
    }

    disable() {
        if (this._focusId) global.display.disconnect(this._focusId);
        this._focusId = 0;
        if (this._ownerId) Gio.bus_unown_name(this._ownerId);
        this._ownerId = 0;
        if (this._exported) this._exported.unexport();
        this._exported = null;
        for (const id of this._callers.values()) Gio.bus_unwatch_name(id);
        this._callers.clear();
    }

    // Only the companions' connections hear of focus changes.
    _focusChanged() {
        for (const name of this._callers.keys()) {
            Gio.DBus.session.emit_signal(name, OBJECT_PATH, IFACE, 'FocusChanged', null);
        }
    }

    _trusted() {
        const paths = [INSTALLED_COMPANION];
        try {
            const [ok, bytes] = GLib.file_get_contents(`${this._dir}/trusted`);
            if (ok) {
                for (const line of new TextDecoder().decode(bytes).split('\n'))
                    if (line.startsWith('/')) paths.push(line);
            }
        } catch (e) {
            // No companion recorded itself: only the installed one.
        }
        return paths;
    }

    // Calls `then` when the caller is a trusted companion, else refuses. A
    // refusal is not remembered: "allow" may trust the caller next.
    _authorized(invocation, then) {
        const sender = invocation.get_sender();
        if (this._callers.has(sender)) {
            then();
            return;
        }
        Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus',
            'org.freedesktop.DBus', 'GetConnectionCredentials', new GLib.Variant('(s)', [sender]),
            null, Gio.DBusCallFlags.NONE, 2000, null, (conn, result) => {
                let ok = false;
                try {
                    const [creds] = conn.call_finish(result).deepUnpack();
                    const pid = creds.ProcessID ? creds.ProcessID.deepUnpack() : 0;
                    const exe = pid > 0 ? executableOf(pid) : null;
                    ok = exe !== null && this._trusted().includes(exe);
                } catch (e) {
                    ok = false;
                }
                if (!this._exported) {
                    this._refuse(invocation);
                    return;
                }
                if (ok) {
                    this._remember(sender);
                    then();
                } else {
                    this._refuse(invocation);
                }
            });
    }

    _remember(sender) {
        if (this._callers.size >= MAX_CALLERS) {
            const [oldest, id] = this._callers.entries().next().value;
            Gio.bus_unwatch_name(id);
            this._callers.delete(oldest);
        }
        const id = Gio.bus_watch_name_on_connection(Gio.DBus.session, sender,
            Gio.BusNameWatcherFlags.NONE, null, () => {
                const watch = this._callers.get(sender);
                if (watch === undefined) return;
                this._callers.delete(sender);
                Gio.bus_unwatch_name(watch);
            });
        this._callers.set(sender, id);
    }

    _refuse(invocation) {
        invocation.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied',
            'only the companion may call this service');
    }

    ListAsync(params, invocation) {
        this._authorized(invocation, () => {
            const focus = global.display.get_focus_window();
            const focused = focus ? focus.get_stable_sequence() >>> 0 : 0;
            invocation.return_value(new GLib.Variant(`(ua${RECORD})`,
                [focused, records(stacked())]));
        });
    }

    FocusAsync(params, invocation) {
        this._authorized(invocation, () => {
            const focus = global.display.get_focus_window();
            invocation.return_value(new GLib.Variant(`(a${RECORD})`,
                [focus ? records([focus]) : []]));
        });
    }

    CaptureAsync(params, invocation) {
        this._authorized(invocation, () => {
            const [number, width, height, index] = params;
            let fd = -1;
            try {
                const fds = invocation.get_message().get_unix_fd_list();
                fd = fds ? fds.get(index) : -1;
                if (fd < 0) throw new Error('no file descriptor');
                if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE)
                    throw new Error('the picture size is out of range');
                const result = capture(number, width, height, fd);
                if (typeof result === 'string') {
                    invocation.return_dbus_error(
                        result === 'gone' ? `${IFACE}.Error.Gone` : `${IFACE}.Error.Failed`,
                        result);
                } else {
                    invocation.return_value(new GLib.Variant('(uuu)', result));
                }
            } catch (e) {
                invocation.return_dbus_error(`${IFACE}.Error.Failed`, `${e.message}`);
            } finally {
                if (fd >= 0) call(() => GLib.close(fd), null);
            }
        });
    }
};
