// The companion's eyes inside KWin: reports the window list, in stacking
// order with the active window named, to the companion that loaded this
// script, whenever anything in it changes. The companion writes this file
// per process with its own bus name as `service`. Works with the names
// of Plasma 5.27 (clients) and of Plasma 6 (windows). Trusts no caller: it
// only sends, to that one name, and stops once that name is gone.
var service = "@SERVICE@";
var objectPath = "/org/companion/KWinMirror";
var iface = "org.companion.KWinMirror";
var ws = workspace;
var watched = [];       // [signal, handler] pairs, to disconnect on stop
var perWindow = {};     // internal id -> [signal, handler] pairs
var stopped = false;
var unanswered = 0;     // reports sent since the companion last answered

function listWindows() {
    if (typeof ws.windowList === "function") return ws.windowList();
    return ws.clientList();
}

function activeWindow() {
    if (ws.activeWindow !== undefined) return ws.activeWindow;
    return ws.activeClient;
}

function onCurrentDesktop(w) {
    if (w.onAllDesktops) return true;
    var cd = ws.currentDesktop;
    if (typeof cd === "number") return w.desktop === cd || w.desktop === -1;
    var ds = w.desktops;
    if (!ds) return true;
    for (var i = 0; i < ds.length; i++)
        if (ds[i] === cd || (ds[i] && cd && ds[i].id !== undefined && ds[i].id === cd.id)) return true;
    return ds.length === 0;
}

function str(v) {
    return v === undefined || v === null ? "" : String(v);
}

function describe(w) {
    var g = w.frameGeometry || {};
    return {
        id: str(w.internalId),
        stack: typeof w.stackingOrder === "number" ? w.stackingOrder : -1,
        pid: typeof w.pid === "number" ? w.pid : 0,
        desktopFile: str(w.desktopFileName),
        resourceClass: str(w.resourceClass),
        resourceName: str(w.resourceName),
        caption: str(w.caption),
        x: g.x, y: g.y, width: g.width, height: g.height,
        layer: typeof w.layer === "number" ? w.layer : -1,
        normal: !!w.normalWindow, dialog: !!w.dialog, utility: !!w.utility,
        desktop: !!w.desktopWindow, dock: !!w.dock, splash: !!w.splash,
        menu: !!(w.dropdownMenu || w.popupMenu || w.popupWindow), tooltip: !!w.tooltip,
        notification: !!(w.notification || w.criticalNotification),
        osd: !!w.onScreenDisplay, keepAbove: !!w.keepAbove, keepBelow: !!w.keepBelow,
        minimized: !!w.minimized, onCurrentDesktop: onCurrentDesktop(w),
        opacity: typeof w.opacity === "number" ? w.opacity : 1
    };
}

function stop() {
    if (stopped) return;
    stopped = true;
    for (var i = 0; i < watched.length; i++) watched[i][0].disconnect(watched[i][1]);
    watched = [];
    for (var id in perWindow) unwatchWindow(id);
}

// The companion answers every report; when several go unanswered, ask the
// bus whether it still exists, and stop for good when it does not.
function answered() { unanswered = 0; }
function checkAlive() {
    callDBus("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "NameHasOwner", service, function (has) { if (!has) stop(); });
}

function report() {
    if (stopped) return;
    var list = listWindows();
    var out = [];
    for (var i = 0; i < list.length; i++) {
        var w = list[i];
        if (!w || w.deleted) continue;
        watchWindow(w);
        out.push(describe(w));
    }
    var a = activeWindow();
    var msg = JSON.stringify({ active: a ? str(a.internalId) : "", windows: out });
    if (++unanswered > 4) checkAlive();
    callDBus(service, objectPath, iface, "Report", msg, answered);
}

function changed() { report(); }

function connect(signal, handler, into) {
    if (!signal || typeof signal.connect !== "function") return;
    signal.connect(handler);
    into.push([signal, handler]);
}

var windowSignals = ["captionChanged", "frameGeometryChanged", "stackingOrderChanged",
    "desktopChanged", "desktopsChanged", "opacityChanged", "keepAboveChanged",
    "keepBelowChanged", "minimizedChanged", "clientMinimized", "clientUnminimized",
    "layerChanged", "desktopFileNameChanged", "windowClassChanged", "activitiesChanged"];

function watchWindow(w) {
    var id = str(w.internalId);
    if (perWindow[id]) return;
    var pairs = [];
    for (var i = 0; i < windowSignals.length; i++) connect(w[windowSignals[i]], changed, pairs);
    perWindow[id] = pairs;
}

function unwatchWindow(id) {
    var pairs = perWindow[id];
    if (!pairs) return;
    for (var i = 0; i < pairs.length; i++) pairs[i][0].disconnect(pairs[i][1]);
    delete perWindow[id];
}

function removed(w) {
    if (w) unwatchWindow(str(w.internalId));
    report();
}

connect(ws.windowAdded, changed, watched);
connect(ws.windowRemoved, removed, watched);
connect(ws.windowActivated, changed, watched);
connect(ws.clientAdded, changed, watched);
connect(ws.clientRemoved, removed, watched);
connect(ws.clientActivated, changed, watched);
connect(ws.clientMinimized, changed, watched);
connect(ws.clientUnminimized, changed, watched);
connect(ws.currentDesktopChanged, changed, watched);
connect(ws.currentActivityChanged, changed, watched);
report();
